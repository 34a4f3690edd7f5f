#include "servicenotifier.h"

// The supervisor runs in the till user's session, never as a Windows service.
ServiceNotifier::ServiceNotifier() : logSource(QStringLiteral("ServiceNotifier")) { }

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::isActive() const
{
    return false;
}

void ServiceNotifier::notifyReady() { }

bool ServiceNotifier::send(const QByteArray &, const QString &)
{
    return false;
}
