#include "filetree.h"
#include "log/log.h"
#include "tarbuilder.h"
#include "testutil.h"
#include "update/tinytarunpacker.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {
// What happens at the watched call numbered trigger.
enum Action { Record, Fail, Kill, Swap };
} // namespace

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// This program's own versions of the calls that change a tree or flush it take the place of the C
// library's for the installer linked into it. While armed they record each call, and the one
// numbered trigger fails with EIO, ends the process as a kill would, or first swaps the target's
// directory d for a link leading outside.
namespace {
bool armed = false;
Action action = Record;
int trigger = 0;
int syncfsError = 0;
QStringList calls;
QString swapRoot; // the temporary directory of the swap

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// False when the call is to fail.
bool pass(const QString &call)
{
    if (!armed)
        return true;
    calls << call;
    if (calls.size() != trigger)
        return true;
    if (action == Kill)
        _exit(3);
    if (action == Swap) {
        armed = false;
        QFile::rename(swapRoot + QStringLiteral("/t/d"), swapRoot + QStringLiteral("/d-moved"));
        QFile::link(QStringLiteral("../outside"), swapRoot + QStringLiteral("/t/d"));
        armed = true;
    }
    if (action != Fail)
        return true;
    errno = EIO;
    return false;
}

QString name(const char *path)
{
    return QFile::decodeName(path);
}
} // namespace

extern "C" int syncfs(int fd) noexcept
{
    if (!pass(QStringLiteral("syncfs")))
        return -1;
    if (syncfsError != 0) {
        errno = syncfsError;
        return -1;
    }
    return real<int (*)(int)>("syncfs")(fd);
}

extern "C" int fdatasync(int fd)
{
    return pass(QStringLiteral("fdatasync")) ? real<int (*)(int)>("fdatasync")(fd) : -1;
}

extern "C" int openat(int directory, const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list arguments;
        va_start(arguments, flags);
        mode = mode_t(va_arg(arguments, int));
        va_end(arguments);
        if (!pass(QStringLiteral("create ") + name(path)))
            return -1;
    }
    return real<int (*)(int, const char *, int, ...)>("openat")(directory, path, flags, mode);
}

extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    return size > 0 && !pass(QStringLiteral("write"))
        ? -1
        : real<ssize_t (*)(int, const void *, size_t)>("write")(fd, data, size);
}

extern "C" int mkdirat(int directory, const char *path, mode_t mode) noexcept
{
    return pass(QStringLiteral("mkdir ") + name(path))
        ? real<int (*)(int, const char *, mode_t)>("mkdirat")(directory, path, mode)
        : -1;
}

extern "C" int unlinkat(int directory, const char *path, int flags) noexcept
{
    return pass(QStringLiteral("unlink ") + name(path))
        ? real<int (*)(int, const char *, int)>("unlinkat")(directory, path, flags)
        : -1;
}

extern "C" int renameat2(
    int fromDirectory, const char *from, int toDirectory, const char *to, unsigned flags) noexcept
{
    return pass(QStringLiteral("rename %1 %2").arg(name(from), name(to)))
        ? real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
            fromDirectory, from, toDirectory, to, flags)
        : -1;
}

extern "C" int renameat(
    int fromDirectory, const char *from, int toDirectory, const char *to) noexcept
{
    return pass(QStringLiteral("rename %1 %2").arg(name(from), name(to)))
        ? real<int (*)(int, const char *, int, const char *)>("renameat")(
            fromDirectory, from, toDirectory, to)
        : -1;
}

extern "C" int linkat(
    int fromDirectory, const char *from, int toDirectory, const char *to, int flags) noexcept
{
    return pass(QStringLiteral("link %1 %2").arg(name(from), name(to)))
        ? real<int (*)(int, const char *, int, const char *, int)>("linkat")(
            fromDirectory, from, toDirectory, to, flags)
        : -1;
}
#endif

namespace {

// A tree with a replaced file whose previous backup exists, a replaced file in a directory the
// package lists, one in a directory it does not list (so that its backup fails), a link the
// package replaces, and a new directory.
const QStringList before = list({ "b/", "b/a=prev-a", "t/", "t/a=old-a", "t/d/", "t/d/f=old-f",
    "t/l->a", "t/s/", "t/s/g=old-g" });
const QStringList after =
    list({ "b/", "b/a=old-a", "b/d/", "b/d/f=old-f", "b/l->a", "t/", "t/a=new-a2", "t/d/",
        "t/d/f=new-f", "t/l=new-l", "t/n/", "t/n/x=new-x", "t/s/", "t/s/g=new-g" });
#ifdef Q_OS_LINUX
// Whether each of the four replaced names holds a whole version, as it must at every moment.
bool replacedNamesWhole(const QStringList &now)
{
    static const QStringList versions = list({ "t/a=old-a", "t/a=new-a1", "t/a=new-a2",
        "t/d/f=old-f", "t/d/f=new-f", "t/l->a", "t/l=new-l", "t/s/g=old-g", "t/s/g=new-g" });
    return std::count_if(now.cbegin(), now.cend(), [](const QString &entry) {
        return versions.contains(entry);
    }) == 4;
}

bool install(const QString &root)
{
    return TinyTarUnpacker(
        root + QStringLiteral("/pkg"), root + QStringLiteral("/t"), root + QStringLiteral("/b"))
        .unpack();
}

bool recover(const QString &root)
{
    return recoverInstallation(root + QStringLiteral("/t"), root + QStringLiteral("/b"));
}

// Installs (or recovers) watched with the action at call n, in a child when the action may end
// the process; its exit status: 0 when done, 1 when it failed, 3 when it was killed.
int watched(const QString &root, Action how, int n = 0, bool recovering = false)
{
    const auto run = [&] {
        calls.clear();
        action = how;
        trigger = n;
        armed = true;
        const bool done = recovering ? recover(root) : install(root);
        armed = false;
        return done ? 0 : 1;
    };
    if (how == Record)
        return run();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(run());
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}
#endif

const QByteArray package = gzipCompressed(TarBuilder()
                                              .directory("d/")
                                              .file("d/f", "new-f")
                                              .file("a", "new-a1")
                                              .directory("n/")
                                              .file("n/x", "new-x")
                                              .file("s/g", "new-g")
                                              .file("l", "new-l")
                                              .file("a", "new-a2")
                                              .end()
                                              .tar());

} // namespace

class tst_DurableInstall : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void flushesInPhases();
    void flushFailure();
    void interruptedAnywhere_data();
    void interruptedAnywhere();
    void recoveryInterrupted();

private:
    QString path(const QString &relative) const { return dir->filePath(relative); }
    bool prepare() const;
    QStringList state() const;

    QScopedPointer<QTemporaryDir> dir;
};

void tst_DurableInstall::init()
{
#ifndef Q_OS_LINUX
    QSKIP("the installer's calls are watched by standing in for the C library's, on Linux");
#endif
    dir.reset(new QTemporaryDir);
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    Log::setDirectory(path(QStringLiteral("log")));
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(Log::Debug);
}

bool tst_DurableInstall::prepare() const
{
    QDir(path(QStringLiteral("t"))).removeRecursively();
    QDir(path(QStringLiteral("b"))).removeRecursively();
    QDir(path(QStringLiteral("d-moved"))).removeRecursively();
    QFile::remove(path(QStringLiteral("b.journal")));
    return makeTree(dir->path(), before) && makeTree(dir->path(), list({ "outside/" }))
        && writeFile(path(QStringLiteral("pkg")), package);
}

QStringList tst_DurableInstall::state() const
{
    // The directory a swapped link would lead into is left out; it must stay empty.
    QStringList now = tree(dir->path(), { QStringLiteral("pkg"), QStringLiteral("log") });
    now.removeOne(QStringLiteral("outside/"));
    return now;
}

void tst_DurableInstall::flushesInPhases()
{
#ifdef Q_OS_LINUX
    QVERIFY(prepare());
    QCOMPARE(watched(dir->path(), Record), 0);
    QCOMPARE(state(), after);

    const auto first = [](const QString &prefix) {
        return int(std::find_if(calls.cbegin(), calls.cend(), [&](const QString &call) {
            return call.startsWith(prefix);
        }) - calls.cbegin());
    };
    const auto last = [](const QString &prefix, int before = -1) {
        for (int i = (before < 0 ? int(calls.size()) : before) - 1; i >= 0; --i) {
            if (calls.at(i).startsWith(prefix))
                return i;
        }
        return -1;
    };
    const auto syncedBetween = [](int from, int to) {
        return calls.mid(from, to - from).contains(QStringLiteral("syncfs"));
    };
    // The journal, flushed, comes before any change to the tree; before it only the staging area
    // beside the tree is written (its directory, and files named by their entries' offsets).
    const int journal = int(calls.indexOf(QStringLiteral("create b.journal")));
    QVERIFY(journal >= 0);
    const QRegularExpression staging(QStringLiteral("^(mkdir b\\.staging|create \\d+|write)$"));
    for (int i = 0; i < journal; ++i)
        QVERIFY2(staging.match(calls.at(i)).hasMatch(), qPrintable(calls.at(i)));
    QVERIFY(first(QStringLiteral("create ")) < journal);
    QVERIFY(calls.indexOf(QStringLiteral("fdatasync"))
        < calls.indexOf(QRegularExpression(QStringLiteral("mkdir (?!b\\.staging).*"))));
    // Every new file is written (or moved from the staging area) and flushed before the first
    // takes its real name, and all of them have their names on the disk before the journal says so.
    const int placed =
        calls.indexOf(QRegularExpression(QStringLiteral("^rename \\..*\\.new [^.]")));
    QVERIFY(placed > 0);
    QVERIFY(last(QStringLiteral("create .")) < placed);
    QVERIFY(syncedBetween(
        std::max(last(QStringLiteral("write"), placed), last(QStringLiteral("rename "), placed)),
        placed));
    QVERIFY(syncedBetween(last(QStringLiteral("rename .")), last(QStringLiteral("fdatasync"))));
    QCOMPARE(calls.count(QStringLiteral("syncfs")), 2);
#endif
}

void tst_DurableInstall::flushFailure()
{
#ifdef Q_OS_LINUX
    // The files are in place and the new program will read them: the restart goes ahead, and the
    // log says, once, that a power cut could still cost them.
    QVERIFY(prepare());
    syncfsError = EIO;
    const bool installed = install(dir->path());
    syncfsError = 0;
    QVERIFY(installed);
    QCOMPARE(state(), after);
    const QStringList lines = logEntries(path(QStringLiteral("log/localserver.log")));
    const QStringList warnings = lines.filter(QStringLiteral("сбросить на диск"));
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings.first().endsWith(QLatin1String("Input/output error")),
        qPrintable(warnings.first()));
#endif
}

void tst_DurableInstall::interruptedAnywhere_data()
{
    QTest::addColumn<int>("interruption");
    QTest::newRow("a failing call, undone by the installer") << int(Fail);
    QTest::newRow("a kill, undone at the next start") << int(Kill);
    QTest::newRow("a directory swapped for a link") << int(Swap);
}

void tst_DurableInstall::interruptedAnywhere()
{
#ifdef Q_OS_LINUX
    QFETCH(int, interruption);
    // How many calls a whole installation makes.
    QVERIFY(prepare());
    QCOMPARE(watched(dir->path(), Record), 0);
    const int total = int(calls.size());
    swapRoot = dir->path();

    for (int n = 1; n <= total; ++n) {
        QVERIFY(prepare());
        const int status = watched(dir->path(), Action(interruption), n);
        QVERIFY(status >= 0);
        const QString at = QStringLiteral("interrupted at call %1 of %2").arg(n).arg(total);
        if (interruption == Swap) {
            // Whatever it did, nothing went through the link.
            QVERIFY2(QDir(path(QStringLiteral("outside"))).isEmpty(), qPrintable(at));
            continue;
        }
        // Never a moment without a whole version of a replaced file (the program, say).
        QVERIFY2(interruption != Kill || replacedNamesWhole(state()),
            qPrintable(at + QLatin1Char('\n') + state().join(QLatin1Char('\n'))));
        // A start after the interruption brings back the tree before, or finishes it; a retry
        // then installs the package as if nothing had happened, backups and all.
        QVERIFY2(recover(dir->path()), qPrintable(at));
        const QStringList recovered = state();
        const QRegularExpression inTarget(QStringLiteral("^t/"));
        // A backup that cannot be made is reported and done without, as it always was.
        const bool installed = recovered == after
            || (interruption == Fail && recovered.filter(inTarget) == after.filter(inTarget));
        QVERIFY2(recovered == before || installed,
            qPrintable(at + QLatin1Char('\n') + recovered.join(QLatin1Char('\n'))));
        // Reported installed only when it is.
        QVERIFY2(status != 0 || installed, qPrintable(at));
        if (!installed) {
            QVERIFY2(install(dir->path()), qPrintable(at));
            QCOMPARE(state(), after);
        }
    }
#endif
}

void tst_DurableInstall::recoveryInterrupted()
{
#ifdef Q_OS_LINUX
    // A kill amid the installation's renames, then another at each call of the recovery that
    // follows: the recovery after that still brings the tree back.
    int n = 1;
    for (;; ++n) {
        QVERIFY(prepare());
        QCOMPARE(watched(dir->path(), Kill, 27), 3);
        if (watched(dir->path(), Kill, n, true) != 3)
            break;
        const QString at = QStringLiteral("recovery killed at call %1").arg(n);
        QVERIFY2(replacedNamesWhole(state()), qPrintable(at));
        QVERIFY2(recover(dir->path()), qPrintable(at));
        QCOMPARE(state(), before);
    }
    QCOMPARE(state(), before);
    QVERIFY2(n > 10, "the recovery was hardly interrupted");
#endif
}

QTEST_GUILESS_MAIN(tst_DurableInstall)
#include "tst_durableinstall.moc"
