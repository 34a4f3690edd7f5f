#ifndef UDP_H
#define UDP_H

#include "sendercheck.h"

#include <QHostAddress>
#include <QObject>
#include <QUdpSocket>

class IpcChannel;

// The one datagram endpoint towards the peer process: sends to the configured peer, replies to
// whoever sent the datagram read last, and hands every accepted datagram to its channel. Unless
// told otherwise, only datagrams sent by processes of our own user or the administrator are
// accepted.
class UDP : public QObject
{
    Q_OBJECT

public:
    explicit UDP(IpcChannel *channel, QObject *parent = nullptr);

    void setPeerAddress(const QHostAddress &address);
    void setPeerPort(quint16 port);
    // When on, datagrams whose source address is not the peer's are dropped (the port may differ).
    void setAddressFilter(bool on);
    // When on (the default), datagrams sent by processes of other users are dropped.
    void setSenderCheck(bool on);

    // Binds the socket and connects its readyRead() to processRead(); binding again first closes
    // the earlier binding, so a datagram is never delivered twice.
    [[nodiscard]] bool bind(
        const QHostAddress &address, quint16 port, QAbstractSocket::BindMode mode);

    // One datagram to the peer; false when the socket refused it.
    [[nodiscard]] bool send(const QByteArray &data);
    // One datagram to the source of the datagram read last; false when the socket refused it.
    [[nodiscard]] bool reply(const QByteArray &data);

    bool waitForReadyRead(int msecs);

    quint16 localPort() const;
    QAbstractSocket::SocketError error() const;
    QString errorString() const;

public slots:
    // Reads at most one pending datagram; the rest come with later readyRead() notifications.
    void processRead();

private:
    QUdpSocket socket;
    quint16 peerPort = 0;
    QHostAddress peerAddress { QHostAddress::LocalHost };
    quint16 senderPort = 0;
    QHostAddress senderAddress { QHostAddress::LocalHost };
    IpcChannel *channel;
    bool addressFilter = true;
    bool checkSenders = true;
    SenderCheck senderCheck;
    QMetaObject::Connection readConnection;
};

#endif // UDP_H
