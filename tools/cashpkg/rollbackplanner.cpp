#include "rollbackplanner.h"

#include "packagereader.h"

#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

// The largest file compared byte for byte: what the installer can hold.
constexpr qint64 largestFile = 0x7fffffff;

QString parentName(const QString &cleanedName)
{
    const int slash = int(cleanedName.lastIndexOf(QLatin1Char('/')));
    return slash < 0 ? QString() : cleanedName.left(slash);
}

} // namespace

RollbackPlanner::RollbackPlanner(const QString &target, const QString &backup)
    : target(target),
      backup(backup),
      targetDir(target),
      backupDir(backup),
      targetTree(target),
      backupTree(backup)
{
}

QString RollbackPlanner::asideName(ConfinedTree &tree, const QString &name)
{
    const QString base = QDir::cleanPath(name) + QLatin1String(".before-rollback");
    QString aside = base;
    for (int n = 1; tree.status(aside).kind != ConfinedTree::Missing; ++n)
        aside = base + QLatin1Char('.') + QString::number(n);
    return aside;
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
    // The installer writes nothing of a package it does not accept, so only an accepted package
    // says what an installation changed.
    if (!reader.isAccepted()) {
        const Findings problems = reader.problems();
        error = QStringLiteral("the package is not one the installer would install (%1): it "
                               "cannot have changed the tree")
                    .arg(problems.isEmpty() ? QStringLiteral("a name it refuses")
                                            : problems.first().message);
        return false;
    }

    // The files in the order the installation reached them, each with its copies.
    QList<FileEntry> files;
    QHash<QString, int> fileIndex;
    QStringList directories;
    const QList<TarWalker::Entry> entries = reader.entries();
    for (const TarWalker::Entry &entry : entries) {
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

bool RollbackPlanner::holdsPackageCopy(const FileEntry &file)
{
    QByteArray current;
    return targetTree.status(file.name).kind == ConfinedTree::File
        && targetTree.readFile(file.name, &current, largestFile)
        && (current == file.data || file.earlier.contains(current));
}

bool RollbackPlanner::matchesBackup(const QString &name, ConfinedTree::Kind kind)
{
    if (kind == ConfinedTree::Link) {
        QString link;
        QString saved;
        return targetTree.status(name).kind == ConfinedTree::Link
            && targetTree.readLink(name, &link) && backupTree.readLink(name, &saved)
            && link == saved;
    }
    QByteArray current;
    QByteArray saved;
    return targetTree.status(name).kind == ConfinedTree::File
        && targetTree.readFile(name, &current, largestFile)
        && backupTree.readFile(name, &saved, largestFile) && current == saved;
}

void RollbackPlanner::planFile(const FileEntry &file)
{
    const QString &name = file.name;
    const ConfinedTree::Kind current = targetTree.status(name).kind;
    const ConfinedTree::Kind saved = backupTree.status(name).kind;
    if (current == ConfinedTree::Blocked || saved == ConfinedTree::Blocked) {
        planned << leave(name,
            QStringLiteral("a symbolic link stands on its way in the target or the backup; not "
                           "touched"),
            true);
        return;
    }
    if (current == ConfinedTree::Directory) {
        planned << leave(
            name, QStringLiteral("a directory stands where the package wrote a file"), true);
        return;
    }

    RollbackStep step;
    step.name = name;
    step.targetPath = targetDir.absoluteFilePath(name);
    step.backupPath = backupDir.absoluteFilePath(name);
    if (saved == ConfinedTree::File || saved == ConfinedTree::Link) {
        // Whatever it holds now, the version from before the installation comes back.
        if (matchesBackup(name, saved)) {
            planned << leave(name, QStringLiteral("already as in the backup"), false);
            return;
        }
        step.action = RollbackStep::Restore;
        if (current == ConfinedTree::Missing) {
            step.reason = QStringLiteral("it was missing");
        } else if (!holdsPackageCopy(file)) {
            step.aside = asideName(targetTree, name);
            step.reason = QStringLiteral("it holds neither the package's copy nor the backup");
        }
        planned << step;
        return;
    }
    if (saved != ConfinedTree::Missing) {
        planned << leave(name, QStringLiteral("its backup is not a file"), true);
        return;
    }
    if (current == ConfinedTree::Missing) {
        planned << leave(name, QStringLiteral("already absent"), false);
        return;
    }
    if (!wasNew(file, step.backupPath)) {
        planned << leave(name,
            QStringLiteral("no backup, and '%1' in the backup was not there for one when the "
                           "file came (the package has no entry for its directory before it): the "
                           "file may have existed before, so it stays")
                .arg(QDir::toNativeSeparators(QFileInfo(step.backupPath).absolutePath())),
            true);
        return;
    }
    if (holdsPackageCopy(file)) {
        step.action = RollbackStep::Remove;
        step.reason = QStringLiteral("new in the package");
        removed.insert(QDir::cleanPath(step.targetPath));
    } else {
        step.action = RollbackStep::MoveAside;
        step.aside = asideName(targetTree, name);
        step.reason = QStringLiteral("new in the package, but changed since");
    }
    planned << step;
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
    if (name == QLatin1String("."))
        return;
    const QString targetPath = QDir::cleanPath(targetDir.absoluteFilePath(name));
    const QFileInfo current(targetPath);
    // A twin in the backup means the directory was there before.
    if (backupTree.status(name).kind == ConfinedTree::Directory
        || targetTree.status(name).kind != ConfinedTree::Directory) {
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
