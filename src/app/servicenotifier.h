#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include "log/logsource.h"

#include <QByteArray>
#include <QTimer>

// Tells the service manager that runs this program how it is doing, by systemd's notify protocol,
// when systemd gave the process a notify socket (a service of Type=notify): that the program is
// ready, and then, from the event loop, that it is still alive, so that a loop that hangs is
// noticed by the service's watchdog. Without a notify socket, and on Windows, it does nothing.
class ServiceNotifier
{
public:
    // Takes the notify socket and the watchdog's settings out of the environment: the programs
    // this one starts must not speak in its name.
    ServiceNotifier();
    ~ServiceNotifier();

    // Whether a service manager listens, and so runs this program as its service.
    bool isActive() const;

    // Reports the program ready (once), then keeps the watchdog fed every half of its period.
    void notifyReady();

private:
    bool send(const QByteArray &state, const QString &method);

    LogSource logSource;
    QByteArray socketAddress;
    int watchdogIntervalMs = 0;
    bool ready = false;
    QTimer watchdog;
};

#endif // SERVICENOTIFIER_H
