#include "filetree.h"
#include "processutil.h"
#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "updateharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

#include <sys/resource.h>

// The crash test: an update of a few thousand files over an installed tree, interrupted hundreds
// of times at random moments (kill -9 of the supervisor or of cashpkg install) and at chosen
// system calls of the installer (a power cut, as near as a process can see one). Each time the
// tree the cash application starts on, or that cashpkg recover leaves, must be the old tree or the
// new tree byte for byte, the new tree with the whole old versions in the backup tree, and a
// start that had to repair the tree must say so in the log. Rounds: LCS_CRASH_ROUNDS (default
// 240), moments: LCS_CRASH_SEED (printed).
class tst_UpdateCrash : public QObject
{
    Q_OBJECT

public:
    enum Interruption { KillSupervisor, KillCashpkg, PowerCut };
    enum Recovery { SupervisorStart, CashpkgRecover };

private slots:
    void initTestCase();
    void interruptions_data();
    void interruptions();

private:
    struct Round
    {
        QString moment; // for the report
        bool late = false; // the installation was over before the interruption
        QString problem; // empty when the tree came out whole
        QString tree; // "old", "new", "neither" or "unchecked"
    };

    // The old tree again; only the supervisor's and cashsim's files of the last round when the
    // round left the old tree and full is not asked for.
    bool resetTree(bool full = true);
    // The tree before and after the update, and the update: a new build of the supervisor,
    // libraries and data replaced, libraries shipped again unchanged, new files in old and new
    // directories; beside them files no update touches, and the backups of an earlier update.
    bool makeTrees();
    QStringList installArguments() const;
    bool interrupt(Interruption how, double fraction, Round *round);
    // Recovery by a start runs the cash application for the run-th time.
    void recover(Recovery by, int run, Round *round);
    QString judge(const QStringList &tree) const;
    void settleRestart();

    QScopedPointer<SupervisorProcess> s;
    QString oldDir;
    QString package;
    QStringList oldTree;
    QStringList newTree;
    QStringList expectedBackup; // entries of the backup tree after a complete installation
    QStringList cleanStart; // the log of a start with nothing to repair
    qint64 supervisorNs = 0; // processor time of an uninterrupted installation
    qint64 cashpkgNs = 0;
    QList<SyscallPoint> points;
    quint32 seed = 0;
    static constexpr int defaultRounds = 240;
    int rounds = defaultRounds;
    bool treeIsOld = false;
};

namespace {

const int startWait = 15000;
const QString waitingCashApp = QStringLiteral("[run *]\nwait-maintenance 30000\nexit 0\n");

// Content of a file in one version: every file and every version differs, in size too.
QByteArray content(const QString &name, int version)
{
    quint32 hash = 2166136261u ^ quint32(version) * 16777619u;
    for (const QChar c : name)
        hash = (hash ^ c.unicode()) * 16777619u;
    return patternData(int(64 + hash % 2000), hash | 1);
}

QString name(const char *pattern, int a, int b)
{
    return QString::asprintf(pattern, a, b);
}

// The processor time a process has used so far, which measures an installation's progress
// whatever else the machine does; -1 once it has ended.
qint64 cpuNs(qint64 pid)
{
    // An ended process that is not yet reaped still shows its figures.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray state = stat.mid(stat.lastIndexOf(')') + 2, 1);
    if (state.isEmpty() || state == "Z" || state == "X")
        return -1;
    bool ok = false;
    const qint64 ns =
        readFile(QStringLiteral("/proc/%1/schedstat").arg(pid)).split(' ').value(0).toLongLong(&ok);
    return ok ? ns : -1;
}

// Kills pid once it has used ns of processor time, or has idled a while; false when it ended
// before.
bool killAt(qint64 pid, qint64 ns)
{
    QElapsedTimer clock;
    clock.start();
    forever {
        const qint64 used = cpuNs(pid);
        if (used < 0)
            return false;
        if (used >= ns || clock.elapsed() > startWait)
            return killProcess(pid);
        QThread::usleep(100);
    }
}

// Processor time of this test and of the processes it has waited for; those a restart script
// started are not counted.
qint64 processorMs()
{
    qint64 ms = 0;
    for (const int who : { RUSAGE_SELF, RUSAGE_CHILDREN }) {
        rusage usage = {};
        getrusage(who, &usage);
        ms += (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
    }
    return ms;
}

bool writeFiles(const QString &dir, const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(dir + QLatin1Char('/') + it.key(), it.value()))
            return false;
    }
    return true;
}

} // namespace

void tst_UpdateCrash::initTestCase()
{
    bool seeded = false;
    seed = qgetenv("LCS_CRASH_SEED").toUInt(&seeded);
    if (!seeded)
        seed = QRandomGenerator::global()->generate();
    if (qEnvironmentVariableIsSet("LCS_CRASH_ROUNDS"))
        rounds = qMax(5, qEnvironmentVariableIntValue("LCS_CRASH_ROUNDS"));
    qInfo("seed %u (LCS_CRASH_SEED=%u picks the same moments), %d rounds", seed, seed, rounds);
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QFAIL("strace is needed (scripts/deps.sh installs it)");

    s.reset(new SupervisorProcess);
    QVERIFY2(s->isValid(), qPrintable(s->errorString()));
    QVERIFY(makeTrees());

    // Uninterrupted, through the supervisor: how long it takes, and how a start with nothing to
    // repair logs.
    QVERIFY(resetTree());
    QVERIFY(s->configure(
        QStringLiteral("[run 1]\nsend update %1\nexit 0\n").arg(package) + waitingCashApp, 5));
    QVERIFY(s->start());
    QVERIFY(QTest::qWaitFor([&] { return s->log().contains(stoppedForUpdate); }, startWait));
    const qint64 start = cpuNs(s->pid());
    while (!QFileInfo::exists(s->path(QStringLiteral("bootstrap.sh"))) && cpuNs(s->pid()) > 0) {
        supervisorNs = cpuNs(s->pid()) - start;
        QThread::usleep(100);
    }
    QVERIFY(s->waitForCashRun(2, startWait));
    QCOMPARE(installedTree(s->path()), newTree);
    cleanStart = s->log();
    QVERIFY(s->releaseCashApp());
    QVERIFY(QTest::qWaitFor([&] { return s->programPids().isEmpty(); }, startWait));
    QCOMPARE(missingEntries(tree(s->path(QStringLiteral("backup"))), expectedBackup), QString());

    // Through cashpkg, once timed and once traced.
    QVERIFY(resetTree());
    QProcess install;
    install.setStandardOutputFile(QProcess::nullDevice());
    install.start(QStringLiteral(CASHPKG_PATH), installArguments());
    QVERIFY(install.waitForStarted());
    for (qint64 used = 0; used >= 0; used = cpuNs(install.processId())) {
        cashpkgNs = qMax(cashpkgNs, used);
        QThread::usleep(100);
    }
    QVERIFY(install.waitForFinished());
    QCOMPARE(install.exitCode(), 0);
    QCOMPARE(installedTree(s->path()), newTree);
    QVERIFY(resetTree());
    points = fileChanges(installArguments(), s->path());
    QCOMPARE(installedTree(s->path()), newTree);
    QVERIFY2(points.size() > 1000, "strace saw too few changes of the tree");
    qInfo("uninterrupted, in processor time: %lld ms through the supervisor, %lld ms through "
          "cashpkg; %d system calls that change the tree",
        supervisorNs / 1000000, cashpkgNs / 1000000, int(points.size()));
}

bool tst_UpdateCrash::makeTrees()
{
    QMap<QString, QByteArray> old;
    QMap<QString, QByteArray> shipped;
    for (int d = 0; d < 24; ++d) {
        for (int f = 0; f < 40; ++f) {
            const QString library = name("lib/d%02d/f%03d.dll", d, f);
            old.insert(library, content(library, 1));
            if (f % 3 != 2)
                shipped.insert(library, content(library, f % 3 == 0 ? 2 : 1));
            const QString added = name("lib/d%02d/n%03d.dll", d, f);
            if (f < 20)
                shipped.insert(added, content(added, 2));
        }
    }
    for (int d = 0; d < 10; ++d) {
        for (int f = 0; f < 30; ++f) {
            const QString data = name("data/s%02d/r%02d.dat", d, f);
            old.insert(data, content(data, 1));
            if (f % 2 == 0)
                shipped.insert(data, content(data, 2));
        }
    }
    for (int f = 0; f < 100; ++f) {
        const QString kept = QStringLiteral("keep/k%1.txt").arg(f);
        old.insert(kept, content(kept, 1));
    }
    for (int x = 0; x < 10; ++x) {
        for (int f = 0; f < 80; ++f) {
            const QString added =
                name("new/x%02d/y%d/", x, f % 2) + QStringLiteral("z%1.bin").arg(f);
            shipped.insert(added, content(added, 2));
        }
    }
    // Some of them replaced by this update, some not.
    QMap<QString, QByteArray> earlierBackups;
    const QStringList names = old.keys();
    for (int i = 0; i < names.size(); i += 97)
        earlierBackups.insert(QStringLiteral("backup/") + names.at(i), content(names.at(i), 0));

    const QString program = s->programName();
    const QByteArray build = readFile(s->path(program));
    const QByteArray newBuild = build + patternData(65536);
    oldDir = s->outsidePath(QStringLiteral("old"));
    const QString newDir = s->outsidePath(QStringLiteral("new"));
    if (!QDir().mkpath(oldDir)
        || !QFile::copy(s->path(program), oldDir + QLatin1Char('/') + program)
        || !writeFiles(oldDir, old) || !writeFiles(oldDir, earlierBackups)
        || !copyTree(oldDir, newDir) || !writeFiles(newDir, shipped)
        || !writeFile(newDir + QLatin1Char('/') + program, newBuild)) {
        return false;
    }
    oldTree = installedTree(oldDir);
    newTree = installedTree(newDir);

    QByteArray header = TarBuilder::header(program.toUtf8(), quint64(newBuild.size()));
    TarBuilder::setField(header, TarBuilder::Mode, QByteArray("0000755"));
    TarBuilder tar;
    addFiles(tar.entry(header, newBuild), shipped);
    package = s->outsidePath(QStringLiteral("update.tgz"));
    qInfo("package of %d files over a tree of %d", int(shipped.size()) + 1, int(old.size()) + 1);

    // After the update the backup tree holds every replaced file as it was, and keeps the older
    // backups of the files it did not replace.
    expectedBackup = QStringList(program + QLatin1Char('=') + describe(build));
    for (auto it = shipped.cbegin(); it != shipped.cend(); ++it) {
        if (old.contains(it.key()))
            expectedBackup << it.key() + QLatin1Char('=') + describe(old.value(it.key()));
    }
    for (auto it = earlierBackups.cbegin(); it != earlierBackups.cend(); ++it) {
        const QString file = it.key().mid(7);
        if (!shipped.contains(file))
            expectedBackup << file + QLatin1Char('=') + describe(it.value());
    }
    return writeFile(package, gzipCompressed(tar.end().tar(), 1));
}

void tst_UpdateCrash::interruptions_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("by");
    QTest::addColumn<int>("share"); // of the 240 rounds of a default run

    // 200 kills and 40 cuts.
    QTest::newRow("supervisor killed, started again")
        << int(KillSupervisor) << int(SupervisorStart) << 80;
    QTest::newRow("cashpkg install killed, cashpkg recover")
        << int(KillCashpkg) << int(CashpkgRecover) << 90;
    QTest::newRow("cashpkg install killed, supervisor started")
        << int(KillCashpkg) << int(SupervisorStart) << 30;
    QTest::newRow("power cut, cashpkg recover") << int(PowerCut) << int(CashpkgRecover) << 30;
    QTest::newRow("power cut, supervisor started") << int(PowerCut) << int(SupervisorStart) << 10;
}

void tst_UpdateCrash::interruptions()
{
    QFETCH(int, how);
    QFETCH(int, by);
    QFETCH(int, share);

    const int count = qMax(1, rounds * share / defaultRounds);
    const QString scenario = how == KillSupervisor
        ? QStringLiteral("[run 1]\nsend update %1\nexit 0\n").arg(package) + waitingCashApp
        : waitingCashApp;
    QVERIFY(s->configure(scenario, 5));
    QRandomGenerator random(seed + quint32(how * 10 + by));
    QMap<QString, int> trees;
    QStringList problems;
    int late = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuBefore = processorMs();
    for (int i = 0; i < count; ++i) {
        // One moment in each of count equal stretches of the installation.
        const double fraction = (i + random.generateDouble()) / count;
        Round round;
        // A cut at a system call is found by its number: the tree must be the one traced.
        QVERIFY(resetTree(how == PowerCut));
        if (interrupt(Interruption(how), fraction, &round)) {
            recover(Recovery(by), how == KillSupervisor ? 2 : 1, &round);
        } else {
            round.tree = QStringLiteral("unchecked");
            round.problem += QStringLiteral("the installation could not be started");
        }
        s->stop();
        // Whatever the installer keeps beside its backup tree stays for the next round, as it
        // would on a till.
        treeIsOld = round.problem.isEmpty() && round.tree == QLatin1String("old");
        late += round.late ? 1 : 0;
        ++trees[round.tree];
        if (!round.problem.isEmpty())
            problems << QStringLiteral("round %1 (%2): %3").arg(i).arg(round.moment, round.problem);
    }
    QStringList tally;
    for (auto it = trees.cbegin(); it != trees.cend(); ++it)
        tally << QStringLiteral("%1 %2 tree").arg(it.value()).arg(it.key());
    qInfo("%d interruptions in %lld ms (%lld ms of processor time), %d of them after the "
          "installation had ended: %s; %d with a problem",
        count, clock.elapsed(), processorMs() - cpuBefore, late,
        qPrintable(tally.join(QLatin1String(", "))), int(problems.size()));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.mid(0, 8).join(QLatin1Char('\n'))));
}

bool tst_UpdateCrash::interrupt(Interruption how, double fraction, Round *round)
{
    switch (how) {
    case KillSupervisor: {
        if (!s->start())
            return false;
        QElapsedTimer clock;
        clock.start();
        while (!s->log().contains(stoppedForUpdate)) {
            if (clock.elapsed() > startWait)
                return false;
            QThread::usleep(500);
        }
        const qint64 start = cpuNs(s->pid());
        const qint64 at = qint64(fraction * double(supervisorNs));
        round->late = !killAt(s->pid(), start + at);
        round->late |= QFileInfo::exists(s->path(QStringLiteral("bootstrap.sh")));
        s->waitForExit(5000);
        round->moment = QStringLiteral("supervisor killed %1 ms of processor time into the "
                                       "installation")
                            .arg(double(at) / 1e6, 0, 'f', 1);
        settleRestart();
        return true;
    }
    case KillCashpkg: {
        QProcess install;
        install.setStandardOutputFile(QProcess::nullDevice());
        install.start(QStringLiteral(CASHPKG_PATH), installArguments());
        if (!install.waitForStarted())
            return false;
        const qint64 at = qint64(fraction * double(cashpkgNs));
        round->late = !killAt(install.processId(), at);
        install.waitForFinished();
        round->moment = QStringLiteral("cashpkg killed after %1 ms of processor time")
                            .arg(double(at) / 1e6, 0, 'f', 1);
        return true;
    }
    case PowerCut: {
        const SyscallPoint &point =
            points.at(qMin(int(fraction * points.size()), points.size() - 1));
        round->moment = QStringLiteral("cut before %1").arg(point.line.left(160));
        round->late =
            cashpkg(installArguments(), atSyscall(point, QStringLiteral("signal=SIGKILL"))) >= 0;
        return true;
    }
    }
    return false;
}

// A kill after the restart script began leaves the script to end its work: it starts the next
// instance itself, which must not meet one of ours.
void tst_UpdateCrash::settleRestart()
{
    const QString script = s->path(QStringLiteral("bootstrap.sh"));
    // A script the supervisor wrote but never started stays: the next start ignores it.
    static_cast<void>(QTest::qWaitFor([&] { return !QFileInfo::exists(script); }, 3000));
}

void tst_UpdateCrash::recover(Recovery by, int run, Round *round)
{
    QStringList tree;
    if (by == CashpkgRecover) {
        const int status =
            cashpkg({ QStringLiteral("recover"), QStringLiteral("--target"), s->path() });
        tree = installedTree(s->path());
        if (status != 0)
            round->problem = QStringLiteral("cashpkg recover exited with %1; ").arg(status);
    } else {
        const QStringList before = installedTree(s->path());
        const bool repairNeeded = before != oldTree && before != newTree;
        // Unless the restart script has started an instance already.
        if (s->programPids().isEmpty() && !s->start()) {
            round->problem = QStringLiteral("the supervisor could not be started");
            round->tree = QStringLiteral("neither");
            return;
        }
        if (s->waitForCashRun(run, startWait) == 0) {
            round->problem = QStringLiteral("the supervisor did not start the cash application; "
                                            "the tree: %1")
                                 .arg(treeMixture(installedTree(s->path()), oldTree, newTree));
            round->tree = QStringLiteral("neither");
            return;
        }
        // The cash application waits for a word from us: the tree stays as it found it.
        tree = installedTree(s->path());
        if (repairNeeded && unexpectedNotices(s->log(), cleanStart).isEmpty())
            round->problem =
                QStringLiteral("the start found neither tree and logged nothing of it; ");
        static_cast<void>(s->releaseCashApp());
        static_cast<void>(QTest::qWaitFor([&] { return s->programPids().isEmpty(); }, 5000));
    }
    const QString verdict = judge(tree);
    round->tree = verdict.isEmpty()
        ? (tree == oldTree ? QStringLiteral("old") : QStringLiteral("new"))
        : QStringLiteral("neither");
    round->problem += verdict;
}

// Empty when tree is the old tree, or the new one with the old versions in the backup tree.
QString tst_UpdateCrash::judge(const QStringList &tree) const
{
    if (tree == oldTree)
        return QString();
    if (tree == newTree) {
        const QString missing =
            missingEntries(::tree(s->path(QStringLiteral("backup"))), expectedBackup);
        return missing.isEmpty() ? QString() : QStringLiteral("new tree, backups: ") + missing;
    }
    return treeMixture(tree, oldTree, newTree);
}

bool tst_UpdateCrash::resetTree(bool full)
{
    const bool light = treeIsOld && !full;
    static const QStringList kept = { QStringLiteral("bin"), QStringLiteral("config.ini"),
        QStringLiteral("scenario.txt") };
    static const QStringList runState = { QStringLiteral("log"), QStringLiteral("runs.txt"),
        QStringLiteral("scenario.txt.runs"), QStringLiteral("output.txt"),
        QStringLiteral("bootstrap.sh") };
    const QFileInfoList entries = QDir(s->path()).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (kept.contains(entry.fileName()) || (light && !runState.contains(entry.fileName())))
            continue;
        const bool removed = entry.isDir() && !entry.isSymLink()
            ? QDir(entry.filePath()).removeRecursively()
            : QFile::remove(entry.filePath());
        if (!removed)
            return false;
    }
    return light || copyTree(oldDir, s->path());
}

QStringList tst_UpdateCrash::installArguments() const
{
    return { QStringLiteral("install"), package, QStringLiteral("--target"), s->path() };
}

QTEST_GUILESS_MAIN(tst_UpdateCrash)
#include "tst_updatecrash.moc"
