#ifndef IPCCHANNEL_H
#define IPCCHANNEL_H

#include <QByteArray>

// Receiver of the datagrams of a UDP endpoint, and the datagram layout shared by both sides:
// a header of two big-endian signed 16-bit fields, type and code, then the payload.
class IpcChannel
{
public:
    IpcChannel() = default;
    virtual ~IpcChannel();

    IpcChannel(const IpcChannel &) = delete;
    IpcChannel &operator=(const IpcChannel &) = delete;

    // Takes one received datagram; the base ignores it.
    virtual bool processData(const QByteArray &datagram);

    static constexpr int headerSize = 4;

    // The four header bytes for type and code, each cut to 16 bits.
    static QByteArray header(int type, int code);
    // The signed 16-bit field at offset (0: type, 2: code); -1 when the datagram is too short.
    static int field(const QByteArray &datagram, int offset);
};

#endif // IPCCHANNEL_H
