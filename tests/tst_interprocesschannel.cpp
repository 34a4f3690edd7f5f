#include "ipc/interprocesschannel.h"
#include "log/log.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// Named like the supervisor, whose class name the log lines carry.
class RecordingOwner : public QObject
{
    Q_OBJECT

public:
    using Call = QPair<int, QByteArray>;

    bool restartCmd(const QByteArray &data) { return note(RESTART_CMD, data, true); }
    bool updateCmd(const QByteArray &data) { return note(UPDATE_CMD, data, true); }
    bool refusingCmd(const QByteArray &data) { return note(MAINTAINER_CMD, data, false); }

    QList<Call> calls;

private:
    bool note(int code, const QByteArray &data, bool result)
    {
        calls.append(Call(code, data));
        return result;
    }
};

namespace {

// Built from the owner's class name, whatever the compiler calls the type; the supervisor's own
// "IPC:InterProcessChannel<class LocalCashServer>::processCommand" is checked end to end.
const QString where =
    QStringLiteral("IPC:InterProcessChannel<class RecordingOwner>::processCommand");

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

QString entry(const char *label, const QString &text)
{
    return QStringLiteral("%1; %2; %3").arg(QLatin1String(label), where, text);
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
    void timeoutThenLateAnswer();
    void sendFailureLeavesAnswer();
    void portIsOurs_data();
    void portIsOurs();

private:
    QString logPath() const { return dir->filePath(QStringLiteral("localserver.log")); }
    // Sends one datagram from the peer socket to the channel's port.
    void fromPeer(const QByteArray &datagram);
    QList<QByteArray> answersAtPeer(int count);

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<RecordingOwner> owner;
    QScopedPointer<InterProcessChannel<RecordingOwner>> channel;
    QUdpSocket peer;
    QUdpSocket elsewhere; // the configured peer port; commands come from another one
};

void tst_InterProcessChannel::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(dir->path());
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);

    owner.reset(new RecordingOwner);
    channel.reset(new InterProcessChannel<RecordingOwner>(owner.data()));
    // A later registration replaces an earlier one.
    channel->registerCommand(RESTART_CMD, &RecordingOwner::refusingCmd);
    channel->registerCommand(RESTART_CMD, &RecordingOwner::restartCmd);
    channel->registerCommand(MAINTAINER_CMD, &RecordingOwner::refusingCmd);
    channel->registerCommand(UPDATE_CMD, &RecordingOwner::updateCmd);
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
    (void)QTest::qWaitFor(
        [&]() {
            while (peer.hasPendingDatagrams()) {
                QByteArray data(int(peer.pendingDatagramSize()), Qt::Uninitialized);
                peer.readDatagram(data.data(), data.size());
                answers.append(data);
            }
            return answers.size() >= count;
        },
        5000);
    return answers;
}

void tst_InterProcessChannel::receivedCommand_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QList<RecordingOwner::Call>>("calls");
    QTest::addColumn<QByteArray>("answer"); // empty: none

    using Calls = QList<RecordingOwner::Call>;
    using Call = RecordingOwner::Call;
    QTest::newRow("restart, header only")
        << bytes("00000000") << Calls { Call(0, "") } << bytes("00010000");
    QTest::newRow("restart, payload ignored by the answer")
        << bytes("00000000ff") << Calls { Call(0, bytes("ff")) } << bytes("00010000");
    QTest::newRow("update with path") << bytes("00000004") + "pkg/update.tgz"
                                      << Calls { Call(4, "pkg/update.tgz") } << bytes("00010004");
    QTest::newRow("handler refuses")
        << bytes("00000003") << Calls { Call(3, "") } << bytes("00020003");
    QTest::newRow("code without handler") << bytes("00000007") << Calls() << bytes("00020007");
    QTest::newRow("code 0xffff") << bytes("0000ffff") << Calls() << bytes("0002ffff");
    QTest::newRow("three bytes: code missing") << bytes("000000") << Calls() << bytes("0002ffff");
    QTest::newRow("two bytes: code missing") << bytes("0000") << Calls() << bytes("0002ffff");
    QTest::newRow("one byte") << bytes("00") << Calls() << QByteArray();
    QTest::newRow("empty") << QByteArray() << Calls() << QByteArray();
    QTest::newRow("unknown type") << bytes("00030000") << Calls() << QByteArray();
    QTest::newRow("negative type") << bytes("ffff0000") << Calls() << QByteArray();
    QTest::newRow("unasked positive answer") << bytes("00010005") << Calls() << QByteArray();
    QTest::newRow("unasked negative answer") << bytes("00020005") << Calls() << QByteArray();
}

void tst_InterProcessChannel::receivedCommand()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QList<RecordingOwner::Call>, calls);
    QFETCH(QByteArray, answer);

    fromPeer(datagram);
    // A marker command behind it: once its answer is in, the datagram has been dealt with.
    fromPeer(bytes("00000004") + "marker");
    QList<QByteArray> expected;
    if (!answer.isEmpty())
        expected.append(answer);
    expected.append(bytes("00010004"));
    calls.append(RecordingOwner::Call(UPDATE_CMD, "marker"));

    QCOMPARE(answersAtPeer(expected.size()), expected);
    QCOMPARE(owner->calls, calls);
    // Answers go to the sender's port, not to the configured peer port.
    QVERIFY(!elsewhere.hasPendingDatagrams());
    // Nothing the channel received here is logged.
    QCOMPARE(logEntries(logPath()), QStringList());
}

void tst_InterProcessChannel::processCommand_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("answerLine");
    QTest::addColumn<QList<QByteArray>>("atPeer"); // after the command itself

    const QString success = QStringLiteral("Cmd ans: [0] SUCCESS");
    const QString fail = QStringLiteral("Cmd ans: [1] FAIL");
    const QString unknown = QStringLiteral("Cmd ans: [-1] UNKNOWN");
    QTest::newRow("positive answer") << bytes("00010005") << true << success << QList<QByteArray>();
    QTest::newRow("positive answer, extra bytes")
        << bytes("00010005aa") << true << success << QList<QByteArray>();
    QTest::newRow("negative answer") << bytes("00020005") << false << fail << QList<QByteArray>();
    QTest::newRow("positive answer to another code")
        << bytes("00010003") << false << fail << QList<QByteArray>();
    QTest::newRow("answer without code") << bytes("000100") << false << fail << QList<QByteArray>();
    QTest::newRow("the peer's own command, handled and answered")
        << bytes("00000000") << false << unknown << QList<QByteArray>({ bytes("00010000") });
    QTest::newRow("not a message") << bytes("00070005") << false << unknown << QList<QByteArray>();
    QTest::newRow("one byte") << bytes("01") << false << unknown << QList<QByteArray>();
}

void tst_InterProcessChannel::processCommand()
{
    QFETCH(QByteArray, response);
    QFETCH(bool, result);
    QFETCH(QString, answerLine);
    QFETCH(QList<QByteArray>, atPeer);

    // Loopback delivers at once: a datagram sent now is what the wait will find, just as if it
    // arrived during it.
    fromPeer(response);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(channel->processCommand(MAINTENANCE_START_CMD, QByteArray()), result);
    QVERIFY(timer.elapsed() < 2000);

    atPeer.prepend(bytes("00000005"));
    QCOMPARE(answersAtPeer(atPeer.size()), atPeer);
    QCOMPARE(logEntries(logPath()),
        QStringList({ sentLine, entry("DEBG", QStringLiteral("Send Command")),
            entry("DEBG", answerLine) }));
}

void tst_InterProcessChannel::oneReadPerCommand()
{
    // Answer and a following command both wait in the socket: only the answer is read inside
    // processCommand, the command later by the event loop.
    fromPeer(bytes("00010005"));
    fromPeer(bytes("00000000"));
    QVERIFY(channel->processCommand(MAINTENANCE_START_CMD, QByteArray()));
    QCOMPARE(owner->calls, QList<RecordingOwner::Call>());
    QTRY_COMPARE(owner->calls, QList<RecordingOwner::Call>({ RecordingOwner::Call(0, "") }));
    QCOMPARE(channel->answerCode(), int(ANSWER_UNKNOWN));
}

void tst_InterProcessChannel::timeoutThenLateAnswer()
{
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!channel->processCommand(MAINTENANCE_START_CMD, QByteArray()));
    QVERIFY(timer.elapsed() >= 2900);
    QVERIFY(timer.elapsed() < 4500);
    QCOMPARE(channel->answerCode(), int(ANSWER_TIMEOUT));
    QCOMPARE(logEntries(logPath()),
        QStringList({ sentLine, entry("DEBG", QStringLiteral("Send Command")),
            entry("WARN", QStringLiteral("Command send TIMEOUT")),
            entry("WARN", QStringLiteral("Send Command ERROR")) }));

    // Nothing awaits it any more: a late positive answer only counts as a failure.
    fromPeer(bytes("00010005"));
    QTRY_COMPARE(channel->answerCode(), int(ANSWER_FAIL));
    QCOMPARE(logEntries(logPath()).size(), 4);
}

void tst_InterProcessChannel::sendFailureLeavesAnswer()
{
    fromPeer(bytes("00010005"));
    QVERIFY(channel->processCommand(MAINTENANCE_START_CMD, QByteArray()));
    QFile::remove(logPath());

    channel->udp().setPeerAddress(QHostAddress(QStringLiteral("cash-till")));
    QVERIFY(!channel->processCommand(MAINTENANCE_START_CMD, QByteArray()));
    QCOMPARE(channel->answerCode(), int(ANSWER_SUCCESS));
    QCOMPARE(logEntries(logPath()),
        QStringList({ sentLine, entry("WARN", QStringLiteral("Send Command ERROR")) }));
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

QTEST_GUILESS_MAIN(tst_InterProcessChannel)
#include "tst_interprocesschannel.moc"
