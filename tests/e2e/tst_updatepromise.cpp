#include "filetree.h"
#include "supervisorprocess.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "updateharness.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <unistd.h>

// An update either completes or leaves the tree as it was, whatever befalls it: each way we know a
// tree to have been broken, tried against the real programs. The random kills are
// tst_updatecrash's, rollbacks tst_cashpkg's, a directory swapped for a link tst_durableinstall's.
class tst_UpdatePromise : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void damagedPackage_data();
    void damagedPackage();
    void interrupted_data();
    void interrupted();
    void diskFull_data();
    void diskFull();

private:
    // The supervisor's directory holds the tree, with a sentinel outside it.
    QString path(const QString &relative = QString()) const { return s->path(relative); }
    QString package() const { return s->outsidePath(QStringLiteral("update.tgz")); }
    // Makes the sample tree below the supervisor's directory and the sample package beside it.
    bool prepare();
    // The supervisor started with the cash application asking for the package first, when told.
    bool startSupervisor(bool update);
    // Whether the supervisor, started to update, has done so and is still running.
    bool updateOver();
    // The changes of the tree that installing the package makes over entries (a copy of them).
    QList<SyscallPoint> tracedInstall(const QStringList &entries);
    QStringList install() const;

    QScopedPointer<SupervisorProcess> s;
    QStringList before; // installedTree() of the sample tree
    QStringList after; // and after the sample package
    QStringList backups; // what the backup tree must hold after it
};

namespace {

const int startWait = 15000;
const QString installerError = QStringLiteral("ERRR; TinyTarUnpackerPrivate::unpack; ");

// A till's tree: libraries, data, and what an earlier update left in the backup tree.
QStringList sampleTree()
{
    QStringList entries = { QStringLiteral("data/keep.txt=kept"),
        QStringLiteral("backup/lib/f00.dll=older 00"),
        QStringLiteral("backup/data/keep.txt=older") };
    for (int i = 0; i < 40; ++i)
        entries << QStringLiteral("lib/f%1.dll=old %1").arg(i, 2, 10, QLatin1Char('0'));
    return entries;
}

// The update: most libraries replaced, some shipped again unchanged, new files in an old and a
// new directory.
QStringList sampleUpdate()
{
    QStringList entries;
    for (int i = 0; i < 40; ++i) {
        const QString number = QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0'));
        if (i % 4 != 3)
            entries << QStringLiteral("lib/f%1.dll=%2 %1")
                           .arg(number, i % 4 == 1 ? QStringLiteral("old") : QStringLiteral("new"));
        entries << QStringLiteral("lib/n%1.dll=added %1").arg(number);
    }
    for (int i = 0; i < 20; ++i)
        entries << QStringLiteral("plugins/p%1.so=plugin %1").arg(i);
    return entries;
}

QByteArray packageOf(const QStringList &entries)
{
    QMap<QString, QByteArray> files;
    for (const QString &entry : entries)
        files.insert(
            entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1).toUtf8());
    TarBuilder tar;
    addFiles(tar, files);
    return tar.end().tar();
}

} // namespace

void tst_UpdatePromise::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        QFAIL("strace is needed (scripts/deps.sh installs it)");
}

void tst_UpdatePromise::init()
{
    s.reset(new SupervisorProcess);
    QVERIFY2(s->isValid(), qPrintable(s->errorString()));
}

bool tst_UpdatePromise::prepare()
{
    const QString expected = s->outsidePath(QStringLiteral("expected"));
    if (!makeTree(path(), sampleTree()) || !makeTree(expected, sampleTree())
        || !makeTree(expected, sampleUpdate())
        || !QFile::copy(path(s->programName()), expected + QLatin1Char('/') + s->programName())
        || !writeFile(package(), gzipCompressed(packageOf(sampleUpdate())))) {
        return false;
    }
    before = installedTree(path());
    after = installedTree(expected);
    // Every file the update replaced as it was, and the older backup of the one it did not.
    backups = QStringList(QStringLiteral("data/keep.txt=older"));
    const QString shipped = sampleUpdate().join(QLatin1Char('\n'));
    for (const QString &entry : sampleTree()) {
        if (shipped.contains(entry.section(QLatin1Char('='), 0, 0) + QLatin1Char('=')))
            backups << entry;
    }
    return true;
}

QList<SyscallPoint> tst_UpdatePromise::tracedInstall(const QStringList &entries)
{
    const QString copy = s->outsidePath(QStringLiteral("copy"));
    if (!QDir(copy).removeRecursively() || !makeTree(copy, entries))
        return {};
    return fileChanges(
        { QStringLiteral("install"), package(), QStringLiteral("--target"), copy }, copy);
}

bool tst_UpdatePromise::startSupervisor(bool update)
{
    const QString first =
        update ? QStringLiteral("[run 1]\nsend update %1\nexit 0\n").arg(package()) : QString();
    QFile::remove(path(QStringLiteral("runs.txt")));
    QFile::remove(path(QStringLiteral("scenario.txt.runs")));
    return s->configure(first + QStringLiteral("[run *]\nwait-maintenance 30000\nexit 0\n"), 5)
        && s->start();
}

bool tst_UpdatePromise::updateOver()
{
    // The installation holds the event loop: an answer means it is over.
    return s->waitForLog(stoppedForUpdate, startWait)
        && QTest::qWaitFor([&] { return s->answers() || !s->isRunning(); }, startWait)
        && s->isRunning();
}

QStringList tst_UpdatePromise::install() const
{
    return { QStringLiteral("install"), package(), QStringLiteral("--target"), path() };
}

void tst_UpdatePromise::damagedPackage_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("gzip stream cut at 50 %") << QStringLiteral("half");
    QTest::newRow("gzip stream without its 8-byte trailer") << QStringLiteral("trailer");
    QTest::newRow("zlib stream without its Adler-32") << QStringLiteral("adler");
    // Sizes without blocks on disk: a package must never be read whole into memory.
    QTest::newRow("a sparse file of 1 TiB") << QStringLiteral("sparse");
}

void tst_UpdatePromise::damagedPackage()
{
    QFETCH(QString, damage);
    QVERIFY(prepare());
    const QByteArray tar = packageOf(sampleUpdate());
    const QByteArray gz = gzipCompressed(tar);
    if (damage == QLatin1String("half"))
        QVERIFY(writeFile(package(), gz.left(gz.size() / 2)));
    else if (damage == QLatin1String("trailer"))
        QVERIFY(writeFile(package(), gz.chopped(8)));
    else if (damage == QLatin1String("adler"))
        QVERIFY(writeFile(package(), zlibCompressed(tar).chopped(4)));
    else
        QVERIFY(writeFile(package(), QByteArray()) && QFile(package()).resize(qint64(1) << 40));
    // Nothing at all is written: not even the backup tree changes.
    const QStringList whole = tree(path(), { QStringLiteral("bin") });

    QCOMPARE(
        cashpkg({ QStringLiteral("check"), package(), QStringLiteral("--target"), path() }), 1);
    QCOMPARE(cashpkg(install()), 1);
    QCOMPARE(tree(path(), { QStringLiteral("bin") }), whole);

    // The supervisor at the level a till runs at: one error line, and no change.
    QVERIFY(startSupervisor(true));
    QVERIFY2(updateOver(), "the supervisor died");
    QVERIFY(!s->log().filter(installerError).isEmpty());
    QCOMPARE(s->cashRuns(), 1);
    const qint64 peakKb = s->statusKb("VmHWM");
    QVERIFY2(sanitizedBuild || peakKb < 256 * 1024, qPrintable(QString::number(peakKb)));
    QCOMPARE(installedTree(path()), before);
}

void tst_UpdatePromise::interrupted_data()
{
    QTest::addColumn<QString>("resume");
    QTest::addColumn<bool>("completed"); // the tree to expect: after the update, or before it

    QTest::newRow("cashpkg recover") << QStringLiteral("recover") << false;
    QTest::newRow("supervisor started") << QStringLiteral("start") << false;
    // The backups of the first attempt hold what was there before the update: a retry keeps them.
    QTest::newRow("cashpkg install again") << QStringLiteral("install") << true;
    QTest::newRow("update command sent again after the restart")
        << QStringLiteral("resend") << true;
}

void tst_UpdatePromise::interrupted()
{
    QFETCH(QString, resume);
    QFETCH(bool, completed);

    QVERIFY(prepare());
    // How a start with nothing to repair logs.
    QVERIFY(startSupervisor(false));
    QVERIFY(s->waitForCashRun(1, startWait));
    const QStringList cleanStart = s->log();
    QVERIFY(s->releaseCashApp());
    QVERIFY(QTest::qWaitFor([&] { return s->programPids().isEmpty(); }, startWait));
    s->stop();
    QVERIFY(QDir(path(QStringLiteral("log"))).removeRecursively());

    // Killed half way through its changes of the tree.
    const QList<SyscallPoint> points = tracedInstall(sampleTree());
    QVERIFY(points.size() > 100);
    const SyscallPoint half = points.at(points.size() / 2);
    QCOMPARE(cashpkg(install(), atSyscall(half, QStringLiteral("signal=SIGKILL"))), -1);
    const QStringList cut = installedTree(path());

    if (resume == QLatin1String("recover")) {
        QCOMPARE(cashpkg({ QStringLiteral("recover"), QStringLiteral("--target"), path() }), 0);
    } else if (resume == QLatin1String("install")) {
        QCOMPARE(cashpkg(install()), 0);
    } else {
        // A resent update restarts the supervisor, whose first log is then rotated away.
        const bool resend = resume == QLatin1String("resend");
        QVERIFY(startSupervisor(resend));
        QVERIFY(s->waitForCashRun(resend ? 2 : 1, startWait));
        if (!resend && cut != before && cut != after)
            QVERIFY2(!unexpectedNotices(s->log(), cleanStart).isEmpty(),
                "the start found neither tree and logged nothing of it");
    }
    const QStringList tree = installedTree(path());
    QVERIFY2(tree == (completed ? after : before),
        qPrintable(
            treeMixture(tree, before, after) + QLatin1Char('\n') + tree.join(QLatin1Char('\n'))));
    if (completed)
        QCOMPARE(missingEntries(::tree(path(QStringLiteral("backup"))), backups), QString());
}

void tst_UpdatePromise::diskFull_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("write fails half way (ENOSPC)") << QStringLiteral("enospc");
    QTest::newRow("small file system, new files") << QStringLiteral("files");
    QTest::newRow("small file system, the supervisor's new program") << QStringLiteral("program");
}

void tst_UpdatePromise::diskFull()
{
    QFETCH(QString, how);
    if (how != QLatin1String("enospc") && ::geteuid() != 0)
        QSKIP("mounting a small file system needs the administrator");

    QVERIFY(prepare());
    if (how == QLatin1String("enospc")) {
        QList<SyscallPoint> writes;
        for (const SyscallPoint &point : tracedInstall(sampleTree())) {
            if (point.name == QLatin1String("write"))
                writes << point;
        }
        QVERIFY(writes.size() > 10);
        // A full disk stays full: every write from there on fails, those of the staging area
        // (which the installer survives by writing the files itself) and the installer's own.
        QStringList full = atSyscall(writes.at(writes.size() / 2), QStringLiteral("error=ENOSPC"));
        full.replaceInStrings(
            QRegularExpression(QStringLiteral("when=(\\d+)$")), QStringLiteral("when=\\1+"));
        QCOMPARE(cashpkg(install(), full), 1);
        QCOMPARE(installedTree(path()), before);
        return;
    }

    // Room for the program, the small files and not quite two mebibytes more.
    const QByteArray build = readFile(path(s->programName()));
    SmallTmpfs small(path(), build.size() + (2 << 20));
    QVERIFY2(small.isMounted() && small.errorString().isEmpty(), qPrintable(small.errorString()));
    const QStringList whole = installedTree(path());

    if (how == QLatin1String("files")) {
        TarBuilder tar;
        tar.file("lib/f00.dll", "new 00").directory("media/");
        for (int i = 0; i < 8; ++i)
            tar.file("media/clip" + QByteArray::number(i), patternData(384 << 10));
        QVERIFY(
            writeFile(package(), gzipCompressed(tar.file("lib/f01.dll", "new 01").end().tar())));
        QCOMPARE(cashpkg(install()), 1);
        QCOMPARE(installedTree(path()), whole);
        return;
    }

    QByteArray header =
        TarBuilder::header(s->programName().toUtf8(), quint64(build.size()) + (1 << 20));
    TarBuilder::setField(header, TarBuilder::Mode, QByteArray("0000755"));
    QVERIFY(writeFile(package(),
        gzipCompressed(TarBuilder()
                           .file("lib/f00.dll", "new 00")
                           .entry(header, build + patternData(1 << 20))
                           .file("lib/f01.dll", "new 01")
                           .end()
                           .tar())));
    QVERIFY(startSupervisor(true));
    QVERIFY2(updateOver(), "the supervisor died");
    QCOMPARE(installedTree(path()), whole);
    // And the program so kept still runs the till.
    s->stop();
    QVERIFY(startSupervisor(false));
    QVERIFY(s->waitForCashRun(1, startWait));
}

QTEST_GUILESS_MAIN(tst_UpdatePromise)
#include "tst_updatepromise.moc"
