#include "installjournal.h"

#include "confinedtree.h"
#include "entryname.h"
#include "inflatearchive.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <utility>

namespace {

const QByteArray magic = "localcashserver installation journal 1";
const QByteArray groupLine = "group";
const QByteArray completeLine = "complete";

QByteArray encoded(const QString &text)
{
    return text.isEmpty() ? QByteArray("-") : QUrl::toPercentEncoding(text, "/");
}

QString decoded(const QByteArray &text)
{
    return text == "-" ? QString() : QUrl::fromPercentEncoding(text);
}

const char *modeWord(InstallJournal::FileMode mode)
{
    switch (mode) {
    case InstallJournal::NewFile:
        return "new";
    case InstallJournal::BackedUp:
        return "backup";
    case InstallJournal::SetAside:
        return "aside";
    case InstallJournal::Rewritten:
        break;
    }
    return "again";
}

bool parseRecord(const QList<QByteArray> &fields, InstallJournal::Record *record)
{
    if (fields.size() == 4 && fields.at(0) == "file") {
        static const QList<QByteArray> words = { "new", "backup", "aside", "again" };
        const int mode = int(words.indexOf(fields.at(1)));
        if (mode < 0 || (fields.at(2) != "0" && fields.at(2) != "1"))
            return false;
        record->type = InstallJournal::Record::File;
        record->mode = InstallJournal::FileMode(mode);
        record->backupExisted = fields.at(2) == "1";
        record->path = decoded(fields.at(3));
        // Whatever the file holds, undoing it never reaches outside the trees.
        return isAcceptableEntryName(record->path, false);
    }
    if (fields.size() == 3 && fields.at(0) == "directory"
        && (fields.at(1) == "target" || fields.at(1) == "backup")) {
        record->type = fields.at(1) == "target" ? InstallJournal::Record::TargetDirectory
                                                : InstallJournal::Record::BackupDirectory;
        record->path = decoded(fields.at(2));
        return isAcceptableEntryName(record->path, true);
    }
    return false;
}

QByteArray recordLine(const InstallJournal::Record &record)
{
    if (record.type == InstallJournal::Record::File) {
        return QByteArray("file ") + modeWord(record.mode) + (record.backupExisted ? " 1 " : " 0 ")
            + encoded(record.path) + '\n';
    }
    return QByteArray("directory ")
        + (record.type == InstallJournal::Record::TargetDirectory ? "target " : "backup ")
        + encoded(record.path) + '\n';
}

QString derivedName(const QString &name, const QString &id, const char *suffix)
{
    const QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(name));
    const int slash = int(cleaned.lastIndexOf(QLatin1Char('/')));
    return cleaned.left(slash + 1) + QLatin1Char('.') + cleaned.mid(slash + 1) + QLatin1Char('.')
        + id + QLatin1Char('.') + QLatin1String(suffix);
}

bool present(ConfinedTree &tree, const QString &path)
{
    return tree.status(path).kind != ConfinedTree::Missing;
}

} // namespace

InstallJournal::InstallJournal(const QString &target, const QString &backup)
    : targetRoot(target), backupRoot(backup), file(pathFor(target, backup))
{
}

InstallJournal::~InstallJournal() = default;

QString InstallJournal::pathFor(const QString &target, const QString &backup)
{
    return QDir::cleanPath(QDir(backup.isEmpty() ? target : backup).absolutePath())
        + QLatin1String(".journal");
}

bool InstallJournal::exists() const
{
    ConfinedTree directory(QFileInfo(file).absolutePath());
    return present(directory, QFileInfo(file).fileName());
}

QString InstallJournal::newName(const QString &name, const QString &id)
{
    return derivedName(name, id, "new");
}

QString InstallJournal::asideName(const QString &name, const QString &id)
{
    return derivedName(name, id, "old");
}

QString InstallJournal::previousName(const QString &name, const QString &id)
{
    return derivedName(name, id, "prev");
}

QString InstallJournal::copyName(const QString &name, const QString &id)
{
    return derivedName(name, id, "copy");
}

bool InstallJournal::fail(const QString &text)
{
    error = text;
    return false;
}

void InstallJournal::start(const QString &package)
{
    // Random, so that no package can name a file after what we set aside.
    installationId = QString::number(QRandomGenerator::global()->generate(), 16)
                         .rightJustified(8, QLatin1Char('0'));
    packagePath = package;
    records.clear();
    written = 0;
    created = false;
    madeHome = false;
    complete = false;
}

void InstallJournal::addFile(FileMode mode, bool backupExisted, const QString &name)
{
    records.append({ Record::File, mode, backupExisted, name });
}

void InstallJournal::addDirectory(bool inBackup, const QString &path)
{
    records.append(
        { inBackup ? Record::BackupDirectory : Record::TargetDirectory, NewFile, false, path });
}

bool InstallJournal::writeGroup()
{
    QByteArray text;
    if (!created) {
        text = magic + "\nid " + installationId.toLatin1() + "\npackage " + encoded(packagePath)
            + "\ntarget " + encoded(targetRoot) + "\nbackup " + encoded(backupRoot) + '\n';
    }
    text += groupLine + '\n';
    for (int i = written; i < records.size(); ++i)
        text += recordLine(records.at(i));

    const QString home = QFileInfo(file).absolutePath();
    // Without backups the journal lies beside the target, whose parent a package may create.
    if (!created && !QFileInfo::exists(home)) {
        if (!QDir().mkpath(home))
            return fail(tr("не удалось создать каталог '%1'").arg(home));
        madeHome = true;
    }
    ConfinedTree directory(home);
    const QString name = QFileInfo(file).fileName();
    // Created, the journal's own entry in its directory must reach the disk too.
    const bool stored = created
        ? directory.appendFile(name, text, true)
        : directory.createFile(name, text.constData(), text.size(), -1, 0, true)
            && directory.syncDirectory(QString());
    if (!stored)
        return fail(directory.error().text);
    created = true;
    written = int(records.size());
    return true;
}

bool InstallJournal::markComplete()
{
    ConfinedTree directory(QFileInfo(file).absolutePath());
    if (!directory.appendFile(QFileInfo(file).fileName(), completeLine + '\n', true))
        return fail(directory.error().text);
    complete = true;
    return true;
}

bool InstallJournal::load()
{
    ConfinedTree directory(QFileInfo(file).absolutePath());
    QByteArray text;
    if (!directory.readFile(QFileInfo(file).fileName(), &text, maxInflatedArchiveSize))
        return fail(directory.error().text);
    // A line cut by a kill or a power cut was never acted on: its group had not begun. Nor had
    // anything when not even the first line is whole.
    text.truncate(int(text.lastIndexOf('\n')) + 1);
    const QList<QByteArray> lines = text.split('\n');
    records.clear();
    complete = false;
    created = true;
    written = 0;
    if (text.isEmpty())
        return true;
    if (lines.first() != magic)
        return fail(tr("это не журнал установки"));

    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const QList<QByteArray> fields = line.split(' ');
        Record record;
        if (line.isEmpty() || line == groupLine) {
            continue;
        } else if (line == completeLine) {
            complete = true;
        } else if (fields.size() == 2 && fields.first() == "id") {
            installationId = QString::fromLatin1(fields.at(1));
        } else if (fields.size() == 2 && fields.first() == "package") {
            packagePath = decoded(fields.at(1));
        } else if (fields.size() == 2
            && (fields.first() == "target" || fields.first() == "backup")) {
            continue; // where it ran, for people: the caller's paths count
        } else if (parseRecord(fields, &record)) {
            records.append(record);
        } else {
            return fail(tr("непонятная строка %1").arg(i + 1));
        }
    }
    if (installationId.isEmpty() && !records.isEmpty())
        return fail(tr("нет строки id"));
    written = int(records.size());
    return true;
}

bool InstallJournal::undoFile(const Record &record, ConfinedTree &target, ConfinedTree *backup)
{
    const QString &name = record.path;
    const auto failed = [this, &name](ConfinedTree &tree) {
        return fail(QStringLiteral("'%1': %2").arg(tree.absolutePath(name), tree.error().text));
    };
    if (record.mode == Rewritten)
        return true;
    const QString fresh = newName(name, installationId);
    if (present(target, fresh) && !target.remove(fresh))
        return failed(target);
    if (record.mode == NewFile) {
        // Nothing stood there before: whatever file stands there now is the new one.
        if (target.status(name).kind == ConfinedTree::File && !target.remove(name))
            return failed(target);
        return true;
    }

    const QString aside = asideName(name, installationId);
    const QString previous = previousName(name, installationId);
    const QString copy = copyName(name, installationId);
    for (ConfinedTree *tree : { &target, backup }) {
        if (tree && present(*tree, copy) && !tree->remove(copy))
            return failed(*tree);
    }
    // The backup path holds this installation's backup only once the backup from before it (if
    // there was one) was set aside.
    const bool ownBackup = record.mode == BackedUp && backup && present(*backup, name)
        && (!record.backupExisted || present(*backup, previous));
    const bool setAside = present(target, aside);
    if (setAside || ownBackup) {
        // The old version kept there comes back over whatever stands at the name, in one step,
        // unless the name still holds it.
        ConfinedTree &keptIn = setAside ? target : *backup;
        const QString &kept = setAside ? aside : name;
        const ConfinedTree::Kind current = target.status(name).kind;
        if (current == ConfinedTree::Directory || current == ConfinedTree::Blocked) {
            return fail(
                tr("'%1': на месте файла стоит другой объект").arg(target.absolutePath(name)));
        }
        const bool restored =
            current != ConfinedTree::Missing && keptIn.sameFile(kept, target, name);
        if (restored ? !keptIn.remove(kept) : !keptIn.replace(kept, target, name)) {
            if (restored || !keptIn.error().crossDevice)
                return failed(keptIn);
            // A backup tree on another file system holds a copy: a copy of it comes back, whole
            // on the disk before it takes the name, and the backup goes only after that.
            QByteArray content;
            if (!keptIn.readFile(kept, &content, maxInflatedArchiveSize))
                return failed(keptIn);
            if (!target.createFile(copy, content.constData(), content.size(),
                    keptIn.status(kept).permissions, 0, true)
                || !target.replace(copy, target, name)) {
                return failed(target);
            }
            if (!keptIn.remove(kept))
                return failed(keptIn);
        }
        // A backup of its own beside it can only be a copy made on another file system.
        if (setAside && ownBackup && !backup->remove(name))
            return failed(*backup);
    }
    if (record.mode == BackedUp && backup && present(*backup, previous)
        && !backup->moveTo(previous, *backup, name)) {
        return failed(*backup);
    }
    return true;
}

bool InstallJournal::discard()
{
    if (!created)
        return true;
    ConfinedTree directory(QFileInfo(file).absolutePath());
    if (!directory.remove(QFileInfo(file).fileName()))
        return fail(directory.error().text);
    // Left behind by a power cut, a journal whose work is done is harmless: done again, its
    // steps find nothing to do.
    static_cast<void>(directory.syncDirectory(QString()));
    if (madeHome)
        static_cast<void>(QDir().rmdir(directory.root()));
    created = false;
    return true;
}

bool InstallJournal::undo()
{
    ConfinedTree target(targetRoot);
    const std::unique_ptr<ConfinedTree> backup(
        backupRoot.isEmpty() ? nullptr : new ConfinedTree(backupRoot));
    for (auto it = records.crbegin(); it != records.crend(); ++it) {
        if (it->type == Record::File) {
            if (!undoFile(*it, target, backup.get()))
                return false;
            continue;
        }
        // Created by the installation, unless someone put something in it since.
        ConfinedTree *tree = it->type == Record::TargetDirectory ? &target : backup.get();
        if (!tree)
            continue;
        if (it->path.isEmpty())
            static_cast<void>(QDir().rmdir(tree->root()));
        else if (tree->status(it->path).kind == ConfinedTree::Directory)
            static_cast<void>(tree->removeDirectory(it->path));
    }
    return true;
}

bool InstallJournal::finish()
{
    ConfinedTree target(targetRoot);
    const std::unique_ptr<ConfinedTree> backup(
        backupRoot.isEmpty() ? nullptr : new ConfinedTree(backupRoot));
    for (const Record &record : std::as_const(records)) {
        // Only a file that stood there before has an old version set aside.
        if (record.type != Record::File || record.mode == Rewritten || record.mode == NewFile)
            continue;
        const QString aside = asideName(record.path, installationId);
        if (present(target, aside) && !target.remove(aside))
            return fail(
                QStringLiteral("'%1': %2").arg(target.absolutePath(aside), target.error().text));
        const QString previous = previousName(record.path, installationId);
        if (backup && present(*backup, previous) && !backup->remove(previous)) {
            return fail(QStringLiteral("'%1': %2")
                            .arg(backup->absolutePath(previous), backup->error().text));
        }
    }
    return true;
}
