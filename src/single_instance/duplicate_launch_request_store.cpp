#include "duplicate_launch_request_store.h"

#include "duplicate_launch_signal.h"
#include "instance_lock.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUuid>
#include <algorithm>

void DuplicateLaunchRequestStore::enqueue(const DuplicateLaunchRequest &request,
                                          const SingleInstanceConfiguration &configuration)
{
    const QString directory = configuration.duplicateLaunchRequestsURL();
    createDirectoryChain(directory);
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".json";
    // Written beside its final name and renamed into place: a reader sees a
    // whole request or none (the temporary name does not end in .json).
    QSaveFile file(QDir(directory).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(request.toJson()) < 0 || !file.commit())
        throw RequestWriteError("cannot write a launch request in " + directory.toStdString() + ": " +
                                file.errorString().toStdString());
}

void DuplicateLaunchRequestStore::post(const DuplicateLaunchRequest &request,
                                       const SingleInstanceConfiguration &configuration)
{
    std::exception_ptr failure;
    if (!request.isEmpty()) {
        try {
            enqueue(request, configuration);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    DuplicateLaunchSignal::post(configuration.activationSignalName);
    if (failure)
        std::rethrow_exception(failure);
}

QList<DuplicateLaunchRequest>
DuplicateLaunchRequestStore::consumePending(const SingleInstanceConfiguration &configuration)
{
    QList<DuplicateLaunchRequest> requests;
    const QDir directory(configuration.duplicateLaunchRequestsURL());
    if (!directory.exists())
        return requests;
    const QStringList names =
        directory.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    for (const QString &name : names) {
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot <= 0 || name.mid(dot + 1) != u"json")
            continue; // not ours: left in place
        QFile file(directory.filePath(name));
        std::optional<DuplicateLaunchRequest> request;
        if (file.open(QIODevice::ReadOnly))
            request = DuplicateLaunchRequest::fromJson(file.readAll());
        file.close();
        if (request)
            requests.append(*request);
        file.remove(); // malformed requests are dropped too
    }
    std::stable_sort(requests.begin(), requests.end(),
                     [](const DuplicateLaunchRequest &a, const DuplicateLaunchRequest &b) {
                         return a.createdAt < b.createdAt;
                     });
    return requests;
}
