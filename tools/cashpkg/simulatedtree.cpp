#include "simulatedtree.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <utility>

namespace {

QString clean(const QString &path)
{
    return QDir::cleanPath(path);
}

} // namespace

SimulatedTree::SimulatedTree(bool readsDisk) : readsDisk(readsDisk) { }

QString SimulatedTree::parentOf(const QString &path)
{
    const QString cleaned = clean(path);
    const int slash = int(cleaned.lastIndexOf(QLatin1Char('/')));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : cleaned.left(slash);
}

SimulatedTree::Kind SimulatedTree::kind(const QString &path) const
{
    const QString cleaned = clean(path);
    const auto found = changed.constFind(cleaned);
    if (found != changed.constEnd())
        return found.value();
    // The nearest ancestor the simulation changed decides whether the disk still counts.
    QString up = cleaned;
    forever {
        const QString next = parentOf(up);
        if (next.isEmpty() || next == up)
            break;
        up = next;
        const auto above = changed.constFind(up);
        if (above == changed.constEnd())
            continue;
        if (above.value() != Directory || fullyKnown.contains(up))
            return Missing;
        break;
    }
    if (!readsDisk)
        return Unknown;
    // A link counts as a file: the installer replaces it like one and never follows it.
    const QFileInfo info(cleaned);
    if (info.isSymLink() || info.isJunction())
        return File;
    if (info.isDir())
        return Directory;
    return info.exists() ? File : Missing;
}

void SimulatedTree::set(const QString &path, Kind kind, bool knownContents)
{
    const QString cleaned = clean(path);
    // Whatever was recorded below a directory that changes is gone with it; only a directory
    // can have anything recorded below it.
    if (this->kind(cleaned) == Directory) {
        const QString below = cleaned + QLatin1Char('/');
        for (auto it = changed.begin(); it != changed.end();) {
            if (it.key().startsWith(below))
                it = changed.erase(it);
            else
                ++it;
        }
    }
    fullyKnown.remove(cleaned);
    changed.insert(cleaned, kind);
    if (knownContents)
        fullyKnown.insert(cleaned);
}

bool SimulatedTree::makePath(const QString &path)
{
    const QString cleaned = clean(path);
    QStringList missing;
    QString existing = cleaned;
    forever {
        const Kind k = kind(existing);
        if (k == File)
            return false;
        if (k == Directory)
            break;
        if (k == Unknown) {
            assumeDirectory(existing);
            break;
        }
        missing.prepend(existing);
        const QString up = parentOf(existing);
        if (up.isEmpty() || up == existing)
            break;
        existing = up;
    }
    for (const QString &directory : std::as_const(missing))
        set(directory, Directory, true);
    return true;
}

bool SimulatedTree::removeFile(const QString &path)
{
    if (kind(path) != File)
        return false;
    set(path, Missing, false);
    return true;
}

bool SimulatedTree::rename(const QString &from, const QString &to)
{
    const Kind moved = kind(from);
    if ((moved != File && moved != Directory) || kind(to) != Missing
        || kind(parentOf(to)) != Directory) {
        return false;
    }
    set(from, Missing, false);
    // What a moved directory holds no later step can reach by name; it counts as empty.
    set(to, moved, true);
    return true;
}

void SimulatedTree::addFile(const QString &path)
{
    set(path, File, false);
}

void SimulatedTree::assumeDirectory(const QString &path)
{
    set(path, Directory, false);
}
