#include "cashsimulator.h"

#include "crash.h"
#include "exitcodes.h"
#include "output.h"
#include "simchannel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

CashSimulator::CashSimulator(int run, QObject *parent)
    : QObject(parent), runNumber(run), channel(std::make_unique<SimChannel>(this))
{
    channel->registerCommand(MAINTENANCE_START_CMD, &CashSimulator::maintenanceStartCmd);
    // Whoever sends us a command gets the answer; the supervisor filters, we need not. Nor do we
    // check the supervisor's user: an administrator's cashsim talks to a service of its own user.
    channel->udp().setAddressFilter(false);
    channel->udp().setSenderCheck(false);
    maintenanceTimer.setSingleShot(true);
    connect(&maintenanceTimer, &QTimer::timeout, this, &CashSimulator::slotMaintenanceWaitOver);
    timeLimit.setSingleShot(true);
    connect(&timeLimit, &QTimer::timeout, this, &CashSimulator::slotTimeLimit);
}

CashSimulator::~CashSimulator() = default;

void CashSimulator::setServer(const QHostAddress &address, quint16 port)
{
    channel->udp().setPeerAddress(address);
    channel->udp().setPeerPort(port);
}

bool CashSimulator::bind(const QHostAddress &address, quint16 port)
{
    if (!channel->udp().bind(
            address, port, QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint)) {
        Output::complain(QStringLiteral("cannot bind UDP %1:%2: %3")
                             .arg(address.toString())
                             .arg(port)
                             .arg(channel->udp().errorString()));
        return false;
    }
    Output::say(
        QStringLiteral("bound to %1:%2").arg(address.toString()).arg(channel->udp().localPort()));
    return true;
}

void CashSimulator::setMaintenanceAnswer(Step::Answer answer)
{
    answerMode = answer;
}

void CashSimulator::setTimeLimit(int seconds)
{
    timeLimitSeconds = seconds;
    if (seconds > 0)
        timeLimit.start(seconds * 1000);
    else
        timeLimit.stop();
}

CashSimulator::Outcome CashSimulator::send(const Step &step)
{
    // Judged by what was read and how long it took: after a failed send the channel keeps the
    // outcome of the command before.
    const int receivedBefore = channel->receivedCount();
    QElapsedTimer clock;
    clock.start();
    bool positive = false;
    if (step.kind == Step::SendRaw) {
        if (channel->udp().send(step.payload)
            && channel->udp().waitForReadyRead(SimChannel::commandTimeoutMs))
            channel->udp().processRead();
    } else {
        positive = channel->processCommand(step.code, step.payload);
    }

    Outcome outcome = Positive;
    if (!positive && channel->receivedCount() > receivedBefore) {
        const int type = IpcChannel::field(channel->lastReceived(), 0);
        if (type == MSG_ACK && step.kind == Step::SendRaw)
            outcome = Positive;
        else if (type == MSG_ACK || type == MSG_NAK)
            outcome = Negative;
        else
            outcome = Unexpected;
    } else if (!positive) {
        outcome = clock.elapsed() >= SimChannel::commandTimeoutMs ? NoAnswer : SendFailed;
    }
    static const char *const texts[] = { "positive answer", "negative answer",
        "no answer within 3000 ms", "send failed", "a datagram that is no answer" };
    Output::say(QStringLiteral("%1: %2").arg(step.source, QLatin1String(texts[outcome])));
    return outcome;
}

void CashSimulator::run(const QList<Step> &scenarioSteps)
{
    steps = scenarioSteps;
    nextStep = 0;
    scheduleNextStep();
}

bool CashSimulator::maintenanceStartCmd(const QByteArray &payload)
{
    Q_UNUSED(payload);
    noteMaintenanceStart();
    const bool positive = answerMode == Step::Ack;
    Output::say(positive ? QStringLiteral("MAINTENANCE_START_CMD: answering positively")
                         : QStringLiteral("MAINTENANCE_START_CMD: answering negatively"));
    return positive;
}

void CashSimulator::noteMaintenanceStart()
{
    if (!waitingForMaintenance) {
        ++maintenanceStarts;
        return;
    }
    waitingForMaintenance = false;
    maintenanceTimer.stop();
    // Queued: the answer to this command goes out before the next step runs.
    scheduleNextStep();
}

QString CashSimulator::commandName(int code)
{
    static const char *const names[] = { "RESTART_CMD", "REBOOT_CMD", "HALT_CMD", "MAINTAINER_CMD",
        "UPDATE_CMD", "MAINTENANCE_START_CMD" };
    if (code >= 0 && code <= MAINTENANCE_START_CMD)
        return QStringLiteral("%1 %2").arg(code).arg(QLatin1String(names[code]));
    return QString::number(code);
}

void CashSimulator::scheduleNextStep()
{
    QTimer::singleShot(0, this, &CashSimulator::slotNextStep);
}

void CashSimulator::slotNextStep()
{
    if (nextStep >= steps.size()) {
        Output::say(timeLimitSeconds > 0
                ? QStringLiteral("no more steps; answering until the time limit")
                : QStringLiteral("no more steps; answering until killed"));
        return;
    }
    const Step step = steps.at(nextStep++);
    Output::say(QStringLiteral("line %1: %2").arg(step.line).arg(step.source));
    switch (step.kind) {
    case Step::Send:
    case Step::SendRaw:
        send(step);
        break;
    case Step::Sleep:
        QTimer::singleShot(step.number, this, &CashSimulator::slotNextStep);
        return;
    case Step::Exit:
        QCoreApplication::exit(step.number);
        return;
    case Step::Crash:
        crashNow();
    case Step::WaitMaintenance:
        if (maintenanceStarts > 0) {
            --maintenanceStarts;
            Output::say(QStringLiteral("MAINTENANCE_START_CMD had come already"));
            break;
        }
        waitingForMaintenance = true;
        if (step.number >= 0)
            maintenanceTimer.start(step.number);
        return;
    case Step::MaintenanceAnswer:
        answerMode = step.answer;
        break;
    case Step::Record:
        record(step.text);
        break;
    case Step::Echo:
        Output::say(step.text);
        break;
    }
    scheduleNextStep();
}

void CashSimulator::slotMaintenanceWaitOver()
{
    waitingForMaintenance = false;
    Output::say(QStringLiteral("no MAINTENANCE_START_CMD in time; exiting with %1")
                    .arg(ExitCode::MaintenanceWait));
    QCoreApplication::exit(ExitCode::MaintenanceWait);
}

void CashSimulator::slotTimeLimit()
{
    Output::say(QStringLiteral("time limit of %1 s reached; exiting with %2")
                    .arg(timeLimitSeconds)
                    .arg(ExitCode::TimeLimit));
    QCoreApplication::exit(ExitCode::TimeLimit);
}

void CashSimulator::record(const QString &path)
{
    const QStringList arguments = QCoreApplication::arguments();
    QString text = QStringLiteral("run %1\npid %2\ncwd %3\nprogram %4\nargs %5\n")
                       .arg(runNumber)
                       .arg(QCoreApplication::applicationPid())
                       .arg(QDir::currentPath(), arguments.value(0))
                       .arg(arguments.size() - 1);
    for (int i = 1; i < arguments.size(); ++i)
        text += QLatin1Char('[') + arguments.at(i) + QStringLiteral("]\n");
    text += QStringLiteral("end\n");

    QFile file(path);
    const QByteArray bytes = text.toUtf8();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(bytes) != bytes.size()
        || !file.flush()) {
        Output::complain(QStringLiteral("cannot record to %1: %2").arg(path, file.errorString()));
        return;
    }
    Output::say(QStringLiteral("recorded to %1").arg(path));
}
