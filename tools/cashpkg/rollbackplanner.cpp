#include "rollbackplanner.h"

#include "packagereader.h"
#include "update/entryname.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

bool sameContent(const QString &path, const QByteArray &data)
{
    if (QFileInfo(path).size() != data.size())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll() == data;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString parentName(const QString &cleanedName)
{
    const int slash = int(cleanedName.lastIndexOf(QLatin1Char('/')));
    return slash < 0 ? QString() : cleanedName.left(slash);
}

} // namespace

RollbackPlanner::RollbackPlanner(const QString &target, const QString &backup)
    : target(target), backup(backup), targetDir(target), backupDir(backup)
{
}

RollbackStep RollbackPlanner::leave(
    const QString &name, const QString &reason, bool unrestored) const
{
    RollbackStep step;
    step.name = name;
    step.targetPath = targetDir.absoluteFilePath(name);
    step.reason = reason;
    step.unrestored = unrestored;
    return step;
}

bool RollbackPlanner::plan(const PackageReader &reader)
{
    if (!reader.errorString().isEmpty()) {
        error = QStringLiteral("the package cannot be opened: %1").arg(reader.errorString());
        return false;
    }
    if (reader.isUnreadable()) {
        error = QStringLiteral("the package cannot be read: %1")
                    .arg(reader.problems().value(0).message);
        return false;
    }
    if (!QFileInfo(target).isDir()) {
        error = QStringLiteral("the target '%1' is not a directory")
                    .arg(QDir::toNativeSeparators(target));
        return false;
    }
    // Without the backup tree every replaced file would look new and be deleted.
    if (!QFileInfo(backup).isDir()) {
        error = QStringLiteral("the backup directory '%1' does not exist: nothing can be restored")
                    .arg(QDir::toNativeSeparators(backup));
        return false;
    }
    const Findings problems = reader.problems();
    if (!problems.isEmpty()) {
        remarks << QStringLiteral("%1; the installation stopped there, so only what it "
                                  "reached is rolled back")
                       .arg(problems.first().message);
    }

    // The files in the order the installation reached them, each with its copies.
    QList<FileEntry> files;
    QHash<QString, int> fileIndex;
    QStringList directories;
    const QList<TarWalker::Entry> entries = reader.entries();
    for (const TarWalker::Entry &entry : entries) {
        if (!isAcceptableEntryName(entry.name(), entry.isDirectory())) {
            remarks << QStringLiteral("entry %1 ('%2') has a name the installer refuses; it "
                                      "stopped there, so nothing after it is rolled back")
                           .arg(entry.index)
                           .arg(entry.name());
            break;
        }
        const QString key = QDir::cleanPath(entry.name());
        if (entry.isDirectory()) {
            if (!listedDirectories.contains(key))
                directories << key;
            listedDirectories[key] << entry.index;
            continue;
        }
        const auto known = fileIndex.constFind(key);
        if (known == fileIndex.constEnd()) {
            fileIndex.insert(key, int(files.size()));
            files.append({ entry.index, entry.name(), entry.dataBytes(), {} });
        } else {
            FileEntry &file = files[known.value()];
            file.earlier << file.data;
            file.data = entry.dataBytes();
        }
    }

    std::reverse(files.begin(), files.end());
    for (const FileEntry &file : std::as_const(files))
        planFile(file);
    // Deepest first, so that a directory's subdirectories are gone before it is looked at.
    std::stable_sort(
        directories.begin(), directories.end(), [](const QString &a, const QString &b) {
            return a.count(QLatin1Char('/')) > b.count(QLatin1Char('/'));
        });
    for (const QString &directory : std::as_const(directories))
        planDirectory(directory);
    return true;
}

bool RollbackPlanner::isContained(const QString &name) const
{
    return staysWithinTree(target, name) && staysWithinTree(backup, name);
}

bool RollbackPlanner::wasNew(const FileEntry &file, const QString &backupPath) const
{
    // Something other than a file at the backup path made the backup fail.
    if (QFileInfo::exists(backupPath))
        return false;
    // The installer makes the backup root first: a file at the top always got its backup.
    const QString parent = parentName(QDir::cleanPath(file.name));
    if (parent.isEmpty())
        return true;
    // The parent's own entry came first: it either had a twin made then, so the backup worked,
    // or it did not exist before, so neither did the file.
    const QList<int> parentEntries = listedDirectories.value(parent);
    if (!parentEntries.isEmpty() && parentEntries.first() < file.index)
        return true;
    // Otherwise the backup worked only if the parent's twin existed when the file came. It exists
    // now; no directory entry after the file may have made it.
    if (!QFileInfo(QFileInfo(backupPath).absolutePath()).isDir())
        return false;
    const QString below = parent + QLatin1Char('/');
    for (auto it = listedDirectories.constBegin(); it != listedDirectories.constEnd(); ++it) {
        if ((it.key() == parent || it.key().startsWith(below)) && it.value().last() > file.index)
            return false;
    }
    return true;
}

void RollbackPlanner::planFile(const FileEntry &file)
{
    const QString &name = file.name;
    if (!isContained(name)) {
        planned << leave(name,
            QStringLiteral("a symbolic link leads it outside the target or "
                           "the backup; not touched"),
            true);
        return;
    }
    const QString targetPath = targetDir.absoluteFilePath(name);
    const QString backupPath = backupDir.absoluteFilePath(name);
    const QFileInfo current(targetPath);
    const bool hasBackup = QFileInfo(backupPath).isFile();

    RollbackStep step;
    step.name = name;
    step.targetPath = targetPath;
    step.backupPath = backupPath;
    if (current.isSymLink()) {
        planned << leave(name, QStringLiteral("it is a symbolic link now; not touched"), true);
    } else if (current.isDir()) {
        planned << leave(
            name, QStringLiteral("a directory stands where the package wrote a file"), true);
    } else if (!current.exists()) {
        if (hasBackup) {
            step.action = RollbackStep::Restore;
            step.reason = QStringLiteral("it was missing");
            planned << step;
        } else {
            planned << leave(name, QStringLiteral("already absent"), false);
        }
    } else if (sameContent(targetPath, file.data)) {
        if (hasBackup) {
            const QByteArray saved = contentOf(backupPath);
            if (saved == file.data || file.earlier.contains(saved)) {
                planned << leave(name,
                    QStringLiteral("its backup is the package's own copy (was "
                                   "the package installed twice, or does it "
                                   "list the file twice?): the version before "
                                   "is lost"),
                    true);
                return;
            }
            step.action = RollbackStep::Restore;
            planned << step;
        } else if (wasNew(file, backupPath)) {
            step.action = RollbackStep::Remove;
            step.reason = QStringLiteral("new in the package");
            planned << step;
            removed.insert(QDir::cleanPath(targetPath));
        } else {
            planned << leave(name,
                QStringLiteral("no backup, and '%1' in the backup was not there for one when "
                               "the file came (the package has no entry for its directory "
                               "before it): the file may have existed before, so it stays")
                    .arg(QDir::toNativeSeparators(QFileInfo(backupPath).absolutePath())),
                true);
        }
    } else if (hasBackup && sameContent(targetPath, contentOf(backupPath))) {
        planned << leave(name, QStringLiteral("already as in the backup"), false);
    } else if (hasBackup) {
        planned << leave(name,
            QStringLiteral("it differs from the package's copy (changed since, "
                           "or never installed); its backup '%1' is not "
                           "restored")
                .arg(QDir::toNativeSeparators(backupPath)),
            true);
    } else {
        planned << leave(name,
            QStringLiteral("it differs from the package's copy: not installed "
                           "by it"),
            false);
    }
}

bool RollbackPlanner::willBeEmpty(const QString &path) const
{
    const QFileInfoList children = QDir(path).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &child : children) {
        if (!removed.contains(QDir::cleanPath(child.absoluteFilePath())))
            return false;
    }
    return true;
}

void RollbackPlanner::planDirectory(const QString &name)
{
    // The target itself ("./") stays whatever the package says.
    if (name == QLatin1String(".") || !isContained(name))
        return;
    const QString targetPath = QDir::cleanPath(targetDir.absoluteFilePath(name));
    const QFileInfo current(targetPath);
    // A twin in the backup means the directory was there before.
    if (QFileInfo(backupDir.absoluteFilePath(name)).isDir() || current.isSymLink()
        || !current.isDir()) {
        return;
    }
    const QString shownName = name + QLatin1Char('/');
    if (!willBeEmpty(targetPath)) {
        planned << leave(shownName, QStringLiteral("created by the package, but not empty"), false);
        return;
    }
    RollbackStep step;
    step.action = RollbackStep::RemoveDirectory;
    step.name = shownName;
    step.targetPath = targetPath;
    step.reason = QStringLiteral("created by the package");
    planned << step;
    removed.insert(targetPath);
}
