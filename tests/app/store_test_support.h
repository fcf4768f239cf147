// Fixtures for the session store's tests: an engine whose updates the test
// yields by hand, desktop services that record their calls, trees built from
// a list of paths, and a wait that runs the event loop.
#pragma once

#include "scan_session_store.h"
#include "event_loop_wait.h"
#include "stable_scan_node_id.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <initializer_list>
#include <utility>

#include <ostream>

// Readable QStrings in test failure messages.
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace storetest {

class ScriptedEngine : public ScanEngineProviding {
public:
    struct Start {
        FileUrl rootURL;
        std::shared_ptr<UpdateStream> stream;
    };
    std::shared_ptr<UpdateStream> startScan(const FileUrl &rootURL) override
    {
        auto stream = UpdateStream::create();
        stream->setOnStop([this] { ++stops; });
        starts.push_back({rootURL, stream});
        return stream;
    }
    int stops = 0;
    std::shared_ptr<UpdateStream> last() const { return starts.back().stream; }
    std::vector<Start> starts;
};

class RecordingActivation : public AppActivationService {
public:
    void bringToFront() const override { ++count; }
    mutable int count = 0;
};

class ScriptedOpenPanel : public OpenPanelService {
public:
    std::optional<QString> chooseFolder() const override { return answer; }
    std::optional<QString> chooseSaveFile(const QString &suggestedName) const override
    {
        suggested = suggestedName;
        return saveAnswer;
    }
    std::optional<QString> answer, saveAnswer;
    mutable QString suggested;
};

class ScriptedTrash : public TrashService {
public:
    void moveToTrash(const TrashTarget &target, Completion done) const override
    {
        moved.push_back(target.url);
        answer(done);
    }
    void deletePermanently(const TrashTarget &target, Completion done) const override
    {
        deleted.push_back(target.url);
        answer(done);
    }
    mutable std::vector<FileUrl> moved, deleted;
    std::optional<QString> error;
    mutable bool noTrash = false; // the next move finds no Trash

private:
    void answer(const Completion &done) const
    {
        TrashOutcome outcome;
        if (std::exchange(noTrash, false))
            outcome = {TrashOutcome::Kind::noTrash, QStringLiteral("/media/stick (vfat)")};
        else if (error)
            outcome = {TrashOutcome::Kind::failed, *error};
        QMetaObject::invokeMethod(QCoreApplication::instance(), [done, outcome] { done(outcome); },
                                  Qt::QueuedConnection);
    }
};

class RecordingReveal : public FinderRevealService {
public:
    void reveal(const QList<FileUrl> &urls, Failed) const override { asked += urls; }
    void open(const FileUrl &url, Failed) const override { asked << url; }
    mutable QList<FileUrl> asked;
};

// A tree of root plus the given relative paths ("dir/" for a directory),
// each with an allocated size; parents come before their children.
inline ScanTree makeTree(const QString &root, std::initializer_list<std::pair<QString, qint64>> entries)
{
    ScanTree tree;
    ScanNodeRecord rootRecord;
    rootRecord.url = FileUrl::fromPath(root, true);
    rootRecord.id = stableScanNodeID(rootRecord.url);
    rootRecord.displayName = rootRecord.url.lastPathComponent();
    rootRecord.kind = ScanNodeKind::directory;
    tree.rootID = rootRecord.id;
    tree.insert(rootRecord);
    for (const auto &[relative, size] : entries) {
        const bool isDirectory = relative.endsWith(u'/');
        const QString path = root + u'/' + (isDirectory ? relative.chopped(1) : relative);
        ScanNodeRecord r;
        r.url = FileUrl::fromPath(path, isDirectory);
        r.id = stableScanNodeID(r.url);
        r.parentID = stableScanNodeID(path.left(path.lastIndexOf(u'/')));
        r.displayName = r.url.lastPathComponent();
        r.kind = isDirectory ? ScanNodeKind::directory : ScanNodeKind::file;
        r.allocatedSize = size;
        tree.insert(r);
    }
    return tree;
}

inline QUuid idOf(const QString &path)
{
    return stableScanNodeID(path);
}

inline QStringList namesOf(const QList<ScanNodeRecord> &records)
{
    QStringList names;
    for (const ScanNodeRecord &r : records)
        names << r.displayName;
    return names;
}

// Real folders to hand to acceptIncoming, which checks the file system.
class Folders {
public:
    explicit Folders(std::initializer_list<QString> names)
    {
        for (const QString &name : names)
            QDir(dir.path()).mkpath(name);
    }
    QString path(const QString &name) const { return dir.path() + u'/' + name; }
    QUrl url(const QString &name) const { return QUrl::fromLocalFile(path(name)); }
    QTemporaryDir dir;
};

} // namespace storetest
