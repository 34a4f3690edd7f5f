#include "servicenotifier.h"

#include <QObject>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

ServiceNotifier::ServiceNotifier() : logSource(QStringLiteral("ServiceNotifier"))
{
    const QByteArray address = qgetenv("NOTIFY_SOCKET");
    // A path, or a name in the abstract namespace.
    if (address.startsWith('/') || address.startsWith('@'))
        socketAddress = address;

    // The watchdog is meant for this very process, not for one that merely inherited the setting.
    bool valid = false;
    const qint64 periodUs = qgetenv("WATCHDOG_USEC").toLongLong(&valid);
    const QByteArray watchdogPid = qgetenv("WATCHDOG_PID");
    if (isActive() && valid && periodUs > 0
        && (watchdogPid.isEmpty() || watchdogPid.toLongLong() == qint64(::getpid()))) {
        watchdogIntervalMs = int(qBound(qint64(1), periodUs / 2000, qint64(INT_MAX)));
    }

    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");

    watchdog.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watchdog, &QTimer::timeout, [this] {
        static_cast<void>(send("WATCHDOG=1", QStringLiteral("ServiceNotifier::watchdog")));
    });
}

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::isActive() const
{
    return !socketAddress.isEmpty();
}

void ServiceNotifier::notifyReady()
{
    if (!isActive() || ready)
        return;
    ready = true;
    static_cast<void>(send("READY=1", QStringLiteral("ServiceNotifier::notifyReady")));
    if (watchdogIntervalMs > 0)
        watchdog.start(watchdogIntervalMs);
}

bool ServiceNotifier::send(const QByteArray &state, const QString &method)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(socketAddress.size()) >= sizeof(address.sun_path)) {
        logSource.log(Log::Warning,
            QStringLiteral("Notify socket name too long: %1")
                .arg(QString::fromLocal8Bit(socketAddress)),
            method);
        return false;
    }
    std::memcpy(address.sun_path, socketAddress.constData(), size_t(socketAddress.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(socketAddress.size()));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ssize_t sent = -1;
    if (fd >= 0) {
        sent = ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
            reinterpret_cast<const sockaddr *>(&address), length);
    }
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (sent == ssize_t(state.size()))
        return true;
    logSource.log(Log::Warning,
        QStringLiteral("Cannot send %1 to the service manager: %2")
            .arg(QString::fromLatin1(state), QString::fromLocal8Bit(std::strerror(error))),
        method);
    return false;
}
