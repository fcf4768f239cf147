// The process entry, the application with its one window, and the delegate
// that hands folders from the command line and from later launches to the
// session store.
#include "app_identifiers.h"
#include "content_view.h"
#include "instance_lock.h"
#include "fast_scan_engine.h"
#include "scan_file_io.h"
#include "scan_session_store.h"
#include "single_instance_controller.h"
#include "state_trace.h"
#include "window_preferences.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QDateTime>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <syslog.h>
#include <unistd.h>

namespace {

// Where standard input is kept as a scan file of its own in the cache, so
// that it opens like any other and a running window can be handed its path;
// empty, with why in *error, when the folder is not the user's own.
QString receivedFilePath(QString *error = nullptr)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/received");
    try {
        // Never a link: the sweep below would delete files of its target.
        createPrivateDirectory(folder);
    } catch (const DirectoryCreationError &e) {
        if (error)
            *error = QString::fromLocal8Bit(e.what());
        return {};
    }
    // What came in more than a week ago has been opened long since.
    const QDateTime weekAgo = QDateTime::currentDateTimeUtc().addDays(-7);
    for (const QFileInfo &old :
         QDir(folder).entryInfoList({QStringLiteral("stdin-*.json")}, QDir::Files | QDir::NoSymLinks)) {
        if (old.lastModified() < weekAgo)
            QFile::remove(old.filePath());
    }
    return folder + QStringLiteral("/stdin-%1-%2.json")
                        .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddHHmmss")))
                        .arg(getpid());
}

// Standard input read whole into its kept file, for a hand-over to the
// running window; empty, with why in *error, when it is not kept.
QString receiveStandardInput(QString *error)
{
    const QString path = receivedFilePath(error);
    return !path.isEmpty() && keepScanFile(STDIN_FILENO, path, error) ? path : QString();
}

// Says on standard error why a path from the command line will not open:
// the store drops what is neither a folder nor a scan file without a word.
void warnIfUnopenable(const QByteArray &path)
{
    struct stat st;
    if (stat(path.constData(), &st) != 0)
        std::fprintf(stderr, "burrowlens: %s: %s\n", path.constData(), std::strerror(errno));
    else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        std::fprintf(stderr, "burrowlens: %s: not a folder or a scan file\n", path.constData());
}

// Command-line arguments as URLs: "file:" URLs (from the desktop file's %U)
// as they are, anything else as a path relative to the working directory,
// taken as bytes: a name that is not UTF-8 reaches the store
// percent-encoded. "-" (a scan file on standard input) sets *standardInput.
QList<QUrl> urlsFromArguments(int argc, char **argv, bool *standardInput)
{
    QList<QUrl> urls;
    bool optionsEnded = false; // after "--" a name may start with "-"
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        if (argument == "--" && !optionsEnded) {
            optionsEnded = true;
        } else if (argument == "-" && !optionsEnded) {
            *standardInput = true;
        } else if (argument.startsWith("file:") && !optionsEnded) {
            urls << QUrl(QString::fromUtf8(argument));
            if (urls.last().isLocalFile())
                warnIfUnopenable(QFile::encodeName(urls.last().toLocalFile()));
        } else if ((optionsEnded || !argument.startsWith('-')) && !argument.isEmpty()) {
            warnIfUnopenable(argument);
            QByteArray absolute = argument;
            if (!absolute.startsWith('/'))
                absolute = QFile::encodeName(QDir::currentPath()) + '/' + absolute;
            QUrl url;
            url.setScheme(QStringLiteral("file"));
            url.setPath(QString::fromLatin1(absolute.toPercentEncoding("/")), QUrl::TolerantMode);
            urls << url;
        }
    }
    return urls;
}

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
}

// Without a display there is no window to open: the headless report next
// to this executable says what the window would have shown.
int runHeadlessReport(int argc, char **argv)
{
    // Beside the program itself, never beside argv[0]: started by name,
    // that is the current folder, and whatever lies there would run.
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    QByteArray report = "burrowlens-scan";
    if (length > 0) {
        const QByteArray exe(self, length);
        const QByteArray beside = exe.left(exe.lastIndexOf('/') + 1) + report;
        if (access(beside.constData(), X_OK) == 0)
            report = beside;
    }
    std::fprintf(stderr, "burrowlens: no display; printing the headless report instead\n");
    std::vector<char *> args{report.data()};
    QByteArray home = qgetenv("HOME");
    static char importOption[] = "--import";
    for (int i = 1; i < argc; ++i) {
        // A scan file is reported on as the window would have opened it.
        struct stat st;
        if ((argv[i][0] != '-' && stat(argv[i], &st) == 0 && S_ISREG(st.st_mode)) || std::strcmp(argv[i], "-") == 0)
            args.push_back(importOption);
        args.push_back(argv[i]);
    }
    if (argc < 2)
        args.push_back(home.data());
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("burrowlens: cannot run burrowlens-scan");
    return 1;
}

class AppDelegate {
public:
    // Weak: the delegate never keeps the store alive.
    QPointer<ScanSessionStore> sessionStore;

    void applicationDidFinishLaunching(const std::shared_ptr<SingleInstanceController> &controller)
    {
        if (!controller)
            return;
        // Later launches hand over their folders; each brings the window forward.
        controller->setDuplicateLaunchHandler([this](const QList<DuplicateLaunchRequest> &requests) {
            QString token;
            for (const DuplicateLaunchRequest &request : requests)
                token = request.activationToken.isEmpty() ? token : request.activationToken;
            AppActivationService().bringToFront(token);
            for (const DuplicateLaunchRequest &request : requests)
                open(request.fileURLs);
        });
    }

    void open(const QList<QUrl> &urls)
    {
        if (sessionStore && !urls.isEmpty())
            sessionStore->acceptIncoming(urls);
    }
};

class BurrowlensApp {
public:
    BurrowlensApp()
        : sessionStore(std::make_shared<FastScanEngine>(
              FastScanEngine::kPollIntervalMs, FastScanEngine::kWindowScanNiceness,
              [] { return ScanOptions::fromUserDefaults(QString(app_identifiers::kOrganization), QString(app_identifiers::kApplication)); })),
          window(sessionStore)
    {
        window.setWindowTitle(QStringLiteral("Burrowlens"));
        window.setWindowIcon(QIcon::fromTheme(QString(app_identifiers::kReverseDns)));
        window.resize(860, 580);
        // What the window shows; the scan's own choices are read at each scan.
        const WindowPreferences preferences =
            WindowPreferences::load(QString(app_identifiers::kOrganization), QString(app_identifiers::kApplication));
        setByteUnits(preferences.units);
        sessionStore.setSizeMeasure(preferences.sizeShown);
        sessionStore.setHistorySettings(ContentView::historySettingsOf(preferences));
    }

    // standardInput: a scan file arrives there, read while the window runs.
    int run(const std::shared_ptr<SingleInstanceController> &controller, const QList<QUrl> &folders,
            bool standardInput, const QElapsedTimer &sinceStart)
    {
        StateTrace::install(window, sessionStore, sinceStart);
        window.show();
        appDelegate.sessionStore = &sessionStore;
        appDelegate.applicationDidFinishLaunching(controller);
        // Folders of the first launch arrive once the window is up.
        QTimer::singleShot(0, &window, [this, folders, standardInput] {
            appDelegate.open(folders);
            if (standardInput)
                sessionStore.receiveScanFile(STDIN_FILENO, receivedFilePath());
        });
        return QApplication::exec();
    }

private:
    AppDelegate appDelegate;
    ScanSessionStore sessionStore;
    ContentView window;
};

const char *const kUsage =
    "usage: burrowlens [FOLDER | SCAN-FILE | -]...\n"
    "  Shows where the disk space of each folder goes; a scan file (an export of\n"
    "  Burrowlens, ncdu or gdu) opens as a result, \"-\" reads one from standard input.\n"
    "  Without a display it prints burrowlens-scan's report instead.\n"
    "  --help       print this and exit\n"
    "  --version    print the version and exit\n"
    "  --           what follows is a folder, even when it starts with \"-\"\n";

// --help and --version, before anything else starts; -1 to go on.
int answerInformationOptions(int argc, char **argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("burrowlens %s\n", BL_SHORT_VERSION);
            return 0;
        }
    }
    return -1;
}

} // namespace

namespace BurrowlensEntry {

std::shared_ptr<SingleInstanceController> singleInstanceController;

int main(int argc, char **argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (const int status = answerInformationOptions(argc, argv); status >= 0)
        return status;
    if (!hasDisplay())
        return runHeadlessReport(argc, argv);
    // Read before the platform takes it from the environment: a running
    // window comes forward on its strength.
    const QString activationToken =
        qEnvironmentVariable("XDG_ACTIVATION_TOKEN", qEnvironmentVariable("DESKTOP_STARTUP_ID"));
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString(app_identifiers::kApplication));
    QApplication::setOrganizationName(QString(app_identifiers::kOrganization));
    QApplication::setDesktopFileName(QString(app_identifiers::kReverseDns));

    const QStringList arguments = QApplication::arguments().mid(1);
    const SingleInstanceConfiguration configuration(
        QString(app_identifiers::kReverseDns),
        SingleInstancePolicy::userDefaults(QString(app_identifiers::kOrganization), QString(app_identifiers::kApplication),
                                           QStringLiteral("allowMultipleInstances")),
        SingleInstanceLockLocation::applicationSupport());
    DuplicateLaunchRequest request;
    request.arguments = arguments;
    bool standardInput = false;
    request.fileURLs = urlsFromArguments(argc, argv, &standardInput); // QApplication took its own options out
    request.createdAt = QDateTime::currentDateTimeUtc();
    request.activationToken = activationToken;

    // Only a launch that hands over reads standard input first; the first
    // window opens at once and reads it as it comes.
    QString standardInputError;
    const SingleInstanceStartupResult result =
        SingleInstanceController::start(configuration, request, [&](DuplicateLaunchRequest &r) {
            if (!standardInput)
                return;
            if (const QString received = receiveStandardInput(&standardInputError); !received.isEmpty())
                r.fileURLs << QUrl::fromLocalFile(received);
        });
    switch (result.kind) {
    case SingleInstanceStartupResult::Kind::run:
        singleInstanceController = result.controller;
        break;
    case SingleInstanceStartupResult::Kind::failed: {
        // Not a success: without its lock the program would never start
        // again, and the user has to learn where the lock is.
        const QByteArray line = QStringLiteral("Burrowlens failed to acquire the single-instance lock %1: %2")
                                    .arg(configuration.lockURL(), result.errorDescription())
                                    .toLocal8Bit();
        openlog("burrowlens", LOG_PID, LOG_USER);
        syslog(LOG_ERR, "%s", line.constData());
        closelog();
        std::fprintf(stderr, "%s\n", line.constData());
        return 1;
    }
    case SingleInstanceStartupResult::Kind::alreadyRunning:
        // The running window comes forward; what it was to open must reach it.
        if (!standardInputError.isEmpty())
            std::fprintf(stderr, "burrowlens: standard input was not handed to the running window: %s\n",
                         qPrintable(standardInputError));
        if (!result.handOverError.isEmpty())
            std::fprintf(stderr, "burrowlens: the running window did not get what this launch opens: %s\n",
                         qPrintable(result.handOverError));
        return standardInputError.isEmpty() && result.handOverError.isEmpty() ? 0 : 1;
    }
    BurrowlensApp app;
    return app.run(singleInstanceController, request.fileURLs, standardInput, sinceStart);
}

} // namespace BurrowlensEntry

int main(int argc, char **argv)
{
    return BurrowlensEntry::main(argc, argv);
}
