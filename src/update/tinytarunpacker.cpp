#include "tinytarunpacker.h"
#include "tinytarunpacker_p.h"

#include "entryname.h"
#include "inflatearchive.h"
#include "log/log.h"
#include "tinytarheader.h"

#include <QDataStream>
#include <QFile>

#include <algorithm>

namespace {

void report(Log::Level level, const QString &text)
{
    Log::write(level, QStringLiteral("TinyTarUnpackerPrivate::unpack"), text);
}

QString number(int value)
{
    return QString::number(value);
}

// A replaced file keeps its permissions, as it would when overwritten in place; a new file gets
// the execute bits its header asks for, so that an update can bring a new program.
QFile::Permissions installedPermissions(QFile::Permissions created, bool replaced,
    QFile::Permissions previous, quint32 mode)
{
    if (replaced)
        return previous;
    QFile::Permissions permissions = created;
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
    report(Log::Info, tr("Распаковка архива '%1' в '%2'...").arg(source, target));

    backupsOn = false;
    if (!backup.isEmpty()) {
        if (!QDir().mkpath(backup)) {
            report(Log::Warning,
                tr("Не удалось создать путь '%1' для сохранения резервной копии.").arg(backup));
            return false;
        }
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

    // A package that is not compressed, is corrupt or holds nothing has no line of its own.
    QDataStream tar(archive);
    if (tar.atEnd())
        return false;

    targetDir = QDir(target);
    backupDir = QDir(backup);
    targetBoundary.emplace(target);
    if (backupsOn)
        backupBoundary.emplace(backup);
    return unpackEntries(tar);
}

bool TinyTarUnpackerPrivate::unpackEntries(QDataStream &tar)
{
    TinyTarHeader header;
    forever {
        if (!header.read(tar))
            return false;
        // Complete only with a second end record right after the first.
        if (header.isEnd())
            return header.read(tar) && header.isEnd();

        if (!isContained(header)) {
            report(Log::Error,
                tr("Недопустимое имя файла в пакете обновления: '%1'.").arg(header.name()));
            return false;
        }
        const QString targetPath = targetDir.absoluteFilePath(header.name());
        const QString backupPath = backupDir.absoluteFilePath(header.name());
        const bool installed = header.isDirectory()
            ? unpackDirectory(targetPath, backupPath)
            : unpackFile(tar, header, targetPath, backupPath);
        if (!installed)
            return false;
        // Without end records the package is incomplete, even when every entry was installed.
        if (tar.atEnd())
            return false;
    }
}

bool TinyTarUnpackerPrivate::isContained(const TinyTarHeader &header)
{
    const QString name = header.name();
    return isAcceptableEntryName(name, header.isDirectory()) && targetBoundary->contains(name)
        && (!backupsOn || backupBoundary->contains(name));
}

bool TinyTarUnpackerPrivate::unpackDirectory(const QString &targetPath, const QString &backupPath)
{
    report(Log::Info, tr("Создание пути '%1'").arg(targetPath));

    // Only a directory that was there before gets a twin in the backup tree.
    if (backupsOn && QFile::exists(targetPath) && !QDir().mkpath(backupPath)) {
        report(Log::Warning, tr("Не удалось создать путь '%1'").arg(backupPath));
        return false;
    }
    if (!QDir().mkpath(targetPath)) {
        report(Log::Warning, tr("Не удалось создать путь '%1'").arg(targetPath));
        return false;
    }
    return true;
}

bool TinyTarUnpackerPrivate::unpackFile(QDataStream &tar, const TinyTarHeader &header,
    const QString &targetPath, const QString &backupPath)
{
    const quint64 size = header.size();
    const bool replaced = QFile::exists(targetPath);
    const QFile::Permissions previousPermissions = QFile::permissions(targetPath);
    if (backupsOn && replaced)
        moveToBackup(targetPath, backupPath);

    report(Log::Info, tr("Распаковка файла '%1'").arg(targetPath));
    QFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        report(Log::Error,
            tr("Не удалось открыть файл '%1': (%2) %3")
                .arg(targetPath, number(file.error()), file.errorString()));
        return false;
    }
    // Where permissions cannot be set they stay as created; the content is what matters.
    file.setPermissions(
        installedPermissions(file.permissions(), replaced, previousPermissions, header.mode()));
    if (size == 0) {
        file.close();
        return true;
    }

    QDataStream out(&file);
    char block[TinyTarHeader::recordSize];
    quint64 remaining = size;
    while (remaining > 0 && out.status() == QDataStream::Ok) {
        const int read = tar.readRawData(block, TinyTarHeader::recordSize);
        const int wanted = int(std::min<quint64>(remaining, TinyTarHeader::recordSize));
        const int usable = qBound(0, read, wanted);
        if (usable > 0)
            out.writeRawData(block, usable);
        // The package ends inside this file: nothing is written beyond what it holds, so a
        // forged size cannot fill the disk; the missing end records fail the installation.
        if (usable < wanted)
            break;
        remaining -= quint64(usable);
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
    }
}
