#include "tinytarunpacker.h"
#include "tinytarunpacker_p.h"

#include "log/log.h"
#include "packagebytes.h"
#include "packagesignature.h"
#include "packageverifier.h"
#include "pathkey.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>

namespace {

const QString unpackWhere = QStringLiteral("TinyTarUnpackerPrivate::unpack");

void report(Log::Level level, const QString &text)
{
    Log::write(level, unpackWhere, text);
}

// Progress lines come once or twice a file; below the log's threshold their text is not built.
bool progressLogged()
{
    return Log::level() >= Log::Info;
}

QString number(int value)
{
    return QString::number(value);
}

// A new file gets the execute bits its header asks for, so that an update can bring a new
// program; a replaced file keeps the permissions of the one it replaces.
int executeBits(quint32 mode)
{
    return int(mode & 0111);
}

// Entries that touch the same paths other than as a directory above one another, or as two
// copies of one file, must each find the other's work done on the disk: the later one starts a
// new group, begun once the group before it is in place.
class GroupSplitter
{
public:
    // sameFile: the target path of an earlier copy of the same file in the group, if any.
    bool conflicts(const QStringList &paths, bool isDirectory, const QString &sameFile) const
    {
        for (const QString &path : paths) {
            if (files.contains(path) && path != sameFile)
                return true;
            // A file may not stand where the group makes or fills a directory.
            if (!isDirectory && (directories.contains(path) || above.contains(path)))
                return true;
            // Nor may anything be below a file of the group.
            for (QString up = parentOf(path); !up.isEmpty(); up = parentOf(up)) {
                if (files.contains(up))
                    return true;
            }
        }
        return false;
    }

    void add(const QStringList &paths, bool isDirectory)
    {
        for (const QString &path : paths) {
            (isDirectory ? directories : files).insert(path);
            for (QString up = parentOf(path); !up.isEmpty() && !above.contains(up);
                 up = parentOf(up)) {
                above.insert(up);
            }
        }
    }

    void clear()
    {
        files.clear();
        directories.clear();
        above.clear();
    }

private:
    static QString parentOf(const QString &path)
    {
        const int slash = int(path.lastIndexOf(QLatin1Char('/')));
        return slash <= 0 ? QString() : path.left(slash);
    }

    QSet<QString> files;
    QSet<QString> directories;
    QSet<QString> above; // every directory above the paths of both
};

} // namespace

TinyTarUnpacker::TinyTarUnpacker(
    const QString &source, const QString &target, const QString &backup)
    : d(std::make_unique<TinyTarUnpackerPrivate>(source, target, backup))
{
}

TinyTarUnpacker::~TinyTarUnpacker() = default;

bool TinyTarUnpacker::unpack()
{
    return d->unpack();
}

bool recoverInstallation(const QString &target, const QString &backup)
{
    const QString where = QStringLiteral("TinyTarUnpackerPrivate::recover");
    // Files staged by an installation killed before it changed the tree were never part of it.
    if (!StagingArea::removeLeftovers(target, backup)) {
        Log::write(Log::Warning, where,
            TinyTarUnpackerPrivate::tr("Не удалось удалить временный каталог установки '%1'.")
                .arg(StagingArea::pathFor(target, backup)));
    }
    InstallJournal journal(target, backup);
    if (!journal.exists())
        return true;
    if (!journal.load()) {
        Log::write(Log::Error, where,
            TinyTarUnpackerPrivate::tr("Журнал установки '%1' не прочитан: %2")
                .arg(journal.path(), journal.errorString()));
        return false;
    }
    if (journal.isComplete()) {
        // Complete, but a kill came before the old versions set aside were removed.
        if (!journal.finish() || !journal.discard()) {
            Log::write(Log::Error, where,
                TinyTarUnpackerPrivate::tr("Не удалось завершить установку по журналу '%1': %2")
                    .arg(journal.path(), journal.errorString()));
            return false;
        }
        Log::write(Log::Notice, where,
            TinyTarUnpackerPrivate::tr(
                "Прерванная установка пакета обновления '%1' была завершена; журнал '%2' закрыт.")
                .arg(journal.package(), journal.path()));
        return true;
    }
    Log::write(Log::Warning, where,
        TinyTarUnpackerPrivate::tr("Обнаружена прерванная установка пакета обновления '%1' (журнал "
                                   "'%2'); изменения отменяются.")
            .arg(journal.package(), journal.path()));
    // The tree brought back reaches the disk before the journal that could bring it back goes.
    const bool undone = journal.undo();
    FlushList flush;
    for (const QString &root : { target, backup }) {
        if (QFileInfo(root).isDir())
            flush.addDirectory(QFileInfo(root).absoluteFilePath());
    }
    QString flushError;
    if (undone && !flush.flush(&flushError)) {
        Log::write(Log::Warning, where,
            TinyTarUnpackerPrivate::tr("Не удалось сбросить на диск установленные файлы: %1")
                .arg(flushError));
    }
    if (!undone || !journal.discard()) {
        Log::write(Log::Error, where,
            TinyTarUnpackerPrivate::tr("Не удалось отменить прерванную установку: %1. Журнал '%2' "
                                       "оставлен.")
                .arg(journal.errorString(), journal.path()));
        return false;
    }
    Log::write(Log::Warning, where,
        TinyTarUnpackerPrivate::tr(
            "Прерванная установка отменена: файлы возвращены в состояние до обновления."));
    return true;
}

TinyTarUnpackerPrivate::TinyTarUnpackerPrivate(
    const QString &source, const QString &target, const QString &backup)
    : source(source),
      target(target),
      backup(backup),
      journal(target, backup),
      staging(target, backup)
{
}

bool TinyTarUnpackerPrivate::unpack()
{
    const bool installed = unpackPackage();
    // What was staged and not used (all of it after a failure) goes with the staging area.
    if (staging.isOpen() && !staging.remove()) {
        report(Log::Warning,
            tr("Не удалось удалить временный каталог установки '%1'.")
                .arg(StagingArea::pathFor(target, backup)));
    }
    // Whatever the outcome, what it left is to survive a power cut as it stands.
    flushWritten();
    return installed;
}

bool TinyTarUnpackerPrivate::unpackPackage()
{
    report(Log::Info, tr("Распаковка архива '%1' в '%2'...").arg(source, target));

    backupsOn = false;
    if (!backup.isEmpty()) {
        if (!QDir().mkpath(backup)) {
            report(Log::Warning,
                tr("Не удалось создать путь '%1' для сохранения резервной копии.").arg(backup));
            return false;
        }
        addCreatedPath(QDir(backup).absolutePath(), QDir(backup));
        backupsOn = true;
    }
    // An installation cut short before this one is undone first: its backups are the versions
    // from before it, which this one must not take for the current ones.
    if (!recoverInstallation(target, backup))
        return false;

    // Reading the package is one step, and everything after works on its bytes alone.
    PackageBytes package;
    const PackageBytes::Result read = package.read(source);
    if (read == PackageBytes::CannotOpen) {
        report(Log::Warning,
            tr("Не удалось открыть файл обновления '%1': (%2) %3")
                .arg(source, number(package.error()), package.errorString()));
        return false;
    }
    if (read != PackageBytes::Read) {
        report(Log::Error, PackageVerifier::unreadableMessage(source, read, package.fileSize()));
        return false;
    }

    // With a trusted key installed, only the bytes its holder signed go any further.
    PackageSignature signature(target);
    if (!signature.check(source, package.bytes())) {
        report(Log::Error, signature.message(source));
        return false;
    }

    // Nothing is written to the tree before the whole package has proved sound and fits the disk.
    PackageVerifier verifier(target, backupsOn ? backup : QString());
    if (!verifyWhileStaging(package.bytes(), &verifier)) {
        report(Log::Error, verifier.message(source));
        return false;
    }
    return install(verifier.entries());
}

bool TinyTarUnpackerPrivate::verifyWhileStaging(
    const QByteArray &package, PackageVerifier *verifier)
{
    ConfinedTree tree(target);
    if (!staging.open(tree))
        return verifier->verify(package);
    // The space is judged as it was before anything was staged.
    const qint64 targetSpace = tree.availableSpace();
    const qint64 backupSpace = backupsOn ? ConfinedTree(backup).availableSpace() : -1;
    stager.emplace(staging, tree, targetSpace);
    InflateEnd end = InflateEnd::Failed;
    const QByteArray tar = stager->inflate(package, &end);
    verifier->assumeAvailableSpace(targetSpace, backupSpace);
    return verifier->verifyInflated(tar, end);
}

bool TinyTarUnpackerPrivate::install(const QList<TarWalker::Entry> &entries)
{
    // Made absolute once: each path below is then a mere join, with no look at the current
    // directory.
    targetDir = QDir(QDir(target).absolutePath());
    backupDir = QDir(QDir(backup).absolutePath());
    targetTree.emplace(target);
    if (backupsOn)
        backupTree.emplace(backup);
    journal.start(source);

    GroupSplitter splitter;
    QSet<QString> groupFiles;
    QSet<QString> earlierFiles;
    QList<TarWalker::Entry> group;
    for (const TarWalker::Entry &entry : entries) {
        const QString name = entry.name();
        const QString key = filePathKey(name);
        const bool repeated =
            !entry.isDirectory() && (groupFiles.contains(key) || earlierFiles.contains(key));
        QStringList paths { filePathKey(targetDir.absoluteFilePath(name)) };
        // A file written already is never backed up again.
        if (backupsOn && !repeated)
            paths << filePathKey(backupDir.absoluteFilePath(name));
        const QString sameFile = groupFiles.contains(key) ? paths.first() : QString();
        if (!group.isEmpty() && splitter.conflicts(paths, entry.isDirectory(), sameFile)) {
            if (!installGroup(group))
                return false;
            group.clear();
            splitter.clear();
            earlierFiles.unite(groupFiles);
            groupFiles.clear();
        }
        splitter.add(paths, entry.isDirectory());
        if (!entry.isDirectory())
            groupFiles.insert(key);
        group << entry;
    }
    if (!group.isEmpty() && !installGroup(group))
        return false;
    if (!journal.isWritten())
        return true;

    // Everything is in place: once that is on the disk, the journal may say so.
    flushWritten();
    if (!journal.markComplete()) {
        report(Log::Error,
            tr("Не удалось записать журнал установки '%1': %2")
                .arg(journal.path(), journal.errorString()));
        return abandon();
    }
    // Complete: what is left to do can be finished by the next start as well.
    if (!journal.finish() || !journal.discard()) {
        report(Log::Warning,
            tr("Не удалось убрать отложенные старые файлы: %1. Это сделает следующий запуск.")
                .arg(journal.errorString()));
    }
    return true;
}

QList<TinyTarUnpackerPrivate::Step> TinyTarUnpackerPrivate::plan(
    const QList<TarWalker::Entry> &group)
{
    // Within a group no entry changes what another one finds, except that directories made by
    // earlier entries exist for later ones.
    QSet<QString> made;
    const auto exists = [&made](ConfinedTree &tree, const QString &path, const QString &side) {
        return made.contains(side + filePathKey(path))
            || tree.status(path).kind != ConfinedTree::Missing;
    };
    const auto makes = [&](ConfinedTree &tree, const QString &name, bool inBackup) {
        const QString side = inBackup ? QStringLiteral("b:") : QStringLiteral("t:");
        const QStringList parts = QDir::cleanPath(QDir::fromNativeSeparators(name))
                                      .split(QLatin1Char('/'), Qt::SkipEmptyParts);
        QString path;
        bool missing = !exists(tree, QString(), side);
        if (missing)
            journal.addDirectory(inBackup, QString());
        for (const QString &part : parts) {
            if (part == QLatin1String("."))
                continue;
            path = path.isEmpty() ? part : path + QLatin1Char('/') + part;
            missing = missing || !exists(tree, path, side);
            if (missing) {
                journal.addDirectory(inBackup, path);
                made.insert(side + filePathKey(path));
            }
        }
    };

    QList<Step> steps;
    QSet<QString> groupFiles;
    for (const TarWalker::Entry &entry : group) {
        const QString name = entry.name();
        Step step;
        if (entry.isDirectory()) {
            step.makeTwin = backupsOn && exists(*targetTree, name, QStringLiteral("t:"));
            if (step.makeTwin)
                makes(*backupTree, name, true);
            makes(*targetTree, name, false);
            steps << step;
            continue;
        }
        const QString key = filePathKey(name);
        bool backupExisted = false;
        if (groupFiles.contains(key)) {
            step.mode = InstallJournal::Rewritten;
        } else if (targetTree->status(name).kind == ConfinedTree::Missing) {
            step.mode = InstallJournal::NewFile;
        } else if (backupsOn && !writtenFiles.contains(key)) {
            step.mode = InstallJournal::BackedUp;
            backupExisted = backupTree->status(name).kind != ConfinedTree::Missing;
        } else {
            step.mode = InstallJournal::SetAside;
        }
        groupFiles.insert(key);
        journal.addFile(step.mode, backupExisted, name);
        steps << step;
    }
    return steps;
}

bool TinyTarUnpackerPrivate::installGroup(const QList<TarWalker::Entry> &group)
{
    const QList<Step> steps = plan(group);
    // Nothing of the group is touched before the journal says how to undo it.
    if (!journal.writeGroup()) {
        report(Log::Error,
            tr("Не удалось записать журнал установки '%1': %2")
                .arg(journal.path(), journal.errorString()));
        return abandon();
    }
    written.clear();
    for (int i = 0; i < group.size(); ++i) {
        const TarWalker::Entry &entry = group.at(i);
        const bool done = entry.isDirectory() ? unpackDirectory(entry, steps.at(i))
                                              : unpackFile(entry, steps.at(i));
        if (!done)
            return abandon();
    }
    // The new files reach the disk under their temporary names before any takes a real one, so
    // that no real name ever stands for a file cut short.
    flushWritten();
    if (!putInPlace())
        return abandon();
    flushWritten();
    return true;
}

bool TinyTarUnpackerPrivate::refuse(const TarWalker::Entry &entry)
{
    report(Log::Error, tr("Недопустимое имя файла в пакете обновления: '%1'.").arg(entry.name()));
    return false;
}

void TinyTarUnpackerPrivate::closeDirectories()
{
    // Each entry opens its paths afresh: a directory swapped for a link since the entry before
    // is refused.
    targetTree->closeDirectories();
    if (backupTree)
        backupTree->closeDirectories();
}

bool TinyTarUnpackerPrivate::unpackDirectory(const TarWalker::Entry &entry, const Step &step)
{
    closeDirectories();
    const QString name = entry.name();
    const QString targetPath = targetDir.absoluteFilePath(name);
    if (progressLogged())
        report(Log::Info, tr("Создание пути '%1'").arg(targetPath));

    // Only a directory that was there before gets a twin in the backup tree.
    if (step.makeTwin) {
        const QString backupPath = backupDir.absoluteFilePath(name);
        if (!backupTree->makePath(name)) {
            if (backupTree->error().blocked)
                return refuse(entry);
            report(Log::Warning, tr("Не удалось создать путь '%1'").arg(backupPath));
            return false;
        }
        addCreatedPath(backupPath, backupDir);
    }
    if (!targetTree->makePath(name)) {
        if (targetTree->error().blocked)
            return refuse(entry);
        report(Log::Warning, tr("Не удалось создать путь '%1'").arg(targetPath));
        return false;
    }
    addCreatedPath(targetPath, targetDir);
    return true;
}

bool TinyTarUnpackerPrivate::unpackFile(const TarWalker::Entry &entry, const Step &step)
{
    closeDirectories();
    const QString name = entry.name();
    const QString targetPath = targetDir.absoluteFilePath(name);
    const QString fresh = InstallJournal::newName(name, journal.id());
    // A second copy of a file keeps what the first was given; a new file finds nothing.
    const ConfinedTree::Status previous = step.mode == InstallJournal::NewFile
        ? ConfinedTree::Status()
        : targetTree->status(step.mode == InstallJournal::Rewritten ? fresh : name);
    if (previous.kind == ConfinedTree::Blocked)
        return refuse(entry);

    // The version there before keeps its name until the new one takes it over in one step; it
    // is kept meanwhile in the backup tree, or else beside it, to be removed once the
    // installation is complete. Until then it can always come back.
    Placement placement;
    placement.name = name;
    bool kept = step.mode == InstallJournal::NewFile || step.mode == InstallJournal::Rewritten;
    if (step.mode == InstallJournal::BackedUp) {
        if (!backUp(name, targetPath, previous, &placement, &kept))
            return refuse(entry);
    }
    ConfinedTree::Error openError;
    if (!kept) {
        if (previous.kind == ConfinedTree::Directory)
            openError = ConfinedTree::directoryError();
        else if (!keep(name, previous, *targetTree, InstallJournal::asideName(name, journal.id()),
                     &placement))
            openError = keepError;
    }

    if (progressLogged())
        report(Log::Info, tr("Распаковка файла '%1'").arg(targetPath));
    if (step.mode == InstallJournal::Rewritten && !targetTree->remove(fresh))
        openError = targetTree->error();
    const bool replaced =
        step.mode != InstallJournal::NewFile && previous.kind == ConfinedTree::File;
    bool writing = false;
    if (openError.code == 0) {
        openError = writeNewFile(entry, fresh, replaced ? previous.permissions : -1,
            replaced ? 0 : executeBits(entry.header.mode()), &writing);
    }
    if (openError.blocked)
        return refuse(entry);
    if (openError.code != 0 && !writing) {
        report(Log::Error,
            tr("Не удалось открыть файл '%1': (%2) %3")
                .arg(targetPath, number(QFile::OpenError), openError.text));
        return false;
    }
    if (openError.code != 0) {
        report(Log::Error,
            tr("Ошибка записи файла '%1' (статус %2).")
                .arg(targetPath, number(QDataStream::WriteFailed)));
        return false;
    }
    writtenFiles.insert(filePathKey(name));
    toFlush.addFile(targetTree->absolutePath(fresh));
    if (step.mode != InstallJournal::Rewritten)
        written << placement;
    return true;
}

// The file's new version under its temporary name; the error is empty (code 0) when it is there.
ConfinedTree::Error TinyTarUnpackerPrivate::writeNewFile(const TarWalker::Entry &entry,
    const QString &fresh, int permissions, int extraPermissions, bool *writing)
{
    // A file staged while the package was decompressed only moves to its temporary name.
    if (stager && stager->isStaged(entry.offset, entry.dataSize)) {
        *writing = false;
        return staging.moveTo(entry.offset, *targetTree, fresh) ? ConfinedTree::Error()
                                                                : staging.error();
    }
    return targetTree->createFile(
               fresh, entry.data, entry.dataSize, permissions, extraPermissions, false, writing)
        ? ConfinedTree::Error()
        : targetTree->error();
}

// False only when a link stands on the way into the backup tree; *kept tells whether the old
// version is kept there.
bool TinyTarUnpackerPrivate::backUp(const QString &name, const QString &targetPath,
    const ConfinedTree::Status &previous, Placement *placement, bool *kept)
{
    if (progressLogged())
        report(Log::Info, tr("Создание резервной копии файла '%1'").arg(targetPath));

    // Only the most recent backup of a file is kept: the one from before is set aside, and
    // removed once the installation is complete.
    const QString backupPath = backupDir.absoluteFilePath(name);
    const ConfinedTree::Kind earlier = backupTree->status(name).kind;
    if (earlier == ConfinedTree::Blocked)
        return false;
    if (earlier != ConfinedTree::Missing) {
        const bool setAside = earlier != ConfinedTree::Directory
            && backupTree->moveTo(
                name, *backupTree, InstallJournal::previousName(name, journal.id()));
        if (!setAside) {
            const ConfinedTree::Error error = earlier == ConfinedTree::Directory
                ? ConfinedTree::directoryError()
                : backupTree->error();
            report(Log::Warning,
                tr("Не удалось удалить предыдущую резервную копию '%1': (%2) %3")
                    .arg(backupPath, number(QFile::RemoveError), error.text));
        }
    }
    *kept = keep(name, previous, *backupTree, name, placement);
    if (*kept)
        return true;
    if (keepError.blocked)
        return false;
    // Not fatal: the file is then replaced without a backup.
    report(Log::Warning,
        tr("Не удалось создать резервную копию файла '%1' в '%2': (%3) %4")
            .arg(targetPath, backupPath, number(QFile::RenameError), keepError.text));
    return true;
}

// Keeps the version at name as keptAs in tree too: a second name of the same file, or where it
// cannot have one, a copy. Where neither can be made (on Windows a running program), the placement
// renames it there just before the new version takes the name, the only moment the name is
// free. A directory (where the package puts a file) cannot stay: it moves there at once.
bool TinyTarUnpackerPrivate::keep(const QString &name, const ConfinedTree::Status &previous,
    ConfinedTree &tree, const QString &keptAs, Placement *placement)
{
    const QString keptPath = tree.absolutePath(keptAs);
    if (previous.kind == ConfinedTree::Directory) {
        if (!targetTree->moveTo(name, tree, keptAs)) {
            keepError = targetTree->error();
            return false;
        }
        toFlush.addDirectory(QFileInfo(targetTree->absolutePath(name)).absolutePath());
        toFlush.addDirectory(QFileInfo(keptPath).absolutePath());
        return true;
    }
    placement->how = Placement::Replace;
    if (targetTree->linkTo(name, tree, keptAs)) {
        toFlush.addDirectory(QFileInfo(keptPath).absolutePath());
        return true;
    }
    keepError = targetTree->error();
    // Renaming works wherever only a second name was refused.
    const bool movable = keepError.renameOnly || keepError.noLink;
    if ((keepError.crossDevice || keepError.noLink) && previous.kind == ConfinedTree::File
        && copy(name, previous, tree, keptAs)) {
        toFlush.addFile(keptPath);
        return true;
    }
    if (!movable)
        return false;
    placement->how = Placement::MoveFirst;
    placement->keptIn = &tree;
    placement->keptAs = keptAs;
    return true;
}

// The copy takes its name only once it is whole: a kept version is never half written.
bool TinyTarUnpackerPrivate::copy(const QString &name, const ConfinedTree::Status &previous,
    ConfinedTree &tree, const QString &keptAs)
{
    const QString whole = InstallJournal::copyName(name, journal.id());
    QByteArray content;
    if (!targetTree->readFile(name, &content, maxInflatedArchiveSize)) {
        keepError = targetTree->error();
        return false;
    }
    if (!tree.createFile(
            whole, content.constData(), content.size(), previous.permissions, 0, false)) {
        keepError = tree.error();
        return false;
    }
    if (!tree.moveTo(whole, tree, keptAs)) {
        keepError = tree.error();
        static_cast<void>(tree.remove(whole));
        return false;
    }
    return true;
}

bool TinyTarUnpackerPrivate::putInPlace()
{
    const auto renameFailed = [this](const QString &name, const QString &from, const QString &to) {
        if (targetTree->error().blocked) {
            report(Log::Error, tr("Недопустимое имя файла в пакете обновления: '%1'.").arg(name));
            return false;
        }
        report(Log::Error,
            tr("Не удалось переименовать '%1' в '%2': %3").arg(from, to, targetTree->error().text));
        return false;
    };
    for (const Placement &placement : std::as_const(written)) {
        closeDirectories();
        const QString &name = placement.name;
        if (placement.how == Placement::MoveFirst) {
            if (!targetTree->moveTo(name, *placement.keptIn, placement.keptAs)) {
                return renameFailed(name, targetDir.absoluteFilePath(name),
                    placement.keptIn->absolutePath(placement.keptAs));
            }
            toFlush.addDirectory(
                QFileInfo(placement.keptIn->absolutePath(placement.keptAs)).absolutePath());
        }
        // A replaced file's name never stands empty: the new version takes it over in one step.
        const QString fresh = InstallJournal::newName(name, journal.id());
        const bool placed = placement.how == Placement::Replace
            ? targetTree->replace(fresh, *targetTree, name)
            : targetTree->moveTo(fresh, *targetTree, name);
        if (!placed)
            return renameFailed(
                name, targetTree->absolutePath(fresh), targetDir.absoluteFilePath(name));
        toFlush.addDirectory(QFileInfo(targetTree->absolutePath(name)).absolutePath());
    }
    return true;
}

bool TinyTarUnpackerPrivate::abandon()
{
    // What was written so far is flushed while it is all still there (on Windows each file is
    // flushed by name), then undone from the disk's own state, as a start after a kill would.
    flushWritten();
    if (QFileInfo(target).isDir())
        toFlush.addDirectory(QFileInfo(target).absoluteFilePath());
    bool undone = journal.undo();
    if (undone) {
        flushWritten();
        undone = journal.discard();
    }
    if (undone) {
        report(Log::Warning,
            tr("Установка прервана, изменения отменены: файлы возвращены в состояние до "
               "обновления."));
    } else {
        report(Log::Error,
            tr("Не удалось отменить изменения установки: %1. Журнал '%2' оставлен для "
               "восстановления при следующем запуске.")
                .arg(journal.errorString(), journal.path()));
    }
    return false;
}

// path and every directory above it up to root (and root's own parent): mkpath may have created
// any of them, and each creation changed the directory above.
void TinyTarUnpackerPrivate::addCreatedPath(const QString &path, const QDir &root)
{
    const QString top = QFileInfo(root.absolutePath()).absolutePath();
    QString directory = QDir::cleanPath(path);
    forever {
        toFlush.addDirectory(directory);
        if (directory == top || !directory.startsWith(top))
            return;
        const QString parent = QFileInfo(directory).absolutePath();
        if (parent == directory)
            return;
        directory = parent;
    }
}

void TinyTarUnpackerPrivate::flushWritten()
{
    QString error;
    // A failed flush leaves the files in place; it is reported once.
    if (!toFlush.flush(&error) && !flushFailed) {
        flushFailed = true;
        report(Log::Warning, tr("Не удалось сбросить на диск установленные файлы: %1").arg(error));
    }
}
