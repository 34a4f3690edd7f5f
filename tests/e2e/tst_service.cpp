#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <cstring>

// The supervisor as a service of Type=notify: the test plays the service manager's end of the
// notify socket. Against the real systemd: scripts/systemd-check.sh.
class tst_Service : public QObject
{
    Q_OBJECT

private slots:
    void notifications_data();
    void notifications();
};

namespace {
// The service manager's end: a datagram socket at a path, as systemd listens on.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(),
            qMin(size_t(name.size()), sizeof(address.sun_path) - 1));
        bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~NotifySocket() { ::close(fd); }
    bool isValid() const { return bound; }

    // The messages that arrive within msecs, at most count of them.
    QList<QByteArray> receive(int msecs, int count = INT_MAX)
    {
        QList<QByteArray> messages;
        QElapsedTimer clock;
        clock.start();
        char buffer[4096];
        pollfd wait = { fd, POLLIN, 0 };
        while (messages.size() < count
            && ::poll(&wait, 1, int(qMax<qint64>(0, msecs - clock.elapsed()))) == 1) {
            const ssize_t size = ::recv(fd, buffer, sizeof(buffer), 0);
            messages << QByteArray(buffer, int(qMax<ssize_t>(0, size)));
        }
        return messages;
    }

private:
    int fd;
    bool bound = false;
};

const QString socketName = QStringLiteral("notify");
} // namespace

void tst_Service::notifications_data()
{
    QTest::addColumn<QString>("watchdogUsec");
    QTest::addColumn<QString>("watchdogPid");
    QTest::addColumn<bool>("fed");

    QTest::newRow("no watchdog") << QString() << QString() << false;
    QTest::newRow("watchdog") << QStringLiteral("200000") << QString() << true;
    QTest::newRow("another process's watchdog")
        << QStringLiteral("200000") << QStringLiteral("1") << false;
}

void tst_Service::notifications()
{
    QFETCH(QString, watchdogUsec);
    QFETCH(QString, watchdogPid);
    QFETCH(bool, fed);

    SupervisorProcess s;
    QVERIFY2(s.isValid(), qPrintable(s.errorString()));
    NotifySocket manager(s.outsidePath(socketName));
    QVERIFY(manager.isValid());
    s.setEnvironment(QStringLiteral("NOTIFY_SOCKET"), s.outsidePath(socketName));
    if (!watchdogUsec.isEmpty())
        s.setEnvironment(QStringLiteral("WATCHDOG_USEC"), watchdogUsec);
    if (!watchdogPid.isEmpty())
        s.setEnvironment(QStringLiteral("WATCHDOG_PID"), watchdogPid);
    QVERIFY(writeFile(s.path(QStringLiteral("update.tgz")),
        gzipCompressed(TarBuilder().file("readme.txt", "hello\n").end().tar())));
    QVERIFY(s.configure(QStringLiteral("[run 1]\nsend update update.tgz\nexit 0\n[run *]\n"), 7));
    QVERIFY(s.start());

    // Ready once the cash application runs, then kept alive every 100 ms, or never.
    QCOMPARE(manager.receive(10000, 1), QList<QByteArray>({ "READY=1" }));
    QVERIFY(s.log().contains(QStringLiteral("INFO; LocalCashServer:LocalCashServer::startProcess; "
                                            "Cash process started successfully")));
    const QList<QByteArray> messages = manager.receive(1000);
    QVERIFY2(fed ? messages.count("WATCHDOG=1") >= 5 : messages.isEmpty(),
        messages.join(' ').constData());

    // An update's restart is the service manager's, and writes no script; outside a service unit
    // it has none to restart, and the old instance carries on after its 5 s, as after a failed
    // script.
    // The manager's end keeps reading, as systemd does: a full socket would block the sender.
    const QString failed =
        QStringLiteral("WARN; LocalCashServer:LocalCashServer::slotBootstrapFailed; "
                       "Не удалось перезапустить собственный процесс.");
    QVERIFY(QTest::qWaitFor(
        [&] {
            static_cast<void>(manager.receive(0));
            return s.log().contains(failed);
        },
        20000));
    const qint64 cash = s.waitForCashRun(2, 5000);
    QVERIFY(cash > 0);
    QVERIFY(!QFileInfo::exists(s.path(QStringLiteral("bootstrap.sh"))));
    QCOMPARE(s.programPids(), QList<qint64>({ s.pid() }));
    // The cash application cannot speak to the service manager in the supervisor's name.
    const QByteArray environment = readFile(QStringLiteral("/proc/%1/environ").arg(cash));
    QVERIFY(environment.contains("PATH="));
    QVERIFY(!environment.contains("NOTIFY_SOCKET="));
    QVERIFY(!environment.contains("WATCHDOG_"));
}

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_service.moc"
