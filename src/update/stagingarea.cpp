#include "stagingarea.h"

#include "installjournal.h"

#include <QDir>
#include <QFileInfo>

StagingArea::StagingArea(const QString &target, const QString &backup)
    : path(pathFor(target, backup)),
      name(QFileInfo(path).fileName()),
      parent(QFileInfo(path).absolutePath())
{
}

QString StagingArea::pathFor(const QString &target, const QString &backup)
{
    QString journal = InstallJournal::pathFor(target, backup);
    journal.chop(int(qstrlen(".journal")));
    return journal + QLatin1String(".staging");
}

QString StagingArea::fileName(qint64 offset) const
{
    return name + QLatin1Char('/') + QString::number(offset);
}

bool StagingArea::open(ConfinedTree &targetTree)
{
    opened = false;
    if (!remove() || !parent.makePath(name))
        return false;
    // A staged file must reach its place by a rename; between file systems it would be a copy,
    // which writing late does no slower.
    opened =
        parent.sameFileSystem(targetTree) && parent.status(name).kind == ConfinedTree::Directory;
    if (!opened)
        static_cast<void>(remove());
    return opened;
}

bool StagingArea::create(
    qint64 offset, const char *data, qint64 size, int permissions, int extraPermissions)
{
    return parent.createFile(fileName(offset), data, size, permissions, extraPermissions, false);
}

bool StagingArea::append(qint64 offset, const char *data, qint64 size)
{
    return parent.appendFile(fileName(offset), QByteArray::fromRawData(data, int(size)), false);
}

void StagingArea::drop(qint64 offset)
{
    static_cast<void>(parent.remove(fileName(offset)));
}

bool StagingArea::moveTo(qint64 offset, ConfinedTree &tree, const QString &to)
{
    return parent.moveTo(fileName(offset), tree, to);
}

bool StagingArea::remove()
{
    opened = false;
    const ConfinedTree::Kind kind = parent.status(name).kind;
    if (kind == ConfinedTree::Missing)
        return true;
    // Only our own directory is emptied; a link standing in its place is left alone, and every
    // removal below goes through the directory opened without following links.
    if (kind != ConfinedTree::Directory)
        return false;
    const QStringList files =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &file : files)
        static_cast<void>(parent.remove(name + QLatin1Char('/') + file));
    parent.closeDirectories();
    return parent.removeDirectory(name);
}

bool StagingArea::removeLeftovers(const QString &target, const QString &backup)
{
    StagingArea area(target, backup);
    return area.remove();
}
