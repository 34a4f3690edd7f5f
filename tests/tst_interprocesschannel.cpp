#include "ipc/interprocesschannel.h"
#include "recordingowner.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The command protocol and the datagram endpoint under it, between the channel and a peer socket.
namespace {

// Built from the owner's class name, whatever the compiler calls the type; the supervisor's own
// "IPC:InterProcessChannel<class LocalCashServer>::processCommand" is checked end to end.
const QString where =
    QStringLiteral("IPC:InterProcessChannel<class RecordingOwner>::processCommand");

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

QString entry(const char *label, const char *text)
{
    return QStringLiteral("%1; %2; %3").arg(QLatin1String(label), where, QLatin1String(text));
}

const QString sentLine = QStringLiteral("DEBG; UDP::send; socket sent UDP to vorcam");

} // namespace

class tst_InterProcessChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void receivedCommand_data();
    void receivedCommand();
    void processCommand_data();
    void processCommand();
    void oneReadPerCommand();
    void portIsOurs_data();
    void portIsOurs();
    void rebindMovesToNewPort();

private:
    // Sends one datagram from the peer socket to the channel's port.
    void fromPeer(const QByteArray &datagram);
    QList<QByteArray> answersAtPeer(int count);

    QScopedPointer<QTemporaryDir> dir;
    QString logPath;
    QScopedPointer<RecordingOwner> owner;
    QScopedPointer<InterProcessChannel<RecordingOwner>> channel;
    QUdpSocket peer;
    QUdpSocket elsewhere;
};

void tst_InterProcessChannel::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    logPath = useTestLog(dir->path());

    owner.reset(new RecordingOwner({ MAINTAINER_CMD }));
    channel.reset(new InterProcessChannel<RecordingOwner>(owner.data()));
    // A later registration replaces an earlier one.
    channel->registerCommand(RESTART_CMD, &RecordingOwner::maintainerCmd);
    owner->registerWith(*channel);
    QVERIFY(channel->bind(0));

    peer.close();
    elsewhere.close();
    QVERIFY(peer.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(elsewhere.bind(QHostAddress(QHostAddress::LocalHost), 0));
    channel->udp().setPeerAddress(QHostAddress::LocalHost);
    channel->udp().setPeerPort(peer.localPort());
}

void tst_InterProcessChannel::fromPeer(const QByteArray &datagram)
{
    QCOMPARE(peer.writeDatagram(datagram, QHostAddress::LocalHost, channel->udp().localPort()),
        qint64(datagram.size()));
}

QList<QByteArray> tst_InterProcessChannel::answersAtPeer(int count)
{
    QList<QByteArray> answers;
    // Whatever came is returned; the caller's comparison shows what is missing.
    static_cast<void>(QTest::qWaitFor(
        [&]() {
            while (peer.hasPendingDatagrams()) {
                QByteArray data(int(peer.pendingDatagramSize()), Qt::Uninitialized);
                peer.readDatagram(data.data(), data.size());
                answers.append(data);
            }
            return answers.size() >= count;
        },
        5000));
    return answers;
}

void tst_InterProcessChannel::receivedCommand_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("sender"); // the peer, or another socket (see below)
    QTest::addColumn<Calls>("calls");
    QTest::addColumn<QByteArray>("answer"); // at the peer; empty: none

    const auto row = [](const char *name, const char *datagram, const Calls &calls,
                         const char *answer, const char *sender = "peer") {
        QTest::newRow(name) << bytes(datagram) << QString::fromLatin1(sender) << calls
                            << bytes(answer);
    };
    row("restart, header only", "00000000", { Call(0, "") }, "00010000");
    row("restart, payload ignored by the answer", "00000000ff", { Call(0, bytes("ff")) },
        "00010000");
    row("update with path", "000000047061746821", { Call(4, "path!") }, "00010004");
    row("handler refuses", "00000003", { Call(3, "") }, "00020003");
    row("code without handler", "00000007", {}, "00020007");
    row("code 0xffff", "0000ffff", {}, "0002ffff");
    row("three bytes: code missing", "000000", {}, "0002ffff");
    row("two bytes: code missing", "0000", {}, "0002ffff");
    row("one byte", "00", {}, "");
    row("empty", "", {}, "");
    row("unknown type", "00030000", {}, "");
    row("negative type", "ffff0000", {}, "");
    row("unasked positive answer", "00010005", {}, "");
    row("unasked negative answer", "00020005", {}, "");
    // Who may send: the peer's address only (the port may differ), and only from a socket that
    // still holds its port when the datagram is read; senders of another user are refused end
    // to end, where a test can be another user.
    row("another address", "00000000", {}, "", "127.0.0.2");
    row("another address, filter off", "00000000", { Call(0, "") }, "", "127.0.0.2 unfiltered");
    row("socket closed before the read", "00000000", {}, "", "closed");
    row("a burst writes a bounded number of lines", "00000000", {}, "", "closed burst");
}

void tst_InterProcessChannel::receivedCommand()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, sender);
    QFETCH(Calls, calls);
    QFETCH(QByteArray, answer);

    // Answers go to the sender's port, not to the configured peer port.
    channel->udp().setPeerPort(elsewhere.localPort());
    const quint16 port = channel->udp().localPort();
    QUdpSocket other;
    QStringList lines;
    if (sender == QLatin1String("peer")) {
        fromPeer(datagram);
    } else if (sender.startsWith(QLatin1String("127.0.0.2"))) {
#ifdef Q_OS_WIN
        QSKIP("needs 127.0.0.2 as a second sender address, which Linux routes to the loopback "
              "device and Wine does not keep apart");
#endif
        channel->udp().setAddressFilter(!sender.endsWith(QLatin1String("unfiltered")));
        QVERIFY2(other.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0),
            qPrintable(other.errorString()));
        QCOMPARE(
            other.writeDatagram(datagram, QHostAddress::LocalHost, port), qint64(datagram.size()));
    } else {
        const int senders =
            sender.endsWith(QLatin1String("burst")) ? 3 * SenderCheck::linesPerMinute : 1;
        for (int i = 0; i < senders; ++i) {
            QUdpSocket closing;
            QVERIFY(closing.bind(QHostAddress(QHostAddress::LocalHost), 0));
            QCOMPARE(closing.writeDatagram(datagram, QHostAddress::LocalHost, port),
                qint64(datagram.size()));
            if (i < SenderCheck::linesPerMinute) {
                lines << QStringLiteral("WARN; UDP::processRead; Datagram from 127.0.0.1:%1 "
                                        "dropped: no socket holds the port any more")
                             .arg(closing.localPort());
            }
        }
    }
    // A marker command behind it: once its answer is in, the datagram has been dealt with.
    fromPeer(bytes("00000004") + "marker");
    QList<QByteArray> expected;
    if (!answer.isEmpty())
        expected.append(answer);
    expected.append(bytes("00010004"));
    calls.append(Call(UPDATE_CMD, "marker"));

    QCOMPARE(answersAtPeer(expected.size()), expected);
    QCOMPARE(owner->calls, calls);
    QVERIFY(!elsewhere.hasPendingDatagrams());
    // Nothing the channel received is logged, only the senders it drops.
    QCOMPARE(logEntries(logPath), lines);
}

void tst_InterProcessChannel::processCommand_data()
{
    QTest::addColumn<QByteArray>("response"); // null: none
    QTest::addColumn<bool>("reachable"); // the peer has an address
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("lines"); // after the sender's own
    QTest::addColumn<QList<QByteArray>>("atPeer"); // after the command itself

    const QStringList success = { entry("DEBG", "Send Command"),
        entry("DEBG", "Cmd ans: [0] SUCCESS") };
    const QStringList fail = { entry("DEBG", "Send Command"), entry("DEBG", "Cmd ans: [1] FAIL") };
    const QStringList unknown = { entry("DEBG", "Send Command"),
        entry("DEBG", "Cmd ans: [-1] UNKNOWN") };
    const QList<QByteArray> none;
    QTest::newRow("positive answer") << bytes("00010005") << true << true << success << none;
    QTest::newRow("positive answer, extra bytes")
        << bytes("00010005aa") << true << true << success << none;
    QTest::newRow("negative answer") << bytes("00020005") << true << false << fail << none;
    QTest::newRow("positive answer to another code")
        << bytes("00010003") << true << false << fail << none;
    QTest::newRow("answer without code") << bytes("000100") << true << false << fail << none;
    QTest::newRow("the peer's own command, handled and answered") << bytes(
        "00000000") << true << false << unknown << QList<QByteArray>({ bytes("00010000") });
    QTest::newRow("not a message") << bytes("00070005") << true << false << unknown << none;
    QTest::newRow("one byte") << bytes("01") << true << false << unknown << none;
    QTest::newRow("no answer in 3 s")
        << QByteArray() << true << false
        << QStringList({ entry("DEBG", "Send Command"), entry("WARN", "Command send TIMEOUT"),
               entry("WARN", "Send Command ERROR") })
        << none;
    QTest::newRow("send fails") << QByteArray() << false << false
                                << QStringList(entry("WARN", "Send Command ERROR")) << none;
}

void tst_InterProcessChannel::processCommand()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, reachable);
    QFETCH(bool, result);
    QFETCH(QStringList, lines);
    QFETCH(QList<QByteArray>, atPeer);

    // Loopback delivers at once: a datagram sent now is what the wait will find, just as if it
    // arrived during it.
    if (!response.isNull())
        fromPeer(response);
    if (!reachable)
        channel->udp().setPeerAddress(QHostAddress(QStringLiteral("cash-till")));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(channel->processCommand(MAINTENANCE_START_CMD, QByteArray()), result);
    const bool waited = lines.contains(entry("WARN", "Command send TIMEOUT"));
    QVERIFY2(waited ? timer.elapsed() >= 2900 && timer.elapsed() < 4500 : timer.elapsed() < 2000,
        qPrintable(QString::number(timer.elapsed())));

    if (reachable)
        atPeer.prepend(bytes("00000005"));
    QCOMPARE(answersAtPeer(atPeer.size()), atPeer);
    QCOMPARE(logEntries(logPath), QStringList(sentLine) + lines);
}

void tst_InterProcessChannel::oneReadPerCommand()
{
    // Answer and a following command both wait in the socket: only the answer is read inside
    // processCommand, the command later by the event loop.
    fromPeer(bytes("00010005"));
    fromPeer(bytes("00000000"));
    QVERIFY(channel->processCommand(MAINTENANCE_START_CMD, QByteArray()));
    QCOMPARE(owner->calls, Calls());
    QTRY_COMPARE(owner->calls, Calls({ Call(0, "") }));
}

void tst_InterProcessChannel::portIsOurs_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("mode"); // a QAbstractSocket::BindMode

    const int shared = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    QTest::newRow("any address, address reuse") << "0.0.0.0" << shared;
    QTest::newRow("loopback, address reuse") << "127.0.0.1" << shared;
    QTest::newRow("loopback, plain") << "127.0.0.1" << int(QAbstractSocket::DefaultForPlatform);
}

void tst_InterProcessChannel::portIsOurs()
{
    QFETCH(QString, address);
    QFETCH(int, mode);

    const quint16 port = channel->udp().localPort();
    QUdpSocket hijacker;
    QVERIFY2(!hijacker.bind(QHostAddress(address), port, QAbstractSocket::BindMode(mode)),
        "another socket took the command port");

    // Free again as soon as the channel lets go of it, for a socket that does not wait.
    channel.reset();
    QUdpSocket successor;
    QVERIFY2(successor.bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress),
        qPrintable(successor.errorString()));
}

void tst_InterProcessChannel::rebindMovesToNewPort()
{
    const quint16 oldPort = channel->udp().localPort();
    QVERIFY(channel->bind(0));
    QVERIFY(channel->udp().localPort() != oldPort);
    QCOMPARE(peer.writeDatagram(bytes("00000000"), QHostAddress::LocalHost, oldPort), 4);
    fromPeer(bytes("00000004") + "new");
    QTRY_COMPARE(owner->calls, Calls({ Call(4, "new") }));
}

QTEST_GUILESS_MAIN(tst_InterProcessChannel)
#include "tst_interprocesschannel.moc"
