// The real burrowlens binary on a display (run under xvfb-run): it opens on
// a folder, a click on a ring segment moves the breadcrumb and the list, and
// a second launch hands its folder to the first and exits. The window
// reports what it shows through its trace file.
#include <gtest/gtest.h>

#include <QAbstractNativeEventFilter>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <xcb/xcb.h>

namespace {

QString burrowlens()
{
    return qEnvironmentVariable("BURROWLENS_BIN");
}

void writeFile(const QString &path, int bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(bytes, 'x'));
}

// The newest value the window traced for key, once it matches.
std::optional<QString> waitForTrace(const QString &traceFile, const QString &key,
                                    const std::function<bool(const QString &)> &matches, int ms = 20000)
{
    QDeadlineTimer deadline(ms);
    do {
        QFile f(traceFile);
        if (f.open(QIODevice::ReadOnly)) {
            std::optional<QString> latest;
            for (const QByteArray &line : f.readAll().split('\n')) {
                const QString text = QString::fromUtf8(line);
                if (text.startsWith(key + u' '))
                    latest = text.mid(key.size() + 1);
            }
            if (latest && matches(*latest))
                return latest;
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return std::nullopt;
}

// Startup-notification and activation messages sent to the X root, as a
// window manager and a launcher see them.
class RootMessages : public QAbstractNativeEventFilter {
public:
    RootMessages()
    {
        auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        c_ = x11->connection();
        for (auto [name, atom] : {std::pair{"_NET_STARTUP_INFO_BEGIN", &begin_}, std::pair{"_NET_STARTUP_INFO", &more_},
                                  std::pair{"_NET_ACTIVE_WINDOW", &active_}}) {
            auto *reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(strlen(name)), name), nullptr);
            *atom = reply->atom;
            free(reply);
        }
        const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(c_, xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(c_);
        qApp->installNativeEventFilter(this);
    }
    ~RootMessages() override { qApp->removeNativeEventFilter(this); }
    bool nativeEventFilter(const QByteArray &, void *message, qintptr *) override
    {
        const auto *e = static_cast<const xcb_client_message_event_t *>(message);
        if ((e->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        if (e->type == begin_)
            partial_.clear();
        if (e->type == begin_ || e->type == more_) {
            partial_.append(reinterpret_cast<const char *>(e->data.data8), 20);
            if (const qsizetype end = partial_.indexOf('\0'); end >= 0)
                startup << partial_.left(end);
        }
        if (e->type == active_)
            activationTimes << e->data.data32[1];
        return false;
    }
    QList<QByteArray> startup;
    QList<uint32_t> activationTimes;

private:
    xcb_connection_t *c_;
    xcb_atom_t begin_, more_, active_;
    QByteArray partial_;
};

// A home of its own (the instance lock, settings, kept input) and the trace
// file, on the real display.
QProcessEnvironment windowEnvironment(const QTemporaryDir &home, const QString &trace)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.path());
    env.insert("XDG_CACHE_HOME", home.path());
    env.insert("BURROWLENS_TRACE", trace);
    env.remove("QT_QPA_PLATFORM");
    return env;
}

// The window's process, killed when the test ends however it ends.
struct RunningWindow {
    RunningWindow(const QProcessEnvironment &env, const QStringList &args)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(qEnvironmentVariable("BURROWLENS_BIN"), args);
    }
    ~RunningWindow()
    {
        process.kill();
        process.waitForFinished();
    }
    QProcess process;
};

// The X id of the visible Burrowlens window, empty when there is none.
QString windowID()
{
    QProcess search;
    search.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", "^Burrowlens$"});
    search.waitForFinished(20000);
    return QString::fromUtf8(search.readAllStandardOutput()).split(u'\n').first().trimmed();
}

int run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(20000))
        return -1;
    return p.exitCode();
}

} // namespace

TEST(WindowEndToEnd, ClickARingThenASecondLaunchHandsOverItsFolder)
{
    ASSERT_FALSE(burrowlens().isEmpty()) << "BURROWLENS_BIN names the binary";
    QTemporaryDir home, folders;
    const QString root = folders.filePath("photos");
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j <= i * 3; ++j)
            writeFile(root + QStringLiteral("/album%1/img%2.raw").arg(i).arg(j), 40000 * (j + 1));
    }
    writeFile(folders.filePath("music/song.flac"), 100000);
    const QString trace = home.filePath("trace.txt");

    const QProcessEnvironment env = windowEnvironment(home, trace);
    RunningWindow running(env, {root});
    QProcess &first = running.process;
    ASSERT_TRUE(first.waitForStarted());

    ASSERT_TRUE(waitForTrace(trace, "screen", [](const QString &s) { return s == "workspace"; }));
    const auto painted = waitForTrace(trace, "painted", [](const QString &) { return true; });
    ASSERT_TRUE(painted);
    std::printf("first paint %s ms after main() began\n", qPrintable(painted->section(u' ', 0, 0)));
    ASSERT_TRUE(waitForTrace(trace, "list", [](const QString &s) { return s.startsWith("4 "); }));
    const auto segment = waitForTrace(trace, "segment", [](const QString &s) { return s.count(u' ') >= 2; });
    ASSERT_TRUE(segment);
    const QStringList parts = segment->split(u' ');
    const QString target = parts.mid(2).join(u' ');
    ASSERT_TRUE(target.startsWith(root + "/album")) << target.toStdString();

    // Click the segment through the X server, as a user would.
    const QString window = windowID();
    ASSERT_FALSE(window.isEmpty());
    ASSERT_EQ(run("xdotool", {"mousemove", "--window", window, parts[0], parts[1], "click", "1"}), 0);

    ASSERT_TRUE(waitForTrace(trace, "focus", [&](const QString &s) { return s == target; }));
    const QString name = target.section(u'/', -1);
    EXPECT_TRUE(waitForTrace(trace, "breadcrumb", [&](const QString &s) { return s == "photos > " + name; }));
    const int files = name.mid(5).toInt() * 3 + 1;
    EXPECT_TRUE(waitForTrace(trace, "list", [&](const QString &s) { return s.startsWith(QString::number(files) + u' '); }))
        << "the list shows the clicked folder's " << files << " files";

    // What the screen shows now, for a person to look at.
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
    const QImage image = shot.toImage();
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 7) {
        for (int x = 0; x < image.width(); x += 7)
            colours.insert(image.pixel(x, y));
    }
    EXPECT_GT(colours.size(), 50) << "the screenshot shows a drawn window";
    const QString shotPath = QDir::current().filePath("e2e-window.png");
    EXPECT_TRUE(shot.save(shotPath));
    std::printf("screenshot: %s\n", qPrintable(shotPath));

    // A second launch hands its folder over and exits at once; the first
    // comes forward at the launch's time and ends its startup notification.
    RootMessages rootWindow;
    QProcess second;
    QProcessEnvironment launched = env;
    launched.insert("DESKTOP_STARTUP_ID", "launcher-7_TIME4242");
    second.setProcessEnvironment(launched);
    second.start(burrowlens(), {folders.filePath("music")});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitForTrace(trace, "shelf", [&](const QString &s) {
        return s.startsWith("2 ") && s.contains(folders.filePath("music") + u'=');
    }));
    QDeadlineTimer told(10000);
    while (!told.hasExpired() && (rootWindow.startup.isEmpty() || !rootWindow.activationTimes.contains(4242)))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(rootWindow.startup.contains("remove: ID=\"launcher-7_TIME4242\"")) << rootWindow.startup.join('|').toStdString();
    EXPECT_TRUE(rootWindow.activationTimes.contains(4242));
    EXPECT_EQ(first.state(), QProcess::Running);

    // A scan of another machine arrives on standard input, as from ssh:
    // the launch keeps it and hands it over too.
    QProcess piped;
    piped.setProcessEnvironment(env);
    piped.start(burrowlens(), {"-"});
    ASSERT_TRUE(piped.waitForStarted());
    piped.write("[1,2,{\"progname\":\"ncdu\",\"timestamp\":1700000000},\n"
                "[{\"name\":\"/srv/far\"},{\"name\":\"big.iso\",\"asize\":9000,\"dsize\":12288}]]\n");
    piped.closeWriteChannel();
    ASSERT_TRUE(piped.waitForFinished(20000));
    EXPECT_EQ(piped.exitCode(), 0);
    EXPECT_TRUE(waitForTrace(trace, "shelf", [](const QString &s) { return s.startsWith("3 ") && s.contains("/srv/far="); }));

    // What is not a scan file is refused at once, and a hand-over that
    // cannot be written is said: neither launch claims success.
    QProcess zeros;
    zeros.setProcessEnvironment(env);
    zeros.setStandardInputFile("/dev/zero");
    zeros.start(burrowlens(), {"-"});
    ASSERT_TRUE(zeros.waitForFinished(20000));
    EXPECT_EQ(zeros.exitCode(), 1);
    EXPECT_TRUE(zeros.readAllStandardError().contains("not a scan file"));
    const QString requests = home.path() + "/com.quillfen.burrowlens/DuplicateLaunchRequests";
    ASSERT_TRUE(QDir(requests).removeRecursively());
    QFile blocker(requests);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QProcess lost;
    lost.setProcessEnvironment(env);
    lost.start(burrowlens(), {folders.filePath("music")});
    ASSERT_TRUE(lost.waitForFinished(20000));
    EXPECT_EQ(lost.exitCode(), 1);
    EXPECT_TRUE(lost.readAllStandardError().contains("did not get what this launch opens"));
}

// Only the keyboard, through the X server: find a folder by name, focus it,
// go up with Backspace and back with Alt+Left, and quit with Ctrl+Q.
TEST(WindowEndToEnd, TheKeysFocusGoBackAndQuit)
{
    QTemporaryDir home, folders;
    const QString root = folders.filePath("disk");
    writeFile(root + "/videos/film.mkv", 300000);
    writeFile(root + "/photos/a.jpg", 200000);
    writeFile(root + "/notes.txt", 1000);
    const QString trace = home.filePath("trace.txt");
    const QProcessEnvironment env = windowEnvironment(home, trace);
    RunningWindow running(env, {root});
    QProcess &app = running.process;
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(waitForTrace(trace, "list", [](const QString &s) { return s.startsWith("3 "); }));
    const QString window = windowID();
    ASSERT_EQ(run("xdotool", {"windowfocus", "--sync", window}), 0);
    auto keys = [&](const QStringList &what) {
        ASSERT_EQ(run("xdotool", QStringList{"key", "--delay", "60"} + what), 0);
    };
    keys({"ctrl+f"});
    ASSERT_EQ(run("xdotool", {"type", "--delay", "60", "PHO"}), 0);
    keys({"Down", "Return"});
    EXPECT_TRUE(waitForTrace(trace, "focus", [&](const QString &s) { return s == root + "/photos"; }));
    keys({"BackSpace"});
    EXPECT_TRUE(waitForTrace(trace, "focus", [&](const QString &s) { return s == root; }));
    keys({"alt+Left"});
    EXPECT_TRUE(waitForTrace(trace, "focus", [&](const QString &s) { return s == root + "/photos"; }));
    keys({"ctrl+q"});
    ASSERT_TRUE(app.waitForFinished(20000)) << "Ctrl+Q quits";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

// The first window on standard input opens at once and counts what
// arrives while the sender (ssh, in use) is still at work.
TEST(WindowEndToEnd, AFirstLaunchReadsStandardInputAsItComes)
{
    QTemporaryDir home;
    const QString trace = home.filePath("trace.txt");
    const QProcessEnvironment env = windowEnvironment(home, trace);
    RunningWindow running(env, {"-"});
    QProcess &app = running.process;
    ASSERT_TRUE(app.waitForStarted());
    app.write("[1,2,{\"progname\":\"ncdu\",\"timestamp\":1700000000},\n[{\"name\":\"/srv/far\"},");
    ASSERT_TRUE(app.waitForBytesWritten(5000)); // nothing pumps QProcess here
    EXPECT_TRUE(waitForTrace(trace, "painted", [](const QString &) { return true; })) << "the window waits for nobody";
    EXPECT_TRUE(waitForTrace(trace, "shelf", [](const QString &s) { return s.startsWith("1 standard input=") && s.endsWith("=received"); }));
    app.write("{\"name\":\"big.iso\",\"asize\":9000,\"dsize\":12288}]]\n");
    ASSERT_TRUE(app.waitForBytesWritten(5000));
    app.closeWriteChannel();
    EXPECT_TRUE(waitForTrace(trace, "shelf", [](const QString &s) { return s.startsWith("1 /srv/far="); }));
    EXPECT_EQ(QDir(home.filePath("quillfen/burrowlens/received")).entryList({"stdin-*.json"}, QDir::Files).size(), 1)
        << "a copy is kept, as for a hand-over";
}

TEST(WindowEndToEnd, WithoutALockItFailsAndSaysWhereAndOpensNoWindow)
{
    QTemporaryDir home;
    const QString blocker = home.filePath("not-a-folder");
    writeFile(blocker, 1);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", blocker + "/share"); // the lock's folder cannot be made
    env.insert("XDG_CONFIG_HOME", home.path());
    env.insert("XDG_CACHE_HOME", home.path()); // standard input is kept here
    env.insert("BURROWLENS_TRACE", home.filePath("trace.txt"));
    QProcess app;
    app.setProcessEnvironment(env);
    app.start(burrowlens(), {home.path(), home.filePath("missing")});
    ASSERT_TRUE(app.waitForFinished(20000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(app.readAllStandardError());
    EXPECT_TRUE(said.contains(home.filePath("missing") + ": No such file or directory")) << said.toStdString();
    EXPECT_TRUE(said.contains("single-instance lock " + blocker + "/share/")) << said.toStdString();
    EXPECT_FALSE(QFile::exists(home.filePath("trace.txt"))) << "no window was opened";
}

// Without a display, started by name from a folder that holds a program
// called burrowlens-scan: the report beside the real program runs, not that.
TEST(WindowEndToEnd, WithoutADisplayTheReportBesideTheProgramRuns)
{
    QTemporaryDir here;
    QFile trap(here.filePath("burrowlens-scan"));
    ASSERT_TRUE(trap.open(QIODevice::WriteOnly));
    trap.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
    trap.close();
    trap.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(here.filePath("tree/a.bin"), 5000);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("PATH", QFileInfo(burrowlens()).path() + u':' + QFileInfo(qEnvironmentVariable("BURROWLENS_SCAN_BIN")).path() + ":/usr/bin:/bin");
    QProcess app;
    app.setProcessEnvironment(env);
    app.setWorkingDirectory(here.path());
    app.start("/bin/sh", {"-c", "exec burrowlens tree"});
    ASSERT_TRUE(app.waitForFinished(20000));
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(here.filePath("ran")));
    EXPECT_TRUE(app.readAllStandardOutput().contains("a.bin"));
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv); // on the X server xvfb-run provides
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
