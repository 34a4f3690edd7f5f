#ifndef SOURCETREE_H
#define SOURCETREE_H

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// One entry of a package to build.
struct SourceEntry
{
    QString name; // relative, with '/', directories ending in '/'
    QString path; // on disk
    bool isDirectory = false;
    qint64 size = 0;
};

// Lists a directory tree as the entries of a package the installer reads exactly: every
// directory before its contents, sorted, and only what every installation can hold.
class SourceTree
{
public:
    // True when the whole tree can be packed; otherwise problems() names every item that cannot,
    // so that one run shows all of them.
    [[nodiscard]] bool scan(const QString &root);

    QList<SourceEntry> entries() const { return list; }
    QStringList problems() const { return refused; }

private:
    void scanDirectory(const QString &path, const QString &prefix);
    void addEntry(const SourceEntry &entry);

    QList<SourceEntry> list;
    QStringList refused;
    QHash<QString, QString> folded; // lower-case name -> name
    qint64 tarSize = 0;
};

#endif // SOURCETREE_H
