#include "recordingowner.h"
#include "testutil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The simulated cash application against the supervisor's side of the protocol: as a client that
// sends one command, and as a cash application that runs a scenario.
class tst_Cashsim : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
};

void tst_Cashsim::run_data()
{
    QTest::addColumn<QByteArray>("scenario"); // null: a client command instead
    // Placed after the defaults, so they win. {port}: the channel's port, {silent}: a socket
    // that never answers, {taken}: a port in use, {dir}: a temporary directory.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // contained in what it printed
    QTest::addColumn<Calls>("calls");

    const auto client = [](const char *name, const char *arguments, int exitCode,
                            const char *output, const Calls &calls = Calls()) {
        QTest::newRow(name) << QByteArray() << QString::fromLatin1(arguments) << exitCode
                            << QString::fromLatin1(output) << calls;
    };
    const QString usage = QStringLiteral("cashsim --help");
    client("restart", "send restart", 0, "send restart: positive answer", { Call(0, "") });
    client("update", "send update pkg/u.tgz", 0, "send update pkg/u.tgz: positive answer",
        { Call(4, "pkg/u.tgz") });
    client(
        "raw halt", "send raw 00000002", 0, "send raw 00000002: positive answer", { Call(2, "") });
    client("code without handler", "send code 7", 1, "send code 7: negative answer");
    client("nobody answers", "send halt --server-port {silent}", 4,
        "send halt: no answer within 3000 ms");
    client("send fails", "send halt --bind-address=127.0.0.1 --server-address=192.0.2.1", 5,
        "send halt: send failed");
    client("unknown command", "send bogus", 2, "cashsim --help");
    client("unknown option", "send halt --loud", 2, "cashsim --help");

    const auto child = [](const char *name, const char *scenario, const char *arguments,
                           int exitCode, const char *output) {
        QTest::newRow(name) << QByteArray(scenario) << QString::fromLatin1(arguments) << exitCode
                            << QString::fromLatin1(output) << Calls();
    };
    child("time limit", "echo idle\n", "--time-limit 1", 124, "time limit of 1 s reached");
    child("no maintenance notice", "wait-maintenance 100\nexit 0\n", "", 125,
        "no MAINTENANCE_START_CMD in time");
    child("bad step", "send restart\nfly away\n", "", 2,
        "line 2: unknown or incomplete step 'fly away'");
    child("missing scenario", "", "--scenario {dir}/none.txt", 2, "cannot read scenario");
    child("cash port taken", "exit 0\n", "--cash-port {taken}", 3, "cannot bind UDP 0.0.0.0:");
}

void tst_Cashsim::run()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(Calls, calls);

    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    RecordingOwner server;
    InterProcessChannel<RecordingOwner> channel(&server);
    server.registerWith(channel);
    QVERIFY(channel.bind(0));
    QUdpSocket silent;
    QVERIFY(silent.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));

    QString defaults = QStringLiteral("--server-port {port}");
    if (!scenario.isNull()) {
        const QString path = dir.filePath(QStringLiteral("scenario.txt"));
        QVERIFY(writeFile(path, scenario));
        defaults += QStringLiteral(" --scenario %1 --cash-port 0 --time-limit 60").arg(path);
    }
    QString line = defaults + QLatin1Char(' ') + arguments;
    line.replace(QLatin1String("{port}"), QString::number(channel.udp().localPort()))
        .replace(QLatin1String("{silent}"), QString::number(silent.localPort()))
        .replace(QLatin1String("{taken}"), QString::number(holder.localPort()))
        .replace(QLatin1String("{dir}"), dir.path());
    QProcess sim;
    sim.setProcessChannelMode(QProcess::MergedChannels);
    sim.start(QStringLiteral(CASHSIM_PATH), line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QString printed;
    const bool ended = QTest::qWaitFor(
        [&] {
            printed += QString::fromUtf8(sim.readAll());
            return sim.state() == QProcess::NotRunning;
        },
        30000);
    printed += QString::fromUtf8(sim.readAll());
    if (!ended) {
        sim.kill();
        sim.waitForFinished();
    }
    QVERIFY2(ended && sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == exitCode,
        qPrintable(printed));
    QVERIFY2(printed.contains(output), qPrintable(printed));
    QCOMPARE(server.calls, calls);
}

QTEST_GUILESS_MAIN(tst_Cashsim)
#include "tst_cashsim.moc"
