#include "tinytarunpacker.h"
#include "tinytarunpacker_p.h"

#include "entryname.h"
#include "inflatearchive.h"
#include "log/log.h"
#include "pathkey.h"
#include "tarwalker.h"
#include "tinytarheader.h"

#include <QDataStream>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

void report(Log::Level level, const QString &text)
{
    Log::write(level, QStringLiteral("TinyTarUnpackerPrivate::unpack"), text);
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

// The owner, group and other bits of a file's mode (none when it does not exist). Asked one by
// one, since the permissions of the current user would cost the system three more calls a file
// and set nothing a file's mode does not already say.
QFile::Permissions modeBits(const QFileInfo &info)
{
    static const QFile::Permission bits[] = { QFile::ReadOwner, QFile::WriteOwner, QFile::ExeOwner,
        QFile::ReadGroup, QFile::WriteGroup, QFile::ExeGroup, QFile::ReadOther, QFile::WriteOther,
        QFile::ExeOther };
    QFile::Permissions permissions;
    for (const QFile::Permission bit : bits) {
        if (info.permission(bit))
            permissions |= bit;
    }
    return permissions;
}

// A replaced file keeps its permissions, as it would when overwritten in place; a new file gets
// the execute bits its header asks for, so that an update can bring a new program.
QFile::Permissions executeBits(quint32 mode)
{
    QFile::Permissions permissions;
    if (mode & 0100)
        permissions |= QFile::ExeOwner | QFile::ExeUser;
    if (mode & 0010)
        permissions |= QFile::ExeGroup;
    if (mode & 0001)
        permissions |= QFile::ExeOther;
    return permissions;
}

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

TinyTarUnpackerPrivate::TinyTarUnpackerPrivate(
    const QString &source, const QString &target, const QString &backup)
    : source(source), target(target), backup(backup)
{
}

bool TinyTarUnpackerPrivate::unpack()
{
    const bool installed = install();
    // Whatever the outcome, what was installed is to survive a power cut as it stands.
    flushWritten();
    return installed;
}

bool TinyTarUnpackerPrivate::install()
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

    QFile package(source);
    if (!package.open(QIODevice::ReadOnly)) {
        report(Log::Warning,
            tr("Не удалось открыть файл обновления '%1': (%2) %3")
                .arg(source, number(package.error()), package.errorString()));
        return false;
    }
    const QByteArray archive = inflateArchive(package.readAll());
    package.close();

    targetDir = QDir(target);
    backupDir = QDir(backup);
    targetBoundary.emplace(target);
    if (backupsOn)
        backupBoundary.emplace(backup);
    // A package that is not compressed, is corrupt or holds nothing has no line of its own.
    TarWalker tar(archive);
    return unpackEntries(tar);
}

bool TinyTarUnpackerPrivate::unpackEntries(TarWalker &tar)
{
    TarWalker::Entry entry;
    while (tar.next(&entry)) {
        const TinyTarHeader &header = entry.header;
        if (!isContained(header)) {
            report(Log::Error,
                tr("Недопустимое имя файла в пакете обновления: '%1'.").arg(header.name()));
            return false;
        }
        const QString targetPath = targetDir.absoluteFilePath(header.name());
        const QString backupPath =
            backupsOn ? backupDir.absoluteFilePath(header.name()) : QString();
        const bool installed = header.isDirectory() ? unpackDirectory(targetPath, backupPath)
                                                    : unpackFile(entry, targetPath, backupPath);
        if (!installed)
            return false;
    }
    // Without its end records the package is incomplete, even when every entry was installed.
    return tar.outcome() == TarWalker::Complete;
}

bool TinyTarUnpackerPrivate::isContained(const TinyTarHeader &header)
{
    const QString name = header.name();
    return isAcceptableEntryName(name, header.isDirectory()) && targetBoundary->contains(name)
        && (!backupsOn || backupBoundary->contains(name));
}

bool TinyTarUnpackerPrivate::unpackDirectory(const QString &targetPath, const QString &backupPath)
{
    if (progressLogged())
        report(Log::Info, tr("Создание пути '%1'").arg(targetPath));

    // Only a directory that was there before gets a twin in the backup tree.
    if (backupsOn && QFile::exists(targetPath)) {
        if (!QDir().mkpath(backupPath)) {
            report(Log::Warning, tr("Не удалось создать путь '%1'").arg(backupPath));
            return false;
        }
        addCreatedPath(backupPath, backupDir);
    }
    if (!QDir().mkpath(targetPath)) {
        report(Log::Warning, tr("Не удалось создать путь '%1'").arg(targetPath));
        return false;
    }
    addCreatedPath(targetPath, targetDir);
    return true;
}

bool TinyTarUnpackerPrivate::unpackFile(
    const TarWalker::Entry &entry, const QString &targetPath, const QString &backupPath)
{
    const TinyTarHeader &header = entry.header;
    const QFileInfo previous(targetPath);
    const bool replaced = previous.exists();
    const QFile::Permissions previousPermissions =
        replaced ? modeBits(previous) : QFile::Permissions();
    // A file this package wrote already (a duplicate entry, or another spelling of its name) is
    // overwritten in place: backing it up again would delete the backup of the version that was
    // installed before, which is what the backup tree is for.
    const QString key = backupsOn ? filePathKey(header.name()) : QString();
    if (backupsOn && replaced && !writtenFiles.contains(key))
        moveToBackup(targetPath, backupPath);

    if (progressLogged())
        report(Log::Info, tr("Распаковка файла '%1'").arg(targetPath));
    QFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        report(Log::Error,
            tr("Не удалось открыть файл '%1': (%2) %3")
                .arg(targetPath, number(file.error()), file.errorString()));
        return false;
    }
    if (backupsOn)
        writtenFiles.insert(key);
    toFlush.addFile(targetPath);
    // Where permissions cannot be set they stay as created; the content is what matters. Most
    // new files want no more than they were created with, which needs no call at all.
    if (replaced)
        file.setPermissions(previousPermissions);
    else if (const QFile::Permissions extra = executeBits(header.mode()))
        file.setPermissions(file.permissions() | extra);
    if (entry.dataSize == 0) {
        file.close();
        return true;
    }

    // Where the package ends inside this file, nothing is written beyond what it holds, so a
    // forged size cannot fill the disk; the missing end records fail the installation.
    QDataStream out(&file);
    const char *data = entry.data;
    qint64 remaining = entry.dataSize;
    while (remaining > 0 && out.status() == QDataStream::Ok) {
        const int block = int(std::min<qint64>(remaining, TinyTarHeader::recordSize));
        out.writeRawData(data, block);
        data += block;
        remaining -= block;
    }
    // The last blocks may still sit in the file's buffer; a full disk shows only when they leave.
    if (out.status() == QDataStream::Ok && !file.flush())
        out.setStatus(QDataStream::WriteFailed);
    if (out.status() != QDataStream::Ok) {
        report(Log::Error,
            tr("Ошибка записи файла '%1' (статус %2).").arg(targetPath, number(out.status())));
        return false;
    }
    file.close();
    return true;
}

void TinyTarUnpackerPrivate::moveToBackup(const QString &targetPath, const QString &backupPath)
{
    if (progressLogged())
        report(Log::Info, tr("Создание резервной копии файла '%1'").arg(targetPath));

    // Only the most recent backup of a file is kept.
    QFile previous(backupPath);
    if (previous.exists() && !previous.remove()) {
        report(Log::Warning,
            tr("Не удалось удалить предыдущую резервную копию '%1': (%2) %3")
                .arg(backupPath, number(previous.error()), previous.errorString()));
    }
    // A failed move is not fatal: the file is then overwritten without a backup.
    QFile current(targetPath);
    if (!current.rename(backupPath)) {
        report(Log::Warning,
            tr("Не удалось создать резервную копию файла '%1' в '%2': (%3) %4")
                .arg(targetPath, backupPath, number(current.error()), current.errorString()));
        return;
    }
    // A rename, since the supervisor's backup tree lies inside the target on the same volume:
    // the file's data is on disk already, only the two directories changed.
    toFlush.addDirectory(QFileInfo(backupPath).absolutePath());
    toFlush.addDirectory(QFileInfo(targetPath).absolutePath());
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
    if (!toFlush.flush(&error))
        report(Log::Warning, tr("Не удалось сбросить на диск установленные файлы: %1").arg(error));
}
