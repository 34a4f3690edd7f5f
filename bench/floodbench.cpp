// Measures what a flood of datagrams costs the supervisor: the real program (through the tests'
// SupervisorProcess, with cashsim as its cash application, at LogLevel 5) gets 100,000 restart
// commands from one sender and 100,000 garbage datagrams from another, paced so that its socket
// buffer never overflows (at most 32 commands unanswered, each after one garbage datagram), then
// an unpaced burst of 100,000 more. Prints the time, the supervisor's processor time and resident
// memory (after the warm-up, after the flood, peak), the kernel's drops; fails (exit 1) when an
// answer is missing or wrong. Whether every command is answered is tested at a smaller size by
// tst_load. Not a test; run by hand: floodbench [COMMANDS]
#include "supervisorprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QUdpSocket>

#include <cstdio>

namespace {

// Deterministic, so that a run can be repeated: random bytes of any length up to a full Ethernet
// frame, fragments of a header, commands with codes nobody handles, answers nobody awaits. Never
// one of the supervisor's own commands, 0 to 4.
class Garbage
{
public:
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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int commands = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    const int garbageCount = commands;
    const int window = 32;
    if (commands <= 0) {
        std::fprintf(stderr, "usage: floodbench [COMMANDS]\n");
        return 2;
    }

    SupervisorProcess supervisor;
    if (!supervisor.isValid() || !supervisor.configure(QString(), 5) || !supervisor.start()
        || supervisor.waitForCashRun(1, 10000) <= 0
        || !supervisor.waitForLog(QStringLiteral("initialization process finished"), 10000)) {
        std::fprintf(
            stderr, "the supervisor did not start: %s\n", qPrintable(supervisor.errorString()));
        return 1;
    }

    QUdpSocket commander;
    QUdpSocket vandal;
    if (!commander.bind(QHostAddress(QHostAddress::LocalHost), 0)
        || !vandal.bind(QHostAddress(QHostAddress::LocalHost), 0)) {
        std::fprintf(stderr, "cannot bind the senders\n");
        return 1;
    }
    const QHostAddress server = QHostAddress::LocalHost;
    const quint16 port = supervisor.serverPort();
    const QByteArray restart("\0\0\0\0", 4);

    Garbage garbage;
    int sent = 0;
    int junk = 0;
    int answers = 0;
    int wrongAnswers = 0;
    int junkAnswers = 0;
    qint64 rssBefore = 0;
    QElapsedTimer clock;
    clock.start();
    while (answers < commands && clock.elapsed() < 300000) {
        while (sent < commands && sent - answers < window) {
            if (junk < garbageCount) {
                vandal.writeDatagram(garbage.next(), server, port);
                ++junk;
            }
            commander.writeDatagram(restart, server, port);
            ++sent;
        }
        if (!commander.waitForReadyRead(3000))
            break; // an answer is missing
        answers += readDatagrams(commander, QByteArray("\0\1\0\0", 4), &wrongAnswers);
        junkAnswers += readDatagrams(vandal, QByteArray(), &wrongAnswers);
        // Memory is measured from the end of the warm-up, once buffers have their size.
        if (rssBefore == 0 && answers >= 1000)
            rssBefore = supervisor.statusKb("VmRSS");
    }
    static_cast<void>(QTest::qWaitFor(
        [&] {
            junkAnswers += readDatagrams(vandal, QByteArray(), &wrongAnswers);
            return junkAnswers >= garbage.commandLike;
        },
        3000));
    const qint64 elapsed = clock.elapsed();
    const bool pacedOk =
        answers == commands && wrongAnswers == 0 && junkAnswers == garbage.commandLike;
    std::printf("%d commands and %d garbage datagrams, paced, in %lld ms: %d answers, %d answers "
                "to garbage (of %d command-like), %d wrong\n",
        sent, junk, elapsed, answers, junkAnswers, garbage.commandLike, wrongAnswers);
    std::printf("supervisor: %lld ms on a processor; VmRSS %lld KiB after the warm-up, %lld KiB "
                "after the flood, peak %lld KiB\n",
        supervisor.cpuMs(), rssBefore, supervisor.statusKb("VmRSS"), supervisor.statusKb("VmHWM"));

    QElapsedTimer burstClock;
    burstClock.start();
    for (int i = 0; i < garbageCount; ++i)
        vandal.writeDatagram(garbage.next(), server, port);
    const qint64 burstElapsed = burstClock.elapsed();
    // A probe sent while the buffer is still full is dropped like the rest: ask again.
    const bool answering = QTest::qWaitFor(
        [&] {
            return supervisor.send(QByteArray("\0\0\0\7", 4), 500) == QByteArray("\0\2\0\7", 4);
        },
        10000);
    std::printf("then %d garbage datagrams unpaced in %lld ms: %lld dropped by the kernel; VmRSS "
                "%lld KiB; still answering: %s\n",
        garbageCount, burstElapsed, kernelDrops(port), supervisor.statusKb("VmRSS"),
        answering ? "yes" : "no");
    return pacedOk && answering && supervisor.cashRuns() == 1 ? 0 : 1;
}
