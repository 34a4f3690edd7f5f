#include "ipc/interprocesschannel.h"
#include "testutil.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

// The supervisor's side of the protocol, under the supervisor's class name.
class RecordingOwner : public QObject
{
    Q_OBJECT

public:
    using Call = QPair<int, QByteArray>;

    bool restartCmd(const QByteArray &data) { return note(RESTART_CMD, data); }
    bool rebootCmd(const QByteArray &data) { return note(REBOOT_CMD, data); }
    bool haltCmd(const QByteArray &data) { return note(HALT_CMD, data); }
    bool maintainerCmd(const QByteArray &data) { return note(MAINTAINER_CMD, data); }
    bool updateCmd(const QByteArray &data) { return note(UPDATE_CMD, data); }

    QList<Call> calls;

private:
    bool note(int code, const QByteArray &data)
    {
        calls.append(Call(code, data));
        return true;
    }
};

namespace {

using Calls = QList<RecordingOwner::Call>;
using Call = RecordingOwner::Call;

// The supervisor's commands, each recorded by the owner.
class WireChannel : public InterProcessChannel<RecordingOwner>
{
public:
    explicit WireChannel(RecordingOwner *owner) : InterProcessChannel<RecordingOwner>(owner)
    {
        registerCommand(RESTART_CMD, &RecordingOwner::restartCmd);
        registerCommand(REBOOT_CMD, &RecordingOwner::rebootCmd);
        registerCommand(HALT_CMD, &RecordingOwner::haltCmd);
        registerCommand(MAINTAINER_CMD, &RecordingOwner::maintainerCmd);
        registerCommand(UPDATE_CMD, &RecordingOwner::updateCmd);
    }
};

// A cashsim process that the test always ends.
class Cashsim : public QProcess
{
public:
    ~Cashsim() override
    {
        if (state() != QProcess::NotRunning) {
            kill();
            waitForFinished();
        }
    }

    void start(const QStringList &arguments)
    {
        QProcess::start(QStringLiteral(CASHSIM_PATH), arguments, QIODevice::ReadOnly);
    }

    QString output()
    {
        out += QString::fromUtf8(readAllStandardOutput());
        return out;
    }

    QString errors()
    {
        err += QString::fromUtf8(readAllStandardError());
        return err;
    }

    bool finishes(int exitCode)
    {
        if (!QTest::qWaitFor([&]() { return state() == QProcess::NotRunning; }, 30000))
            return false;
        output();
        errors();
        return exitStatus() == QProcess::NormalExit && this->exitCode() == exitCode;
    }

private:
    QString out;
    QString err;
};

} // namespace

class tst_Cashsim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void client_data();
    void client();
    void childFailures_data();
    void childFailures();

private:
    QString writeScenario(const QByteArray &text);
    QStringList childArguments(const QString &scenario) const;

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<RecordingOwner> server;
    QScopedPointer<WireChannel> channel;
};

void tst_Cashsim::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    server.reset(new RecordingOwner);
    channel.reset(new WireChannel(server.data()));
    QVERIFY(channel->bind(0));
    channel->udp().setPeerAddress(QHostAddress::LocalHost);
}

QString tst_Cashsim::writeScenario(const QByteArray &text)
{
    const QString path = dir->filePath(QStringLiteral("scenario.txt"));
    return writeFile(path, text) ? path : QString();
}

QStringList tst_Cashsim::childArguments(const QString &scenario) const
{
    return { QStringLiteral("--scenario"), scenario, QStringLiteral("--cash-port"),
        QStringLiteral("0"), QStringLiteral("--server-port"),
        QString::number(channel->udp().localPort()), QStringLiteral("--time-limit"),
        QStringLiteral("60") };
}

void tst_Cashsim::client_data()
{
    QTest::addColumn<QStringList>("arguments"); // {port}: the server's port
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");
    QTest::addColumn<Calls>("calls");

    const QString port = QStringLiteral("{port}");
    auto args = [&](const char *command) {
        return QString::fromLatin1(command).split(QLatin1Char(' '))
            << QStringLiteral("--server-port") << port;
    };
    QTest::newRow("restart") << args("send restart") << 0
                             << QStringLiteral("send restart: positive answer")
                             << Calls({ Call(0, "") });
    QTest::newRow("update") << args("send update pkg/u.tgz") << 0
                            << QStringLiteral("send update pkg/u.tgz: positive answer")
                            << Calls({ Call(4, "pkg/u.tgz") });
    QTest::newRow("raw halt") << args("send raw 00000002") << 0
                              << QStringLiteral("send raw 00000002: positive answer")
                              << Calls({ Call(2, "") });
    QTest::newRow("code without handler")
        << args("send code 7") << 1 << QStringLiteral("send code 7: negative answer") << Calls();
    QTest::newRow("nobody answers")
        << args("send halt").replaceInStrings(port, QStringLiteral("{silent}")) << 4
        << QStringLiteral("send halt: no answer within 3000 ms") << Calls();
    QTest::newRow("send fails") << (args("send halt")
        << QStringLiteral("--bind-address=127.0.0.1")
        << QStringLiteral("--server-address=192.0.2.1"))
                                << 5 << QStringLiteral("send halt: send failed") << Calls();
    QTest::newRow("unknown command") << args("send bogus") << 2 << QString() << Calls();
    QTest::newRow("unknown option")
        << (args("send halt") << QStringLiteral("--loud")) << 2 << QString() << Calls();
}

void tst_Cashsim::client()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QFETCH(Calls, calls);

    QUdpSocket silent;
    QVERIFY(silent.bind(QHostAddress(QHostAddress::LocalHost), 0));
    arguments.replaceInStrings(
        QStringLiteral("{port}"), QString::number(channel->udp().localPort()));
    arguments.replaceInStrings(QStringLiteral("{silent}"), QString::number(silent.localPort()));

    Cashsim sim;
    sim.start(arguments);
    QVERIFY2(sim.finishes(exitCode), qPrintable(sim.output() + sim.errors()));
    if (!line.isEmpty())
        QVERIFY2(sim.output().contains(line), qPrintable(sim.output()));
    else
        QVERIFY2(sim.errors().contains(QLatin1String("cashsim --help")), qPrintable(sim.errors()));
    QCOMPARE(server->calls, calls);
}

void tst_Cashsim::childFailures_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QStringList>("options"); // placed after the defaults, so they win
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("time limit") << QByteArray(
        "echo idle\n") << QStringList({ QStringLiteral("--time-limit"), QStringLiteral("1") })
                                << 124 << QStringLiteral("time limit of 1 s reached");
    QTest::newRow("no maintenance notice")
        << QByteArray("wait-maintenance 100\nexit 0\n") << QStringList() << 125
        << QStringLiteral("no MAINTENANCE_START_CMD in time");
    QTest::newRow("bad step") << QByteArray("send restart\nfly away\n") << QStringList() << 2
                              << QStringLiteral("line 2: unknown or incomplete step 'fly away'");
    QTest::newRow("missing scenario")
        << QByteArray()
        << QStringList({ QStringLiteral("--scenario"), QStringLiteral("{dir}/none.txt") }) << 2
        << QStringLiteral("cannot read scenario");
    QTest::newRow("cash port taken")
        << QByteArray("exit 0\n")
        << QStringList({ QStringLiteral("--cash-port"), QStringLiteral("{taken}") }) << 3
        << QStringLiteral("cannot bind UDP 0.0.0.0:");
}

void tst_Cashsim::childFailures()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress));
    options.replaceInStrings(QStringLiteral("{taken}"), QString::number(holder.localPort()));
    options.replaceInStrings(QStringLiteral("{dir}"), dir->path());

    Cashsim sim;
    sim.start(childArguments(writeScenario(scenario)) + options);
    QVERIFY2(sim.finishes(exitCode), qPrintable(sim.output() + sim.errors()));
    QVERIFY2(
        (sim.output() + sim.errors()).contains(message), qPrintable(sim.output() + sim.errors()));
}

QTEST_GUILESS_MAIN(tst_Cashsim)
#include "tst_cashsim.moc"
