#ifndef SENDERCHECK_H
#define SENDERCHECK_H

#include "portowners.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QString>

// Tells whether a received datagram comes from a process we trust: its source address must be
// one of this computer's, and every socket bound to its source port must belong to our own user
// or the administrator. A refusal writes a warning naming the port and the owner found, at most
// linesPerMinute of them a minute, so that a flood cannot fill the log.
class SenderCheck
{
public:
    [[nodiscard]] bool accepts(const QHostAddress &address, quint16 port);

    static constexpr int linesPerMinute = 10;

private:
    // Why the datagram is refused; empty when it is accepted.
    QString refusal(const QHostAddress &address, quint16 port);
    // Whether a refusal may be written now; counts those that may not.
    bool mayWrite();
    void refuse(const QHostAddress &address, quint16 port, const QString &reason);

    PortOwners owners;
    QList<PortOwners::Owner> found;
    QElapsedTimer window;
    int written = 0;
    int unwritten = 0;
};

#endif // SENDERCHECK_H
