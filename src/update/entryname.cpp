#include "entryname.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Like the kernel's limit on links followed in one lookup: a longer chain is taken for a loop.
constexpr int maxLinkDepth = 40;

bool isSeparator(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

bool isControl(QChar c)
{
    const ushort u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u < 0xa0);
}

// Windows opens the device instead of a file for these, whatever the extension or directory.
bool isDeviceName(const QString &component)
{
    // Every device name has at most four letters, and upper case never makes a name shorter:
    // longer names are let go before anything is copied.
    qsizetype length = component.indexOf(QLatin1Char('.'));
    if (length < 0)
        length = component.size();
    while (length > 0 && component.at(length - 1) == QLatin1Char(' '))
        --length;
    if (length > 4)
        return false;

    QString base = component.left(component.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    base = base.toUpper();
    if (base == QLatin1String("CON") || base == QLatin1String("PRN") || base == QLatin1String("AUX")
        || base == QLatin1String("NUL")) {
        return true;
    }
    if (base.size() != 4
        || !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT")))) {
        return false;
    }
    // Windows also takes the superscript digits 1, 2 and 3 as port numbers.
    const QChar digit = base.at(3);
    return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00b9)
        || digit == QChar(0x00b2) || digit == QChar(0x00b3);
}

bool isAcceptableComponent(const QString &component)
{
    // A colon would name a drive or an alternate data stream on Windows; Windows drops trailing
    // dots and blanks, so "a." would silently become "a" there.
    return !component.contains(QLatin1Char(':')) && !component.endsWith(QLatin1Char('.'))
        && !component.endsWith(QLatin1Char(' ')) && !isDeviceName(component);
}

QString joined(const QString &directory, const QString &name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

bool isWithin(const QString &path, const QString &root)
{
    if (path.isEmpty())
        return false;
    // Against the root plus a separator: "/opt/app-x" is not within "/opt/app".
    return path == root || path.startsWith(joined(root, QString()));
}

// Where an absolute path leads once every link on it is followed; empty when that cannot be
// told (a link loop, a link whose target cannot be read).
QString resolvedLocation(const QString &path, int depth = 0)
{
    if (depth > maxLinkDepth)
        return QString();
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    if (info.isSymbolicLink() || info.isJunction()) {
        // A dangling link: writing to it would create its target.
        const QString target = info.symLinkTarget();
        return target.isEmpty() ? QString() : resolvedLocation(target, depth + 1);
    }
    const QString parent = info.absolutePath();
    if (parent == info.absoluteFilePath())
        return parent;
    const QString resolvedParent = resolvedLocation(parent, depth);
    return resolvedParent.isEmpty() ? QString() : joined(resolvedParent, info.fileName());
}

} // namespace

bool isAcceptableEntryName(const QString &name, bool isDirectory)
{
    if (name.isEmpty())
        return isDirectory;
    if (isSeparator(name.at(0)))
        return false;
    for (const QChar c : name) {
        if (isControl(c))
            return false;
    }

    bool namesSomething = false;
    qsizetype start = 0;
    while (start <= name.size()) {
        qsizetype stop = start;
        while (stop < name.size() && !isSeparator(name.at(stop)))
            ++stop;
        const QString component = name.mid(start, stop - start);
        start = stop + 1;
        if (component.isEmpty() || component == QLatin1String("."))
            continue;
        if (component == QLatin1String("..") || !isAcceptableComponent(component))
            return false;
        namesSomething = true;
    }
    return namesSomething || isDirectory;
}

bool staysWithinTree(const QString &root, const QString &name)
{
    return TreeBoundary(root).contains(name);
}

TreeBoundary::TreeBoundary(const QString &root)
    : rootPath(QDir(root).absolutePath()), rootLocation(resolvedLocation(rootPath))
{
}

bool TreeBoundary::contains(const QString &name)
{
    if (rootLocation.isEmpty())
        return false;

    // Only this platform's separators matter here: the links are on this file system.
    const QString relative = QDir::fromNativeSeparators(name);
    QString path = rootPath;
    qsizetype start = 0;
    while (start < relative.size()) {
        qsizetype stop = relative.indexOf(QLatin1Char('/'), start);
        if (stop < 0)
            stop = relative.size();
        const QString component = relative.mid(start, stop - start);
        start = stop + 1;
        if (component.isEmpty() || component == QLatin1String("."))
            continue;
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        path += component;
        if (plainPaths.contains(path))
            continue;
        const QFileInfo info(path);
        if (info.isSymbolicLink() || info.isJunction()) {
            if (!isWithin(resolvedLocation(path), rootLocation))
                return false;
        } else if (info.exists()) {
            plainPaths.insert(path);
        } else {
            break; // nothing below a missing component exists either
        }
    }
    return true;
}
