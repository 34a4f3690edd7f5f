#include "ipcchannel.h"

#include <QtEndian>

IpcChannel::~IpcChannel() = default;

bool IpcChannel::processData(const QByteArray &datagram)
{
    Q_UNUSED(datagram);
    return false;
}

QByteArray IpcChannel::header(int type, int code)
{
    QByteArray bytes(headerSize, Qt::Uninitialized);
    qToBigEndian<qint16>(qint16(type), bytes.data());
    qToBigEndian<qint16>(qint16(code), bytes.data() + 2);
    return bytes;
}

int IpcChannel::field(const QByteArray &datagram, int offset)
{
    if (datagram.size() < offset + 2)
        return -1;
    return qFromBigEndian<qint16>(datagram.constData() + offset);
}
