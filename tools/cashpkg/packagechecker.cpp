#include "packagechecker.h"

#include "packagereader.h"
#include "tarrecord.h"
#include "update/entryname.h"
#include "update/pathkey.h"

namespace {

// The placeholder root of a check without a target; it is never looked up on disk.
const QString &virtualTarget()
{
    static const QString path = QDir::rootPath() + QLatin1String("target");
    return path;
}

QString typeName(char flag)
{
    switch (flag) {
    case '\0':
    case '0':
    case '7':
        return QStringLiteral("file");
    case '5':
        return QStringLiteral("directory");
    case '1':
        return QStringLiteral("hard link");
    case '2':
        return QStringLiteral("symbolic link");
    case '3':
        return QStringLiteral("character device");
    case '4':
        return QStringLiteral("block device");
    case '6':
        return QStringLiteral("fifo");
    case 'x':
        return QStringLiteral("pax header");
    case 'g':
        return QStringLiteral("pax global header");
    case 'L':
        return QStringLiteral("GNU long name");
    case 'K':
        return QStringLiteral("GNU long link");
    default:
        return QStringLiteral("type '%1'").arg(QLatin1Char(flag >= ' ' && flag < 127 ? flag : '?'));
    }
}

// What the installer makes of an entry type it does not know: a plain file.
Findings typeFindings(const TarRecord &record, const QString &name, quint64 size)
{
    const char flag = record.typeFlag();
    const QString link = QString::fromUtf8(record.linkName());
    switch (flag) {
    case '\0':
    case '0':
    case '5':
    case '7':
        return Findings();
    case '1':
    case '2':
        return { Finding::error(QStringLiteral("link"),
            QStringLiteral("%1 to '%2' becomes an empty file").arg(typeName(flag), link)) };
    case '3':
    case '4':
    case '6':
        return { Finding::error(QStringLiteral("special-file"),
            QStringLiteral("%1 becomes an empty file").arg(typeName(flag))) };
    case 'x':
    case 'g':
        return { Finding::error(QStringLiteral("pax-header"),
            QStringLiteral("an extension header becomes an ordinary file '%1' of %2 bytes, and "
                           "what it says (long names, times) is lost")
                .arg(name)
                .arg(size)) };
    case 'L':
    case 'K':
        return { Finding::error(QStringLiteral("gnu-long-name"),
            QStringLiteral("a GNU long-name header becomes an ordinary file '%1', and the next "
                           "entry is installed under its name cut to 100 bytes")
                .arg(name)) };
    default:
        return { Finding::error(QStringLiteral("unknown-type"),
            QStringLiteral("an entry of %1 becomes a plain file of %2 bytes")
                .arg(typeName(flag))
                .arg(size)) };
    }
}

// The name an extension header gives the entry after it: a GNU long name is the data itself, a
// pax header holds "length path=name\n" among its records. Empty when it gives none.
QString extendedName(char flag, const QByteArray &data)
{
    if (flag == 'L') {
        const int nul = int(data.indexOf('\0'));
        return QString::fromUtf8(nul < 0 ? data : data.left(nul));
    }
    if (flag != 'x')
        return QString();
    int position = 0;
    while (position < data.size()) {
        const int space = int(data.indexOf(' ', position));
        bool ok = false;
        const int length = space < 0 ? 0 : data.mid(position, space - position).toInt(&ok);
        if (!ok || length <= space - position || position + length > data.size())
            break;
        const QByteArray record = data.mid(space + 1, position + length - space - 2);
        if (record.startsWith("path="))
            return QString::fromUtf8(record.mid(5));
        position += length;
    }
    return QString();
}

QString refusedNameMessage()
{
    return QStringLiteral("the installer refuses this name (absolute, '..', a device name, ':', "
                          "a trailing dot or blank, or a file named like a directory) and writes "
                          "nothing");
}

QString withSlash(const QString &name)
{
    return name.endsWith(QLatin1Char('/')) ? name : name + QLatin1Char('/');
}

} // namespace

int CheckResult::count(Finding::Severity severity) const
{
    int n = 0;
    for (const Finding &finding : findings)
        n += finding.severity == severity ? 1 : 0;
    for (const CheckedEntry &entry : entries) {
        for (const Finding &finding : entry.findings)
            n += finding.severity == severity ? 1 : 0;
    }
    return n;
}

PackageChecker::PackageChecker(const QString &target, const QString &backup)
    : target(target),
      backup(target.isEmpty() ? QString() : backup),
      withTarget(!target.isEmpty()),
      backupsOn(withTarget && !backup.isEmpty()),
      targetDir(withTarget ? target : virtualTarget()),
      backupDir(this->backup),
      tree(withTarget)
{
    // Without a target nothing is known but that the target itself exists.
    if (!withTarget)
        tree.assumeDirectory(targetDir.absolutePath());
}

QString PackageChecker::shown(const QString &path) const
{
    return withTarget ? QDir::toNativeSeparators(path)
                      : QDir(virtualTarget()).relativeFilePath(path);
}

void PackageChecker::stop(CheckedEntry &report, const QString &code, const QString &message)
{
    report.findings.append(Finding::error(code, message));
    stopped = true;
    result.stopIndex = report.index;
    result.stopReason = message;
}

CheckResult PackageChecker::check(const QString &packagePath, const PackageReader &reader)
{
    result = CheckResult();
    result.package = packagePath;
    result.target = target;
    result.backup = backup;
    result.readable = reader.errorString().isEmpty();
    if (!result.readable) {
        const QString message =
            QStringLiteral("the package cannot be opened: %1").arg(reader.errorString());
        result.findings.append(Finding::error(QStringLiteral("unreadable"), message));
        result.stopReason = message;
        return result;
    }
    result.signature = reader.signatureState();
    result.compression = reader.compression();
    result.packageSize = reader.packageSize();
    result.tarSize = reader.tarSize();
    if (result.packageSize > 0 && result.tarSize / result.packageSize > maxCompressionRatio) {
        result.findings.append(Finding::warning(QStringLiteral("compression-ratio"),
            QStringLiteral("the package expands %1 times (%2 bytes to %3): a package this "
                           "compressible is unusual")
                .arg(result.tarSize / result.packageSize)
                .arg(result.packageSize)
                .arg(result.tarSize)));
    }

    // The installer makes the backup root before it even opens the package.
    if (backupsOn && !tree.makePath(backupDir.absolutePath())) {
        const QString message =
            QStringLiteral("the backup directory '%1' cannot be created: a file is in the way")
                .arg(QDir::toNativeSeparators(backup));
        result.findings.append(Finding::error(QStringLiteral("backup-root"), message));
        stopped = true;
        result.stopReason = message;
    }

    const QList<TarWalker::Entry> entries = reader.entries();
    QString pendingName;
    for (const TarWalker::Entry &entry : entries) {
        const TarRecord record(entry.recordBytes());
        CheckedEntry report;
        report.index = entry.index;
        report.name = entry.name();
        report.typeFlag = record.typeFlag();
        report.type = entry.isDirectory() ? typeName('5') : typeName(report.typeFlag);
        report.size = entry.isDirectory() ? 0 : entry.header.size();
        report.findings = typeFindings(record, entry.name(), entry.header.size());

        const QByteArray prefix = record.prefix();
        if (!prefix.isEmpty()) {
            report.findings.append(Finding::error(QStringLiteral("long-name"),
                QStringLiteral("the name is longer than the 100-byte field; the installer ignores "
                               "the prefix '%1' and installs '%2' instead of '%1/%2'")
                    .arg(QString::fromUtf8(prefix), entry.name())));
        }
        if (!pendingName.isEmpty() && pendingName != entry.name()) {
            report.findings.append(Finding::error(QStringLiteral("lost-name"),
                QStringLiteral("its full name '%1' is in the extension header before it, which "
                               "the installer does not read: it is installed as '%2'")
                    .arg(pendingName, entry.name())));
        }
        pendingName = extendedName(report.typeFlag, entry.dataBytes());
        // Extension headers often share one name; they are reported as what they are.
        if (!QByteArray("xgLK").contains(report.typeFlag))
            checkNames(report, entry.isDirectory());
        if (record.nameBytes() != entry.name().toUtf8()) {
            report.findings.append(Finding::warning(QStringLiteral("name-not-utf8"),
                QStringLiteral("the name is not valid UTF-8; it is installed as '%1'")
                    .arg(entry.name())));
        }

        // The installer checks the whole package before it writes anything: a refused entry
        // leaves every entry unreached.
        report.reached = !stopped && reader.isAccepted();
        if (report.reached) {
            simulate(report, entry.isDirectory());
        } else if (!stopped && entry.index == reader.refusedEntry()) {
            stop(report, QStringLiteral("refused-name"),
                isAcceptableEntryName(entry.name(), entry.isDirectory())
                    ? QStringLiteral("a symbolic link stands on its path (or where it names a "
                                     "directory), or it names the installation's journal: the "
                                     "installer refuses the package and writes nothing")
                    : refusedNameMessage());
        } else if (!isAcceptableEntryName(entry.name(), entry.isDirectory())) {
            report.findings.append(
                Finding::error(QStringLiteral("refused-name"), refusedNameMessage()));
        }
        if (entry.isCutShort()) {
            report.findings.append(Finding::error(QStringLiteral("cut-short"),
                QStringLiteral("the package ends inside this file's data: %1 of %2 bytes are "
                               "there")
                    .arg(entry.dataSize)
                    .arg(entry.header.size())));
        }
        result.entries.append(report);
    }

    if (dotSlashNames > 0) {
        result.findings.append(Finding::warning(QStringLiteral("dot-slash"),
            QStringLiteral("%1 name(s) begin with './': the installer takes them as they are, and "
                           "they leave less of the 100-byte name field")
                .arg(dotSlashNames)));
    }
    const Findings problems = reader.problems();
    result.findings.append(problems);
    if (!stopped && !problems.isEmpty()) {
        stopped = true;
        result.stopReason = problems.first().message;
    }
    result.installs = !stopped && reader.isAccepted();
    return result;
}

void PackageChecker::checkNames(CheckedEntry &report, bool isDirectory)
{
    const QString &name = report.name;
    if (name.startsWith(QLatin1String("./")))
        ++dotSlashNames;
    if (name.contains(QLatin1Char('\\'))) {
        report.findings.append(Finding::warning(QStringLiteral("backslash"),
            QStringLiteral("'\\' separates directories on Windows but is part of a file name "
                           "elsewhere")));
    }
    if (!isAcceptableEntryName(name, isDirectory))
        return;

    const QString key = QDir::cleanPath(name);
    const Seen current = { report.index, report.name, isDirectory };
    const auto same = seen.constFind(key);
    if (same != seen.constEnd()) {
        if (same->isDirectory && isDirectory) {
            report.findings.append(Finding::warning(QStringLiteral("duplicate"),
                QStringLiteral("the directory is listed again (first as entry %1)")
                    .arg(same->index)));
        } else if (same->isDirectory || isDirectory) {
            report.findings.append(Finding::error(QStringLiteral("duplicate"),
                QStringLiteral("entry %1 ('%2') names the same path as a %3")
                    .arg(same->index)
                    .arg(same->name,
                        same->isDirectory ? QStringLiteral("directory") : QStringLiteral("file"))));
        } else {
            report.findings.append(Finding::error(QStringLiteral("duplicate"),
                QStringLiteral("the file is listed again (first as entry %1): this copy silently "
                               "replaces the first")
                    .arg(same->index)));
        }
        return;
    }
    seen.insert(key, current);

    const QString folded = key.toLower();
    const auto similar = seenFolded.constFind(folded);
    if (similar != seenFolded.constEnd()) {
        report.findings.append(Finding::error(QStringLiteral("case-clash"),
            QStringLiteral("differs from entry %1 ('%2') only in letter case: on Windows both "
                           "are the same file")
                .arg(similar->index)
                .arg(similar->name)));
        return;
    }
    seenFolded.insert(folded, current);
}

void PackageChecker::simulate(CheckedEntry &report, bool isDirectory)
{
    const QString &name = report.name;
    const QString targetPath = targetDir.absoluteFilePath(name);
    const QString backupPath = backupDir.absoluteFilePath(name);
    if (isDirectory)
        simulateDirectory(report, targetPath, backupPath);
    else
        simulateFile(report, targetPath, backupPath);
}

void PackageChecker::simulateDirectory(
    CheckedEntry &report, const QString &targetPath, const QString &backupPath)
{
    report.actions.append(QStringLiteral("create-directory"));
    listedDirectories.insert(QDir::cleanPath(targetDir.relativeFilePath(targetPath)));
    const SimulatedTree::Kind existing = tree.kind(targetPath);
    if (backupsOn && (existing == SimulatedTree::File || existing == SimulatedTree::Directory)
        && !tree.makePath(backupPath)) {
        stop(report, QStringLiteral("backup-twin"),
            QStringLiteral("its twin '%1' in the backup cannot be created: a file is in the way")
                .arg(shown(backupPath)));
        return;
    }
    if (!tree.makePath(targetPath)) {
        stop(report, QStringLiteral("directory-over-file"),
            QStringLiteral("a file stands at '%1' or on the way to it: the directory cannot be "
                           "created")
                .arg(shown(targetPath)));
    }
}

void PackageChecker::simulateFile(
    CheckedEntry &report, const QString &targetPath, const QString &backupPath)
{
    const SimulatedTree::Kind existing = tree.kind(targetPath);
    const bool exists = existing == SimulatedTree::Directory || existing == SimulatedTree::File;

    // A file this package has written already is overwritten in place, keeping the backup of
    // the version that was there before the package.
    const QString writtenKey = filePathKey(report.name);
    if (backupsOn && exists && !writtenFiles.contains(writtenKey)) {
        report.actions.append(QStringLiteral("back-up-file"));
        const SimulatedTree::Kind previous = tree.kind(backupPath);
        if (previous == SimulatedTree::File) {
            tree.removeFile(backupPath);
        } else if (previous == SimulatedTree::Directory) {
            report.findings.append(Finding::warning(QStringLiteral("previous-backup"),
                QStringLiteral("a directory stands at the backup path '%1': it cannot be "
                               "removed, so the backup fails")
                    .arg(shown(backupPath))));
        }
        const QString backupParent = SimulatedTree::parentOf(backupPath);
        if (!tree.rename(targetPath, backupPath)) {
            const QString reason = tree.kind(backupParent) != SimulatedTree::Directory
                ? QStringLiteral("'%1' does not exist in the backup, since the package lists no "
                                 "directory entry '%2' before this file")
                      .arg(shown(withSlash(backupParent)),
                          withSlash(QDir(targetDir).relativeFilePath(
                              SimulatedTree::parentOf(targetPath))))
                : QStringLiteral("the file cannot be moved into the backup");
            report.findings.append(Finding::warning(QStringLiteral("backup-fails"),
                QStringLiteral("no backup: %1; the file is replaced without one, and its old "
                               "version is removed once the installation is complete")
                    .arg(reason)));
        } else if (existing == SimulatedTree::Directory) {
            report.findings.append(Finding::warning(QStringLiteral("directory-replaced"),
                QStringLiteral("a directory stands here: it is moved into the backup as a whole "
                               "and this file takes its place")));
        } else {
            const QString parent =
                QDir::cleanPath(targetDir.relativeFilePath(SimulatedTree::parentOf(targetPath)));
            if (parent != QLatin1String(".") && !listedDirectories.contains(parent)) {
                report.findings.append(Finding::warning(QStringLiteral("no-directory-entry"),
                    QStringLiteral("the package lists no directory entry '%1': the backup works "
                                   "here only because '%2' is left from an earlier installation; "
                                   "where it is not, the file is overwritten in place")
                        .arg(withSlash(parent), shown(withSlash(backupParent)))));
            }
        }
    }

    report.actions.append(QStringLiteral("write-file"));
    const QString parent = SimulatedTree::parentOf(targetPath);
    const SimulatedTree::Kind parentKind = tree.kind(parent);
    const QString parentName = withSlash(targetDir.relativeFilePath(parent));
    if (parentKind == SimulatedTree::Unknown) {
        report.findings.append(Finding::warning(QStringLiteral("missing-parent"),
            QStringLiteral("needs the directory '%1' in the target: the package does not create "
                           "it")
                .arg(parentName)));
        tree.assumeDirectory(parent);
    } else if (parentKind != SimulatedTree::Directory) {
        stop(report, QStringLiteral("missing-parent"),
            parent == QDir::cleanPath(targetDir.absolutePath())
                ? QStringLiteral("the target directory '%1' does not exist")
                      .arg(QDir::toNativeSeparators(target))
                : QStringLiteral("its directory '%1' is neither in the target nor created "
                                 "earlier in the package")
                      .arg(parentName));
        return;
    }
    if (tree.kind(targetPath) == SimulatedTree::Directory) {
        stop(report, QStringLiteral("file-over-directory"),
            QStringLiteral("a directory stands at '%1': the file cannot be written")
                .arg(shown(targetPath)));
        return;
    }
    tree.addFile(targetPath);
    if (backupsOn)
        writtenFiles.insert(writtenKey);
}
