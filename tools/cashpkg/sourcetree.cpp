#include "sourcetree.h"

#include "tarrecord.h"
#include "update/entryname.h"
#include "update/inflatearchive.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

qint64 paddedSize(qint64 size)
{
    return (size + TarRecord::size - 1) / TarRecord::size * TarRecord::size;
}

} // namespace

bool SourceTree::scan(const QString &root)
{
    *this = SourceTree();
    const QFileInfo info(root);
    if (!info.isDir()) {
        refused << QStringLiteral("'%1' is not a directory").arg(QDir::toNativeSeparators(root));
        return false;
    }
    tarSize = 2 * TarRecord::size; // the end records
    scanDirectory(info.absoluteFilePath(), QString());
    if (tarSize > maxInflatedArchiveSize) {
        refused << QStringLiteral("the package would hold %1 bytes of tar; the installer reads at "
                                  "most %2")
                       .arg(tarSize)
                       .arg(maxInflatedArchiveSize);
    }
    return refused.isEmpty();
}

void SourceTree::scanDirectory(const QString &path, const QString &prefix)
{
    const QDir dir(path);
    if (!dir.isReadable()) {
        refused << QStringLiteral("'%1' cannot be read")
                       .arg(prefix.isEmpty() ? QDir::toNativeSeparators(path) : prefix);
        return;
    }
    // System: broken links, sockets and fifos are listed too, so that they can be refused.
    QFileInfoList children =
        dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    // Sorted by UTF-16 code units, never by locale, so that every machine gives the same order.
    std::sort(children.begin(), children.end(),
        [](const QFileInfo &a, const QFileInfo &b) { return a.fileName() < b.fileName(); });

    for (const QFileInfo &child : std::as_const(children)) {
        SourceEntry entry;
        entry.path = child.filePath();
        entry.name = prefix + child.fileName();
        if (child.isSymbolicLink() || child.isJunction()) {
            refused << QStringLiteral("'%1' is a link; the installer can only hold regular files "
                                      "and directories")
                           .arg(entry.name);
            continue;
        }
        if (child.isDir()) {
            entry.isDirectory = true;
            entry.name += QLatin1Char('/');
            addEntry(entry);
            scanDirectory(child.filePath(), entry.name);
        } else if (child.isFile()) {
            entry.size = child.size();
            addEntry(entry);
        } else {
            refused << QStringLiteral("'%1' is not a regular file").arg(entry.name);
        }
    }
}

void SourceTree::addEntry(const SourceEntry &entry)
{
    const QByteArray bytes = entry.name.toUtf8();
    if (bytes.size() > TarRecord::nameWidth) {
        refused << QStringLiteral("'%1' is %2 bytes long; a name holds at most %3")
                       .arg(entry.name)
                       .arg(bytes.size())
                       .arg(TarRecord::nameWidth);
    } else if (!isAcceptableEntryName(entry.name, entry.isDirectory)) {
        refused << QStringLiteral("'%1' is a name the installer refuses (a device name, ':', or "
                                  "a trailing dot or blank)")
                       .arg(entry.name);
    } else if (entry.name.contains(QLatin1Char('\\'))) {
        refused << QStringLiteral("'%1' holds '\\', which Windows takes for a separator")
                       .arg(entry.name);
    }

    QString key = entry.name.toLower();
    if (key.endsWith(QLatin1Char('/')))
        key.chop(1);
    const auto other = folded.constFind(key);
    if (other != folded.constEnd()) {
        refused << QStringLiteral("'%1' and '%2' differ only in letter case; on Windows they are "
                                  "the same file")
                       .arg(other.value(), entry.name);
    } else {
        folded.insert(key, entry.name);
    }

    tarSize += TarRecord::size + paddedSize(entry.size);
    list.append(entry);
}
