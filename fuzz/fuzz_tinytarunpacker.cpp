// A whole installation of arbitrary bytes: the input as the package file, and then the input
// compressed, so that it reaches the tar layer as it stands. The installation goes into a fresh
// target tree holding two links that lead outside it; a sentinel file beside the tree must keep
// its content and time, and nothing may appear beside the target and backup trees. An
// installation that fails must leave both trees exactly as they were, and none may leave its
// journal behind.
#include "fuzzsupport.h"
#include "update/tinytarunpacker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>
#include <zlib.h>

namespace {

const QByteArray sentinelContent = "must never change\n";

struct Layout
{
    QString parent; // holds only the package, the sentinel, the target and the backup tree
    QString package;
    QString sentinel;
    QString target;
    QString backup;
    timespec sentinelTime = {};
};

QString path(const QString &directory, const char *name)
{
    return directory + QLatin1Char('/') + QLatin1String(name);
}

timespec modificationTime(const QString &file)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(file).constData(), &status) != 0)
        fuzzFailure("the sentinel is gone");
    return status.st_mtim;
}

void prepareTarget(const Layout &layout)
{
    // Links a careless installer would write through: to the parent and to the sentinel.
    if (!QDir().mkpath(layout.target)
        || !QFile::link(QStringLiteral(".."), path(layout.target, "up"))
        || !QFile::link(QStringLiteral("../sentinel"), path(layout.target, "sentinel"))) {
        fuzzFailure("cannot prepare the target tree");
    }
}

Layout makeLayout()
{
    Layout layout;
    layout.parent = path(scratchDirectory(), "install");
    layout.package = path(layout.parent, "pkg");
    layout.sentinel = path(layout.parent, "sentinel");
    layout.target = path(layout.parent, "t");
    layout.backup = path(layout.parent, "b");
    if (!QDir().mkpath(layout.parent))
        fuzzFailure("cannot create the installation directory");
    writeScratchFile(layout.sentinel, sentinelContent);
    layout.sentinelTime = modificationTime(layout.sentinel);
    prepareTarget(layout);
    return layout;
}

QByteArray readAll(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every entry below root with what it is: a link with its target, a file with a hash of its bytes.
QStringList snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QString entry = QDir(root).relativeFilePath(path);
        if (info.isSymLink())
            entry += QLatin1String(" -> ") + info.symLinkTarget();
        else if (info.isFile())
            entry += QLatin1Char(' ')
                + QString::fromLatin1(
                    QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha1).toHex());
        entries << entry;
    }
    entries.sort();
    return entries;
}

void checkSurroundings(const Layout &layout, const QByteArray &package)
{
    const QStringList names =
        QDir(layout.parent)
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // The journal (b.journal) is gone once an installation returns, whatever its outcome.
    static const QSet<QString> allowed = { QStringLiteral("pkg"), QStringLiteral("sentinel"),
        QStringLiteral("t"), QStringLiteral("b") };
    for (const QString &name : names) {
        if (!allowed.contains(name))
            fuzzFailure("something was created beside the target and backup trees");
    }
    static const QStringList scratch = { QStringLiteral("install"), QStringLiteral("log") };
    if (QDir(scratchDirectory())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
        != scratch) {
        fuzzFailure("something was created above the installation directory");
    }
    if (readAll(layout.sentinel) != sentinelContent)
        fuzzFailure("the sentinel's content changed");
    const timespec time = modificationTime(layout.sentinel);
    if (time.tv_sec != layout.sentinelTime.tv_sec || time.tv_nsec != layout.sentinelTime.tv_nsec)
        fuzzFailure("the sentinel's time changed");
    if (QFileInfo(path(layout.target, "up")).symLinkTarget() != layout.parent
        || QFileInfo(path(layout.target, "sentinel")).symLinkTarget() != layout.sentinel) {
        fuzzFailure("a link in the target tree was replaced");
    }
    if (readAll(layout.package) != package)
        fuzzFailure("the package file changed");
}

void install(const Layout &layout, const QByteArray &package)
{
    writeScratchFile(layout.package, package);
    const QStringList before = snapshot(layout.target);
    TinyTarUnpacker unpacker(layout.package, layout.target, layout.backup);
    const bool installed = unpacker.unpack();
    checkSurroundings(layout, package);
    if (!installed && (snapshot(layout.target) != before || !snapshot(layout.backup).isEmpty()))
        fuzzFailure("a failed installation left something changed");
    // Links are removed, never followed.
    if (!QDir(layout.target).removeRecursively() || !QDir(layout.backup).removeRecursively())
        fuzzFailure("cannot clear the target and backup trees");
    prepareTarget(layout);
}

QByteArray compressed(const QByteArray &bytes)
{
    uLongf length = compressBound(uLong(bytes.size()));
    QByteArray out(int(length), Qt::Uninitialized);
    if (compress2(reinterpret_cast<Bytef *>(out.data()), &length,
            reinterpret_cast<const Bytef *>(bytes.constData()), uLong(bytes.size()), 1)
        != Z_OK) {
        fuzzFailure("cannot compress the input");
    }
    out.truncate(int(length));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initFuzzing(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Layout layout = makeLayout();
    const QByteArray bytes = fuzzBytes(data, size);
    install(layout, bytes);
    install(layout, compressed(bytes));
    return 0;
}
