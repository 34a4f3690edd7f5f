#include "entryname.h"

namespace {

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
    bool endsInDirectory = false;
    qsizetype start = 0;
    while (start <= name.size()) {
        qsizetype stop = start;
        while (stop < name.size() && !isSeparator(name.at(stop)))
            ++stop;
        const QString component = name.mid(start, stop - start);
        start = stop + 1;
        endsInDirectory = component.isEmpty() || component == QLatin1String(".");
        if (endsInDirectory)
            continue;
        if (component == QLatin1String("..") || !isAcceptableComponent(component))
            return false;
        namesSomething = true;
    }
    // "a/" and "a/." name a directory, which no file can be written as.
    return isDirectory || (namesSomething && !endsInDirectory);
}
