#include "udp.h"

#include "ipcchannel.h"
#include "log/log.h"

#include <QSignalBlocker>

UDP::UDP(IpcChannel *channel, QObject *parent) : QObject(parent), channel(channel) { }

void UDP::setPeerAddress(const QHostAddress &address)
{
    peerAddress = address;
}

void UDP::setPeerPort(quint16 port)
{
    peerPort = port;
}

void UDP::setAddressFilter(bool on)
{
    addressFilter = on;
}

void UDP::setSenderCheck(bool on)
{
    checkSenders = on;
}

bool UDP::bind(const QHostAddress &address, quint16 port, QAbstractSocket::BindMode mode)
{
    if (readConnection)
        disconnect(readConnection);
    // A bound socket cannot be bound again; start from a fresh one.
    if (socket.state() != QAbstractSocket::UnconnectedState)
        socket.abort();
    if (!socket.bind(address, port, mode))
        return false;
    readConnection = connect(&socket, &QUdpSocket::readyRead, this, &UDP::processRead);
    return bool(readConnection);
}

bool UDP::send(const QByteArray &data)
{
    Log::write(
        Log::Debug, QStringLiteral("UDP::send"), QStringLiteral("socket sent UDP to vorcam"));
    // The socket would warn on the console about a null address; it is a failed send all the same.
    if (peerAddress.isNull())
        return false;
    return socket.writeDatagram(data, peerAddress, peerPort) != -1;
}

bool UDP::reply(const QByteArray &data)
{
    if (senderAddress.isNull())
        return false;
    return socket.writeDatagram(data, senderAddress, senderPort) != -1;
}

bool UDP::waitForReadyRead(int msecs)
{
    // Inside its wait the socket emits readyRead(), which would read the datagram through
    // processRead() at once; the caller reads it itself, so that one wait reads one datagram.
    const QSignalBlocker blocker(&socket);
    return socket.waitForReadyRead(msecs);
}

quint16 UDP::localPort() const
{
    return socket.localPort();
}

QAbstractSocket::SocketError UDP::error() const
{
    return socket.error();
}

QString UDP::errorString() const
{
    return socket.errorString();
}

void UDP::processRead()
{
    if (!socket.hasPendingDatagrams())
        return;
    const qint64 size = socket.pendingDatagramSize();
    QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
    if (socket.readDatagram(datagram.data(), datagram.size(), &senderAddress, &senderPort) == -1)
        return;
    if (addressFilter && senderAddress != peerAddress)
        return;
    if (checkSenders && !senderCheck.accepts(senderAddress, senderPort))
        return;
    if (channel)
        channel->processData(datagram);
}
