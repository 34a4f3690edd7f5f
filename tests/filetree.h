#ifndef FILETREE_H
#define FILETREE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <initializer_list>

// A file's content as tree() shows it: short text as it is, anything else by size and hash.
QString describe(const QByteArray &content);
// "dir/" for each directory, "file=content" for each file and "link->target" for each link below
// root, sorted; entries whose first component is in skip are left out.
QStringList tree(const QString &root, const QStringList &skip = QStringList());
// Makes entries below root: "dir/", "file=content", "file=#size" (pattern data), "link->target"
// (the target as written, relative to the link's directory) or "fifo|"; false at the first failure.
bool makeTree(const QString &root, const QStringList &entries);
// UTF-8 literals as a QStringList.
QStringList list(std::initializer_list<const char *> items);

#endif // FILETREE_H
