#include "processutil.h"
#include "supervisorprocess.h"

#include <QTest>
#include <QUdpSocket>

// A flood on the loopback interface, valid commands and garbage from two senders, at a size that
// runs in seconds: every command is answered, garbage changes nothing. What a flood costs in time
// and memory, bench/floodbench measures.
class tst_Load : public QObject
{
    Q_OBJECT

private slots:
    void flood();
};

namespace {
// Everything the channel must survive: fragments of a header, unknown types and codes, stray
// answers, payloads, a full Ethernet frame. The datagrams of command type (two or more bytes
// beginning 00 00) are answered negatively; none is one of the supervisor's own commands.
const QList<QByteArray> garbage = { QByteArray(), QByteArray(1, '\0'), QByteArray(2, '\0'),
    QByteArray(3, '\0'), QByteArray("\0\0\0\7", 4), QByteArray("\0\0\xff\xff", 4),
    QByteArray("\0\1\0\5", 4), QByteArray("\0\2\0\0", 4), QByteArray("\xff\xff\0\0", 4),
    QByteArray("\0\3\0\0garbage", 11), QByteArray("\0\0\1\0", 4) + QByteArray(1468, '\xa5') };
} // namespace

void tst_Load::flood()
{
    const int commands = 2000;
    // At most this many commands (each with one garbage datagram before it) wait in the
    // supervisor's socket buffer, which then never overflows: every command sent is read.
    const int window = 32;

    SupervisorProcess supervisor;
    QVERIFY2(supervisor.isValid(), qPrintable(supervisor.errorString()));
    // At level 6 every command would leave a line.
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
    const quint16 port = supervisor.serverPort();
    const QByteArray restart("\0\0\0\0", 4);
    int sent = 0;
    int answers = 0;
    int junkAnswers = 0;
    int commandLike = 0;
    int wrongAnswers = 0;
    while (answers < commands) {
        for (; sent < commands && sent - answers < window; ++sent) {
            const QByteArray junk = garbage.at(sent % garbage.size());
            commandLike += junk.startsWith(QByteArray(2, '\0'));
            QCOMPARE(
                vandal.writeDatagram(junk, QHostAddress::LocalHost, port), qint64(junk.size()));
            QCOMPARE(commander.writeDatagram(restart, QHostAddress::LocalHost, port), 4);
        }
        QVERIFY2(commander.waitForReadyRead(3000), "an answer is missing");
        answers += readDatagrams(commander, QByteArray("\0\1\0\0", 4), &wrongAnswers);
        junkAnswers += readDatagrams(vandal, QByteArray(), &wrongAnswers);
    }
    QCOMPARE(wrongAnswers, 0);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return (junkAnswers += readDatagrams(vandal, QByteArray(), &wrongAnswers))
                >= commandLike;
        },
        5000));
    QCOMPARE(junkAnswers, commandLike);

    // Unpaced, faster than anyone reads: the kernel drops what does not fit, and the supervisor
    // goes on. A probe sent while the buffer is still full is dropped like the rest: ask again.
    for (int i = 0; i < 20000; ++i)
        QVERIFY(vandal.writeDatagram(garbage.at(i % garbage.size()), QHostAddress::LocalHost, port)
            >= 0);
    QVERIFY(QTest::qWaitFor(
        [&] {
            return supervisor.send(QByteArray("\0\0\0\7", 4), 500) == QByteArray("\0\2\0\7", 4);
        },
        10000));

    QVERIFY(supervisor.isRunning());
    QVERIFY(processRunning(cash));
    QCOMPARE(supervisor.cashRuns(), 1);
    // Nothing at the configured level: the flood leaves no trace in the log.
    QCOMPARE(supervisor.log(), logBefore);
}

QTEST_GUILESS_MAIN(tst_Load)
#include "tst_load.moc"
