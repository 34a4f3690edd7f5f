#include "packageverifier.h"

#include "confinedtree.h"
#include "entryname.h"
#include "installjournal.h"
#include "pathkey.h"
#include "stagingarea.h"

#include <QDir>

#include <memory>

namespace {

// What a file costs on a disk beyond its bytes, and what it occupies at least: one block.
constexpr qint64 blockSize = 4096;

// Room to spare: a megabyte, and a thirty-second of what is written, for what no estimate sees
// (directories, the journal, another program writing meanwhile).
qint64 withMargin(qint64 needed)
{
    return needed + needed / 32 + (qint64(1) << 20);
}

} // namespace

qint64 PackageVerifier::diskCost(qint64 size)
{
    return (size + blockSize - 1) / blockSize * blockSize + blockSize;
}

bool PackageVerifier::fitsWithMargin(qint64 needed, qint64 available)
{
    return needed == 0 || available < 0 || available >= withMargin(needed);
}

void PackageVerifier::assumeAvailableSpace(qint64 target, qint64 backup)
{
    spaceAssumed = true;
    assumedTargetSpace = target;
    assumedBackupSpace = backup;
}

qint64 PackageVerifier::availableSpace(ConfinedTree &tree, bool isBackup) const
{
    if (spaceAssumed)
        return isBackup ? assumedBackupSpace : assumedTargetSpace;
    return tree.availableSpace();
}

PackageVerifier::PackageVerifier(const QString &target, const QString &backup)
    : target(target), backup(target.isEmpty() ? QString() : backup)
{
}

bool PackageVerifier::fail(Problem problem, int index)
{
    found = problem;
    entryIndex = index;
    return false;
}

bool PackageVerifier::verify(const QByteArray &package)
{
    InflateEnd inflated = InflateEnd::Failed;
    const QByteArray tar = inflateArchive(package, &inflated);
    return verifyInflated(tar, inflated);
}

bool PackageVerifier::verifyInflated(const QByteArray &tar, InflateEnd inflated)
{
    found = NoProblem;
    entryIndex = 0;
    list.clear();
    archive = tar;
    end = inflated;
    TarWalker walker(archive);
    TarWalker::Entry entry;
    while (walker.next(&entry))
        list.append(entry);
    walked = walker.outcome();
    failedRecord = walked == TarWalker::BadHeader ? walker.badRecord() : QByteArray();
    failedOffset = walker.badRecordOffset();

    if (end != InflateEnd::Complete) {
        return fail(end == InflateEnd::CutShort ? StreamCutShort
                : end == InflateEnd::TooLarge   ? TooLarge
                                                : NotCompressed);
    }
    switch (walked) {
    case TarWalker::Complete:
        break;
    case TarWalker::Reading:
    case TarWalker::Empty:
        return fail(EmptyArchive);
    case TarWalker::BadHeader:
        return fail(BadHeader);
    case TarWalker::NoEndRecords:
        return !list.isEmpty() && list.last().isCutShort() ? fail(EntryCutShort, list.last().index)
                                                           : fail(NoEndRecords);
    case TarWalker::OneEndRecord:
    case TarWalker::HeaderAfterEnd:
        return fail(OneEndRecord);
    }
    for (const TarWalker::Entry &each : std::as_const(list)) {
        if (!isAcceptableEntryName(each.name(), each.isDirectory()))
            return fail(RefusedName, each.index);
    }
    return target.isEmpty() || verifyTree();
}

bool PackageVerifier::verifyTree()
{
    ConfinedTree targetTree(target);
    const std::unique_ptr<ConfinedTree> backupTree(
        backup.isEmpty() ? nullptr : new ConfinedTree(backup));
    const QDir targetDir(QDir(target).absolutePath());
    const QDir backupDir(QDir(backup).absolutePath());
    const QString journal = filePathKey(InstallJournal::pathFor(target, backup));
    const QString staging = filePathKey(StagingArea::pathFor(target, backup));
    // Neither the journal nor the staging area, nor anything in it, may be written as a file.
    const auto reserved = [&journal, &staging](const QString &path) {
        const QString key = filePathKey(path);
        return key == journal || key == staging || key.startsWith(staging + QLatin1Char('/'));
    };
    // Between file systems a backup is a copy, which needs room of its own.
    const bool copies = backupTree && !targetTree.sameFileSystem(*backupTree);

    qint64 needed = 0;
    qint64 neededForBackups = 0;
    for (const TarWalker::Entry &entry : std::as_const(list)) {
        const QString name = entry.name();
        // A link may stand only where a file is to be put: it is replaced like a file.
        const auto blocks = [&entry](const ConfinedTree::Status &status) {
            return status.kind == ConfinedTree::Blocked
                || (entry.isDirectory() && status.kind == ConfinedTree::Link);
        };
        const ConfinedTree::Status status = targetTree.status(name);
        if (blocks(status) || reserved(targetDir.absoluteFilePath(name)))
            return fail(RefusedName, entry.index);
        // The backup tree is written only for what exists in the target.
        if (backupTree && status.kind != ConfinedTree::Missing
            && (blocks(backupTree->status(name)) || reserved(backupDir.absoluteFilePath(name)))) {
            return fail(RefusedName, entry.index);
        }
        needed += diskCost(entry.dataSize);
        if (copies && status.kind == ConfinedTree::File)
            neededForBackups += diskCost(status.size);
    }

    const auto fits = [this, &targetTree](ConfinedTree &tree, qint64 bytes) {
        const qint64 available = availableSpace(tree, &tree != &targetTree);
        if (fitsWithMargin(bytes, available))
            return true;
        shortRoot = tree.root();
        freeBytes = available;
        neededBytes = withMargin(bytes);
        return false;
    };
    if (!fits(targetTree, needed) || (backupTree && !fits(*backupTree, neededForBackups)))
        return fail(NoSpace);
    return true;
}

QString PackageVerifier::message(const QString &source) const
{
    QString reason;
    switch (found) {
    case NoProblem:
        return QString();
    case RefusedName:
        return tr("Недопустимое имя файла в пакете обновления: '%1'.")
            .arg(list.value(entryIndex - 1).name());
    case NotCompressed:
        reason = tr("это не поток gzip или zlib, или он повреждён");
        break;
    case StreamCutShort:
        reason = tr("сжатый поток обрывается раньше своего конца");
        break;
    case TooLarge:
        reason = tr("распакованное содержимое больше %1 байт").arg(maxInflatedArchiveSize);
        break;
    case EmptyArchive:
        reason = tr("архив tar пуст");
        break;
    case BadHeader:
        reason = tr("неверный заголовок записи tar по смещению %1").arg(failedOffset);
        break;
    case EntryCutShort:
        reason = tr("данные файла '%1' обрываются").arg(list.value(entryIndex - 1).name());
        break;
    case NoEndRecords:
        reason = tr("архив tar обрывается без двух завершающих нулевых записей");
        break;
    case OneEndRecord:
        reason = tr("архив tar не завершается двумя нулевыми записями подряд");
        break;
    case NoSpace:
        reason = tr("на диске с '%1' свободно %2 байт, а нужно не меньше %3")
                     .arg(shortRoot)
                     .arg(freeBytes)
                     .arg(neededBytes);
        break;
    }
    return tr("Пакет обновления '%1' не прошёл проверку: %2.").arg(source, reason);
}

QString PackageVerifier::unreadableMessage(
    const QString &source, PackageBytes::Result result, qint64 size)
{
    const QString reason = result == PackageBytes::TooLarge
        ? tr("в файле %1 байт, больше допустимых %2").arg(size).arg(PackageBytes::maxSize)
        : tr("не хватает памяти, чтобы прочитать его");
    return tr("Пакет обновления '%1' не прошёл проверку: %2.").arg(source, reason);
}
