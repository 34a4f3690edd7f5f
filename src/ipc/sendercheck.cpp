#include "sendercheck.h"

#include "log/log.h"

#include <QNetworkInterface>

#include <algorithm>

namespace {
constexpr qint64 windowMs = 60000;

bool isOwnAddress(const QHostAddress &address)
{
    // Asked of the interfaces only when the loopback test fails: a sender elsewhere than on the
    // loopback address needs a setting that nobody uses by default.
    return address.isLoopback() || QNetworkInterface::allAddresses().contains(address);
}
} // namespace

bool SenderCheck::accepts(const QHostAddress &address, quint16 port)
{
    const QString reason = refusal(address, port);
    if (reason.isEmpty())
        return true;
    if (mayWrite())
        refuse(address, port, reason);
    return false;
}

QString SenderCheck::refusal(const QHostAddress &address, quint16 port)
{
    // A datagram from another computer has no socket here; one of ours on the same port number
    // must not vouch for it.
    if (!isOwnAddress(address))
        return QStringLiteral("not an address of this computer");
    if (!owners.find(port, &found))
        return QStringLiteral("the owner of the port is unknown (%1)").arg(owners.errorString());
    // The sender closed its socket before we read: nobody can be held to the datagram.
    if (found.isEmpty())
        return QStringLiteral("no socket holds the port any more");
    const auto stranger = std::find_if(found.cbegin(), found.cend(),
        [](const PortOwners::Owner &owner) { return !owner.trusted; });
    if (stranger == found.cend())
        return QString();
    return QStringLiteral("the port is held by %1").arg(owners.describe(*stranger));
}

bool SenderCheck::mayWrite()
{
    if (!window.isValid() || window.elapsed() >= windowMs) {
        window.start();
        written = 0;
    }
    if (written < linesPerMinute) {
        ++written;
        return true;
    }
    ++unwritten;
    return false;
}

void SenderCheck::refuse(const QHostAddress &address, quint16 port, const QString &reason)
{
    QString text = QStringLiteral("Datagram from %1:%2 dropped: %3")
                       .arg(address.toString())
                       .arg(port)
                       .arg(reason);
    if (unwritten > 0) {
        text += QStringLiteral(" (%1 more dropped since the last such line)").arg(unwritten);
        unwritten = 0;
    }
    Log::write(Log::Warning, QStringLiteral("UDP::processRead"), text);
}
