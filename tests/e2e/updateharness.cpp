#include "updateharness.h"

#include "filetree.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QDir>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/mount.h>

namespace {

// The name an entry of tree() stands for: "dir/", "file" of "file=content", "link" of "link->x".
QString entryName(const QString &entry)
{
    if (entry.endsWith(QLatin1Char('/')))
        return entry;
    const int equals = entry.indexOf(QLatin1Char('='));
    const int arrow = entry.indexOf(QLatin1String("->"));
    if (arrow >= 0 && (equals < 0 || arrow < equals))
        return entry.left(arrow);
    return entry.left(equals);
}

QHash<QString, QString> byName(const QStringList &entries)
{
    QHash<QString, QString> names;
    for (const QString &entry : entries)
        names.insert(entryName(entry), entry);
    return names;
}

QString examples(const QStringList &entries)
{
    return entries.isEmpty()
        ? QString()
        : QStringLiteral(" (%1)").arg(entries.mid(0, 3).join(QLatin1String(", ")));
}

// Calls that write only when their flags say so.
bool changes(const QString &name, const QString &line)
{
    if (name != QLatin1String("openat") && name != QLatin1String("open"))
        return true;
    return line.contains(QLatin1String("O_WRONLY")) || line.contains(QLatin1String("O_RDWR"))
        || line.contains(QLatin1String("O_CREAT")) || line.contains(QLatin1String("O_TRUNC"));
}

} // namespace

QStringList installedTree(const QString &dir)
{
    static const QStringList harness = { QStringLiteral("log"), QStringLiteral("bin"),
        QStringLiteral("config.ini"), QStringLiteral("scenario.txt"),
        QStringLiteral("scenario.txt.runs"), QStringLiteral("runs.txt"),
        QStringLiteral("output.txt"), QStringLiteral("systemctl.calls"),
        QStringLiteral("bootstrap.sh") };
    QStringList entries = tree(dir, harness);
    entries.erase(
        std::remove_if(entries.begin(), entries.end(),
            [](const QString &entry) { return entry.startsWith(QLatin1String("backup")); }),
        entries.end());
    return entries;
}

QString treeMixture(const QStringList &actual, const QStringList &old, const QStringList &new_)
{
    const QHash<QString, QString> now = byName(actual);
    const QHash<QString, QString> before = byName(old);
    const QHash<QString, QString> after = byName(new_);
    QStringList names = now.keys() + before.keys() + after.keys();
    names.sort();
    names.removeDuplicates();
    QStringList asOld;
    QStringList asNew;
    QStringList neither;
    QStringList missing;
    for (const QString &name : std::as_const(names)) {
        // An absent entry is as in a tree that lacks it too.
        const QString entry = now.value(name);
        if (entry == before.value(name) && entry == after.value(name))
            continue;
        if (entry == before.value(name))
            asOld << name;
        else if (entry == after.value(name))
            asNew << name;
        else if (entry.isEmpty())
            missing << name;
        else
            neither << entry;
    }
    return QStringLiteral("%1 entries as in the old tree%2, %3 as in the new%4, %5 in neither%6, "
                          "%7 missing%8")
        .arg(asOld.size())
        .arg(examples(asOld))
        .arg(asNew.size())
        .arg(examples(asNew))
        .arg(neither.size())
        .arg(examples(neither))
        .arg(missing.size())
        .arg(examples(missing));
}

QString missingEntries(const QStringList &actual, const QStringList &expected)
{
    QStringList missing;
    for (const QString &entry : expected) {
        if (!actual.contains(entry))
            missing << entry;
    }
    return missing.isEmpty()
        ? QString()
        : QStringLiteral("%1 missing%2").arg(missing.size()).arg(examples(missing));
}

QStringList unexpectedNotices(const QStringList &entries, const QStringList &baseline)
{
    static const QStringList severe = { QStringLiteral("EMRG;"), QStringLiteral("ALRT;"),
        QStringLiteral("CRIT;"), QStringLiteral("ERRR;"), QStringLiteral("WARN;"),
        QStringLiteral("NOTE;") };
    QStringList found;
    for (const QString &entry : entries) {
        if (severe.contains(entry.section(QLatin1Char(' '), 0, 0)) && !baseline.contains(entry))
            found << entry;
    }
    return found;
}

void addFiles(TarBuilder &tar, const QMap<QString, QByteArray> &files)
{
    QStringList made;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QStringList parts = it.key().split(QLatin1Char('/'));
        QString directory;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            directory += parts.at(i) + QLatin1Char('/');
            if (!made.contains(directory)) {
                made << directory;
                tar.directory(directory.toUtf8());
            }
        }
        tar.file(it.key().toUtf8(), it.value());
    }
}

bool copyTree(const QString &from, const QString &to)
{
    return QProcess::execute(
               QStringLiteral("cp"), { QStringLiteral("-a"), from + QStringLiteral("/."), to })
        == 0;
}

int cashpkg(const QStringList &arguments, const QStringList &prefix)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    const QStringList command = prefix + QStringList(QStringLiteral(CASHPKG_PATH)) + arguments;
    if (!prefix.isEmpty()) {
        // LeakSanitizer cannot work under ptrace and would end a traced sanitizer build.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QString options = environment.value(QStringLiteral("ASAN_OPTIONS"));
        if (!options.isEmpty())
            options += QLatin1Char(':');
        environment.insert(
            QStringLiteral("ASAN_OPTIONS"), options + QStringLiteral("detect_leaks=0"));
        process.setProcessEnvironment(environment);
    }
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(120000))
        process.kill();
    process.waitForFinished();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QList<SyscallPoint> fileChanges(const QStringList &arguments, const QString &root)
{
    QTemporaryDir dir;
    const QString trace = dir.filePath(QStringLiteral("trace"));
    const QString calls = QStringLiteral(
        "trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,rename,renameat,"
        "renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,symlink,symlinkat,truncate,"
        "ftruncate,fallocate,fsync,fdatasync,syncfs,sync_file_range,fchmod,fchmodat,chmod,"
        "copy_file_range,sendfile");
    QList<SyscallPoint> points;
    if (!dir.isValid()
        || cashpkg(arguments,
               { QStringLiteral("strace"), QStringLiteral("-qq"), QStringLiteral("-y"),
                   QStringLiteral("-o"), trace, QStringLiteral("-e"), calls, QStringLiteral("--") })
            < 0) {
        return points;
    }
    // A path below root, whether given as an argument or shown for a descriptor.
    const QString below = QRegularExpression::escape(root) + QStringLiteral("[/>\"]");
    const QRegularExpression inside(below);
    QHash<QString, int> counts;
    const QList<QByteArray> lines = readFile(trace).split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw);
        const int paren = line.indexOf(QLatin1Char('('));
        if (paren <= 0 || line.startsWith(QLatin1String("---"))
            || line.startsWith(QLatin1String("+++")))
            continue;
        const QString name = line.left(paren);
        const int ordinal = ++counts[name];
        if (line.contains(inside) && changes(name, line))
            points.append({ name, ordinal, line });
    }
    return points;
}

QStringList atSyscall(const SyscallPoint &point, const QString &action)
{
    return { QStringLiteral("strace"), QStringLiteral("-qq"), QStringLiteral("-o"),
        QStringLiteral("/dev/null"), QStringLiteral("-e"), QStringLiteral("trace=") + point.name,
        QStringLiteral("-e"),
        QStringLiteral("inject=%1:%2:when=%3").arg(point.name, action).arg(point.ordinal),
        QStringLiteral("--") };
}

SmallTmpfs::SmallTmpfs(const QString &dir, qint64 bytes) : dir(dir)
{
    const QString aside = dir + QStringLiteral(".before");
    if (!copyTree(dir, aside)) {
        error = QStringLiteral("cannot copy %1").arg(dir);
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(bytes);
    if (::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, options.constData())
        != 0) {
        error = QStringLiteral("cannot mount a tmpfs on %1: %2")
                    .arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    mounted = true;
    if (!copyTree(aside, dir) || !QDir(aside).removeRecursively()) {
        error = QStringLiteral("cannot move the content of %1 onto the tmpfs").arg(dir);
    }
}

SmallTmpfs::~SmallTmpfs()
{
    // Detached: a process of the test may still have a file open there.
    if (mounted)
        ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
}
