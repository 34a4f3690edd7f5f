#include "filetree.h"

#include "links.h"
#include "tarbuilder.h"
#include "testutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>

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
        // The target as seen from the link's directory: a link restored pointing elsewhere is
        // another link.
        if (it.fileInfo().isSymLink())
            entries << name + QLatin1String("->")
                    + QDir(it.fileInfo().absolutePath())
                          .relativeFilePath(it.fileInfo().symLinkTarget());
        else if (it.fileInfo().isDir())
            entries << name + QLatin1Char('/');
        else
            entries << name + QLatin1Char('=') + describe(readFile(path));
    }
    entries.sort();
    return entries;
}

bool makeTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int equals = entry.indexOf(QLatin1Char('='));
        const int arrow = entry.indexOf(QLatin1String("->"));
        const bool link = arrow >= 0 && (equals < 0 || arrow < equals);
        const QString name =
            root + QLatin1Char('/') + entry.left(link ? arrow : equals).remove(QLatin1Char('|'));
        if (!QDir().mkpath(entry.endsWith(QLatin1Char('/')) ? name : QFileInfo(name).path()))
            return false;
        bool made = true;
        if (entry.endsWith(QLatin1Char('|'))) {
            made = QProcess::execute(QStringLiteral("mkfifo"), { name }) == 0;
        } else if (link) {
            made = makeLink(entry.mid(arrow + 2), name);
        } else if (equals >= 0) {
            const QString content = entry.mid(equals + 1);
            made = writeFile(name,
                content.startsWith(QLatin1Char('#')) ? patternData(content.mid(1).toInt())
                                                     : content.toUtf8());
        }
        if (!made)
            return false;
    }
    return true;
}

QStringList list(std::initializer_list<const char *> items)
{
    QStringList strings;
    for (const char *item : items)
        strings << QString::fromUtf8(item);
    return strings;
}
