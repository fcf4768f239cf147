#include "duplicate_launch_signal.h"

#include "app_identifiers.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QThread>

namespace {

const QString kInterface = app_identifiers::kReverseDns + QStringLiteral(".SingleInstance");
const QString kPath = u'/' + QString(kInterface).replace(u'.', u'/');
const QString kMember = QStringLiteral("Activate");

} // namespace

class DuplicateLaunchSignalObservation::Box : public QObject {
    Q_OBJECT
public:
    Box(const QString &name, std::function<void()> handler) : name_(name), handler_(std::move(handler)) {}

public Q_SLOTS:
    void activate(const QString &name)
    {
        if (name == name_ && handler_)
            handler_();
    }

private:
    QString name_;
    std::function<void()> handler_;
};

void DuplicateLaunchSignal::post(const QString &name)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, kMember);
    message << name;
    bus.send(message);
    // send() only queues; a second launch exits right after posting, which
    // would lose the signal. A round trip to the bus daemon on the same
    // connection returns only once everything queued before it has gone out.
    const QDBusMessage ping = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    bus.call(ping, QDBus::Block, 2000);
}

std::unique_ptr<DuplicateLaunchSignalObservation> DuplicateLaunchSignal::observe(const QString &name,
                                                                                 std::function<void()> handler)
{
    auto *box = new DuplicateLaunchSignalObservation::Box(name, std::move(handler));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.connect(QString(), kPath, kInterface, kMember, box, SLOT(activate(QString)));
    return std::unique_ptr<DuplicateLaunchSignalObservation>(new DuplicateLaunchSignalObservation(name, box));
}

DuplicateLaunchSignalObservation::DuplicateLaunchSignalObservation(const QString &name, Box *box)
    : name_(name), box_(box)
{
}

DuplicateLaunchSignalObservation::~DuplicateLaunchSignalObservation()
{
    cancel();
}

void DuplicateLaunchSignalObservation::cancel()
{
    if (isCancelled_)
        return;
    isCancelled_ = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.disconnect(QString(), kPath, kInterface, kMember, box_, SLOT(activate(QString)));
    // Signals already queued for the box die with it.
    if (box_->thread() == QThread::currentThread())
        delete box_;
    else
        box_->deleteLater();
    box_ = nullptr;
}

#include "duplicate_launch_signal.moc"
