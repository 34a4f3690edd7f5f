// Datagrams to the command channel: each input is handed to processData() as received, and is
// then the peer's answer to a command the channel sends. The channel and its peer are bound to
// 127.0.0.1 on ports the system picks, so nothing leaves this machine.
#include "fuzzsupport.h"
#include "ipc/interprocesschannel.h"

#include <QList>
#include <QUdpSocket>
#include <QtEndian>

namespace {

// The owner: records every handler call. Codes 0 to 4 are the supervisor's (all accept); 300
// refuses, to cover a handler that answers negatively.
class Recorder : public QObject
{
    Q_OBJECT

public:
    bool accept(const QByteArray &payload) { return record(payload, true); }
    bool refuse(const QByteArray &payload) { return record(payload, false); }

    QList<QByteArray> calls;

private:
    bool record(const QByteArray &payload, bool result)
    {
        calls << payload;
        return result;
    }
};

constexpr int refusingCode = 300;

struct Harness
{
    Recorder owner;
    InterProcessChannel<Recorder> channel { &owner };
    QUdpSocket peer;

    Harness()
    {
        for (int code = RESTART_CMD; code <= UPDATE_CMD; ++code)
            channel.registerCommand(code, &Recorder::accept);
        channel.registerCommand(refusingCode, &Recorder::refuse);

        if (!peer.bind(QHostAddress::LocalHost, 0)
            || !channel.udp().bind(QHostAddress::LocalHost, 0, QAbstractSocket::DefaultForPlatform))
            fuzzFailure("cannot bind to 127.0.0.1");
        channel.udp().setPeerAddress(QHostAddress::LocalHost);
        channel.udp().setPeerPort(peer.localPort());
        // One datagram from the peer makes it the sender that replies go to.
        toChannel(IpcChannel::header(99, 0));
        channel.udp().processRead();
        if (!receive(0).isEmpty())
            fuzzFailure("a datagram of unknown type was answered");
    }

    void toChannel(const QByteArray &datagram)
    {
        if (peer.writeDatagram(datagram, QHostAddress::LocalHost, channel.udp().localPort())
                != datagram.size()
            || !channel.udp().waitForReadyRead(5000)) {
            fuzzFailure("cannot send to the channel");
        }
    }

    // What the peer has received: at least `expected` datagrams (loopback delivery is normally
    // done when the send returns, but a busy machine may defer it), and whatever else is there.
    QList<QByteArray> receive(int expected)
    {
        QList<QByteArray> datagrams;
        while (peer.hasPendingDatagrams()
            || (datagrams.size() < expected && peer.waitForReadyRead(5000))) {
            QByteArray datagram(
                int(qMax<qint64>(peer.pendingDatagramSize(), 0)), Qt::Uninitialized);
            if (peer.readDatagram(datagram.data(), datagram.size()) != datagram.size())
                fuzzFailure("cannot read at the peer");
            datagrams << datagram;
        }
        return datagrams;
    }
};

int field(const QByteArray &datagram, int offset)
{
    return datagram.size() < offset + 2 ? -1
                                        : qFromBigEndian<qint16>(datagram.constData() + offset);
}

bool handled(int code)
{
    return (code >= RESTART_CMD && code <= UPDATE_CMD) || code == refusingCode;
}

// What the peer must have received after `datagram` reached the channel: the answer to a command,
// nothing for anything else.
QList<QByteArray> expectedReplies(const QByteArray &datagram)
{
    if (field(datagram, 0) != MSG_COMMAND)
        return {};
    const int code = quint16(field(datagram, 2));
    const bool accepted = handled(code) && code != refusingCode;
    return { IpcChannel::header(accepted ? MSG_ACK : MSG_NAK, code) };
}

void checkCalls(Harness &h, const QByteArray &datagram)
{
    const bool called = field(datagram, 0) == MSG_COMMAND && handled(quint16(field(datagram, 2)));
    if (h.owner.calls != (called ? QList<QByteArray> { datagram.mid(4) } : QList<QByteArray>()))
        fuzzFailure("handler calls do not match the datagram");
    h.owner.calls.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness *h = new Harness;
    // The code the channel still waits for: a notice whose wait read no answer stays awaited.
    static int awaited = NO_CMD;
    const QByteArray datagram = fuzzBytes(data, size);
    const int type = field(datagram, 0);
    const bool isAnswer = type == MSG_ACK || type == MSG_NAK;
    const QList<QByteArray> replies = expectedReplies(datagram);

    // As received.
    const bool matches = type == MSG_ACK && int(quint16(field(datagram, 2))) == awaited;
    const bool result = h->channel.processData(datagram);
    checkCalls(*h, datagram);
    if (h->receive(replies.size()) != replies)
        fuzzFailure("the answers do not match the datagram");
    if (type == MSG_COMMAND ? !result : result != matches)
        fuzzFailure("processData returned the wrong result");
    if (isAnswer)
        awaited = NO_CMD;

    // As the answer to the maintenance-start notice: queued before the notice is sent, so the
    // channel's one wait finds it at once.
    h->toChannel(datagram);
    const bool success = h->channel.processCommand(MAINTENANCE_START_CMD, QByteArray());
    checkCalls(*h, datagram);
    const bool expected = type == MSG_ACK && field(datagram, 2) == MAINTENANCE_START_CMD;
    if (success != expected)
        fuzzFailure("processCommand judged the answer wrongly");
    const QByteArray notice = IpcChannel::header(MSG_COMMAND, MAINTENANCE_START_CMD);
    if (h->receive(1 + replies.size()) != QList<QByteArray> { notice } + replies)
        fuzzFailure("the peer did not get the notice and the answers");
    awaited = isAnswer ? NO_CMD : MAINTENANCE_START_CMD;
    return 0;
}

#include "fuzz_ipcchannel.moc"
