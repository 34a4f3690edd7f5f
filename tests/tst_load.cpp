#include "processutil.h"
#include "supervisorprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QUdpSocket>

namespace {

// Deterministic, so that a failure can be repeated.
class Garbage
{
public:
    // Datagrams of every kind the channel must survive: random bytes of any length up to a
    // full Ethernet frame, fragments of a header, commands with codes nobody handles, answers
    // nobody awaits. Never one of the supervisor's own commands, 0 to 4: those are sent apart.
    QByteArray next()
    {
        QByteArray datagram(int(random() % 5 == 0 ? random() % 1473 : random() % 16), '\0');
        for (char &c : datagram)
            c = char(random());
        switch (random() % 4) {
        case 0:
            datagram = datagram.left(int(random() % 4));
            break;
        case 1:
            if (datagram.size() >= 2)
                datagram[0] = datagram[1] = '\0';
            break;
        default:
            break;
        }
        if (datagram.size() >= 2 && datagram.at(0) == '\0' && datagram.at(1) == '\0') {
            if (datagram.size() >= 4 && datagram.at(2) == '\0' && quint8(datagram.at(3)) <= 4)
                datagram[3] = '\7';
            ++commandLike;
        }
        return datagram;
    }

    // Datagrams of type 0 (two or more bytes beginning 00 00): each is answered, negatively.
    int commandLike = 0;

private:
    quint32 random()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    quint32 state = 2463534242u;
};

int drain(QUdpSocket &socket, const QByteArray &expected, int *wrong)
{
    int read = 0;
    while (socket.hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(socket.pendingDatagramSize(), 0)), '\0');
        if (socket.readDatagram(datagram.data(), datagram.size()) < 0)
            break;
        if (!expected.isNull() && datagram != expected)
            ++*wrong;
        ++read;
    }
    return read;
}

// Datagrams the kernel dropped because the socket bound to this UDP port had no room.
qint64 kernelDrops(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 12 && fields.at(1).endsWith(local))
            return fields.last().toLongLong();
    }
    return -1;
}

} // namespace

// A bounded flood on the loopback interface: valid commands and garbage from two senders. It stops
// by itself after a fixed count or a time limit.
class tst_Load : public QObject
{
    Q_OBJECT

private slots:
    void flood();
};

void tst_Load::flood()
{
    const int commands = 100000;
    const int garbageCount = 100000;
    // At most this many commands (each with one garbage datagram before it) wait in the
    // supervisor's socket buffer, which then never overflows: every command sent is read.
    const int window = 32;

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    // At level 6 every command would leave a line, and the flood would measure the log.
    QVERIFY(supervisor.configure(QString(), 5));
    QVERIFY(supervisor.start());
    const qint64 cash = supervisor.waitForCashRun(1, 10000);
    QVERIFY(cash > 0);
    QVERIFY(supervisor.waitForLog(QStringLiteral("initialization process finished"), 10000));
    const QStringList logBefore = supervisor.log();

    QUdpSocket commander;
    QUdpSocket vandal;
    QVERIFY(commander.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QVERIFY(vandal.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QHostAddress server = QHostAddress::LocalHost;
    const quint16 port = supervisor.serverPort();
    const QByteArray restart("\0\0\0\0", 4);
    const QByteArray accepted("\0\1\0\0", 4);

    Garbage garbage;
    int sent = 0;
    int junk = 0;
    int answers = 0;
    int wrongAnswers = 0;
    int junkAnswers = 0;
    qint64 rssBefore = 0;
    QElapsedTimer clock;
    clock.start();
    while (answers < commands && clock.elapsed() < 120000) {
        while (sent < commands && sent - answers < window) {
            if (junk < garbageCount) {
                QVERIFY(vandal.writeDatagram(garbage.next(), server, port) >= 0);
                ++junk;
            }
            QCOMPARE(commander.writeDatagram(restart, server, port), qint64(restart.size()));
            ++sent;
        }
        if (!commander.waitForReadyRead(3000))
            break; // an answer is missing
        answers += drain(commander, accepted, &wrongAnswers);
        junkAnswers += drain(vandal, QByteArray(), &wrongAnswers);
        // Memory is measured from the end of the warm-up, once buffers have their size.
        if (rssBefore == 0 && answers >= 1000)
            rssBefore = supervisor.statusKb("VmRSS");
    }
    while (junk < garbageCount) {
        QVERIFY(vandal.writeDatagram(garbage.next(), server, port) >= 0);
        ++junk;
    }
    static_cast<void>(QTest::qWaitFor(
        [&] {
            junkAnswers += drain(vandal, QByteArray(), &wrongAnswers);
            return junkAnswers >= garbage.commandLike;
        },
        3000));
    const qint64 elapsed = clock.elapsed();
    const qint64 rssAfter = supervisor.statusKb("VmRSS");

    qInfo("%d commands and %d garbage datagrams in %lld ms: %d answers, %d answers to garbage "
          "(of %d command-like); supervisor main thread %lld ms on a processor, VmRSS %lld KiB "
          "before, %lld KiB after, peak %lld KiB",
        sent, junk, elapsed, answers, junkAnswers, garbage.commandLike, supervisor.cpuMs(),
        rssBefore, rssAfter, supervisor.statusKb("VmHWM"));
    QCOMPARE(answers, commands);
    QCOMPARE(wrongAnswers, 0);
    QCOMPARE(junkAnswers, garbage.commandLike);
    // Each datagram costs the supervisor some 40 µs of asking the kernel who sent it, and the
    // machine may be busy with other work: a bound that catches a stall, not a measurement.
    QVERIFY2(elapsed < 90000, "the flood took longer than 90 s");
    QVERIFY(rssBefore > 0);
    if (!sanitizedBuild)
        QVERIFY2(rssAfter - rssBefore < 1024, "the supervisor's memory grew by 1 MiB or more");

    // Unpaced, faster than anyone reads: the kernel drops what does not fit in the socket's
    // buffer, and the supervisor holds no more than one datagram at a time.
    QElapsedTimer burstClock;
    burstClock.start();
    for (int i = 0; i < garbageCount; ++i)
        QVERIFY(vandal.writeDatagram(garbage.next(), server, port) >= 0);
    const qint64 burstElapsed = burstClock.elapsed();
    // A probe sent while the buffer is still full is dropped like the rest: ask again.
    QVERIFY(QTest::qWaitFor(
        [&] {
            return supervisor.send(QByteArray("\0\0\0\7", 4), 500) == QByteArray("\0\2\0\7", 4);
        },
        10000));
    static_cast<void>(drain(vandal, QByteArray(), &wrongAnswers));
    qInfo(
        "then %d garbage datagrams unpaced in %lld ms: %lld dropped by the kernel; VmRSS %lld KiB",
        garbageCount, burstElapsed, kernelDrops(port), supervisor.statusKb("VmRSS"));
    if (!sanitizedBuild)
        QVERIFY(supervisor.statusKb("VmRSS") - rssBefore < 1024);

    QVERIFY(supervisor.isRunning());
    QVERIFY(supervisor.answers());
    QVERIFY(processRunning(cash));
    QCOMPARE(supervisor.cashRuns(), 1);
    // Nothing at the configured level: the flood leaves no trace in the log.
    QCOMPARE(supervisor.log(), logBefore);
}

QTEST_GUILESS_MAIN(tst_Load)
#include "tst_load.moc"
