#ifndef CASHSIMULATOR_H
#define CASHSIMULATOR_H

#include "step.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include <memory>

class SimChannel;

// Plays the cash application: answers the supervisor's MAINTENANCE_START_CMD and runs the
// steps of a scenario, one at a time from the event loop, so commands are answered meanwhile.
class CashSimulator : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Positive, Negative, NoAnswer, SendFailed, Unexpected };

    explicit CashSimulator(int run, QObject *parent = nullptr);
    ~CashSimulator() override;

    void setServer(const QHostAddress &address, quint16 port);
    // Prints where it listens, or why it cannot.
    [[nodiscard]] bool bind(const QHostAddress &address, quint16 port);
    void setMaintenanceAnswer(Step::Answer answer);
    Step::Answer maintenanceAnswer() const { return answerMode; }
    // Exits with status 124 after so many seconds; 0 never.
    void setTimeLimit(int seconds);

    // Sends one command and waits up to 3 s for its answer; prints the outcome.
    Outcome send(const Step &step);
    // Runs the steps from the event loop; when they run out, keeps answering.
    void run(const QList<Step> &steps);

    // Handler of MAINTENANCE_START_CMD: true answers it positively.
    bool maintenanceStartCmd(const QByteArray &payload);
    // A MAINTENANCE_START_CMD came, answered or not.
    void noteMaintenanceStart();

    static QString commandName(int code);

private slots:
    void slotNextStep();
    void slotMaintenanceWaitOver();
    void slotTimeLimit();

private:
    void scheduleNextStep();
    void record(const QString &path);

    int runNumber;
    std::unique_ptr<SimChannel> channel;
    Step::Answer answerMode = Step::Ack;
    QList<Step> steps;
    int nextStep = 0;
    int maintenanceStarts = 0;
    bool waitingForMaintenance = false;
    QTimer maintenanceTimer;
    QTimer timeLimit;
    int timeLimitSeconds = 0;
};

#endif // CASHSIMULATOR_H
