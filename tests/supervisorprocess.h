#ifndef SUPERVISORPROCESS_H
#define SUPERVISORPROCESS_H

#include "testutil.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The real supervisor for tests that drive it from outside: a copy under a unique file name in a
// temporary directory (its restart script kills every process of its file name), with the DLLs
// installed beside the program it copies (tests run from a package), cashsim as its
// cash application, free UDP ports and a fake systemctl first in PATH. Every process it knows of
// is ended by its pid when the object goes: the supervisor and any instance it restarted, and each
// cash application the supervisor started (cashsim records its pid).
class SupervisorProcess
{
public:
    SupervisorProcess();
    ~SupervisorProcess();

    // Whether the programs were copied and the ports found; errorString() says why not.
    bool isValid() const { return error.isEmpty(); }
    QString errorString() const { return error; }

    // Paths below the program's directory; the directory is canonical, as the program sees it.
    QString path(const QString &relative = QString()) const;
    // Paths in the temporary directory that holds the program's directory.
    QString outsidePath(const QString &relative) const;
    QString programName() const;
    quint16 serverPort() const { return server; }
    quint16 cashPort() const { return cash; }
    // The options that point cashsim to the scenario and the ports, for ProgrammArguments.
    QString cashOptions() const;

    // Writes config.ini for cashsim running the scenario text (each start recorded first) and
    // the given log level; extra is appended, so its keys override those written before.
    bool configure(const QString &scenario, int logLevel, const QString &extra = QString());

    // The fake systemctl records its arguments and exits with this status (at first 1: refused).
    bool setSystemctl(int status);
    QStringList systemctlCalls() const;

    // An environment variable for the supervisor, on top of this process's own and PATH.
    void setEnvironment(const QString &name, const QString &value) { extra.insert(name, value); }
    // Before start(): makes the restart script after an update run but neither end this instance
    // nor start a new one, in the way this platform's script can fail.
    bool preventSelfRestart();
    // Before start(): makes the restart script after an update take 7 s before it ends this
    // instance, well after the supervisor's 5 s fall-back.
    bool slowSelfRestart();

    bool start(const QStringList &arguments = QStringList());
    // Ends, by their pids, every process the object knows of (see the class), as its end does.
    void stop();
    qint64 pid() const { return supervisorPid; }
    bool isRunning() const;
    // The exit code after a normal exit within msecs; -1 otherwise.
    int waitForExit(int msecs);

    // The pid of the cash application's n-th start, once cashsim has recorded it; 0 otherwise,
    // and at once when no instance of the program has run for half a second.
    qint64 waitForCashRun(int run, int msecs);
    int cashRuns() const;
    // What cashsim recorded at each start: "run N", "pid", "cwd", "args N", "[argument]", "end".
    QStringList cashRecord() const;
    // Pids of every process running a file of programName(): the supervisor and its successors.
    QList<qint64> programPids() const;

    // The log as "LABEL; where; text" entries.
    QStringList log() const;
    // Whether an entry containing text appears within msecs.
    bool waitForLog(const QString &text, int msecs);

    // Sends one datagram from 127.0.0.1 to the supervisor; the answer, or empty after msecs.
    QByteArray send(const QByteArray &datagram, int msecs = 3000) const;
    // Whether the supervisor still answers: an unknown command changes nothing and is refused.
    bool answers() const;
    // Lets a cashsim waiting in "wait-maintenance" go on to its next step.
    bool releaseCashApp() const;

    // A field of the program's /proc/PID/status in kB (VmRSS, VmHWM); -1 when unknown.
    qint64 statusKb(const QByteArray &field) const;
    // The processor time the program has used so far, in ms; -1 when unknown.
    qint64 cpuMs() const;

    // The expected entries must appear in this order among entries ("*" at the end of one stands
    // for any rest); returns the first one missing, or an empty string.
    static QString missingInOrder(const QStringList &entries, const QStringList &expected);

private:
    QList<qint64> cashPids() const;

    QScopedPointer<QTemporaryDir> dir;
    QString directory;
    QString program;
    QString error;
    quint16 server = 0;
    quint16 cash = 0;
    QProcess process;
    QProcessEnvironment extra;
    qint64 supervisorPid = 0;
};

#define VERIFY_IN_ORDER(entries, expected)                                                         \
    do {                                                                                           \
        const QString missing = SupervisorProcess::missingInOrder(entries, expected);              \
        QVERIFY2(missing.isEmpty(),                                                                \
            qPrintable(QStringLiteral("missing: %1\nlog:\n%2")                                     \
                           .arg(missing, QStringList(entries).join(QLatin1Char('\n')))));          \
    } while (false)

#endif // SUPERVISORPROCESS_H
