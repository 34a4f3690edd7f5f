#include "filetree.h"

#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>

#include <algorithm>

QString describe(const QByteArray &content)
{
    const bool text = content.size() <= 40
        && std::all_of(content.begin(), content.end(), [](char c) { return c >= ' ' && c < 127; });
    if (text)
        return QString::fromLatin1(content);
    return QStringLiteral("<%1 bytes %2>")
        .arg(content.size())
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex().left(8)));
}

QStringList tree(const QString &root, const QStringList &skip)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(root).relativeFilePath(path);
        if (skip.contains(name.section(QLatin1Char('/'), 0, 0)))
            continue;
        if (it.fileInfo().isSymLink())
            entries << name + QLatin1String("->");
        else if (it.fileInfo().isDir())
            entries << name + QLatin1Char('/');
        else
            entries << name + QLatin1Char('=') + describe(readFile(path));
    }
    entries.sort();
    return entries;
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList strings;
    for (const char *item : items)
        strings << QString::fromUtf8(item);
    return strings;
}
