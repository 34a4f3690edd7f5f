#ifndef STAGINGAREA_H
#define STAGINGAREA_H

#include "confinedtree.h"

#include <QString>

// Where the installer writes the files of a package while the package is still being
// decompressed and checked: a directory of its own beside the installation's journal (the backup
// tree's path, or without backups the target's, with ".staging" added), holding each file under
// the offset of its entry in the tar stream. Nothing there is part of the tree: a staged file
// joins the tree only by a rename, once the whole package has proved sound, and whatever is left
// goes after every installation, failed or not, and at the next start after a kill. It is used
// only where that rename can be made: on the target's file system.
class StagingArea
{
public:
    StagingArea(const QString &target, const QString &backup);

    static QString pathFor(const QString &target, const QString &backup);

    // Removes what an earlier installation left there and makes the directory anew. False when it
    // cannot be made, or would lie on another file system than targetTree's root: then nothing is
    // staged.
    [[nodiscard]] bool open(ConfinedTree &targetTree);
    bool isOpen() const { return opened; }

    // Creates the staged file of the entry at offset, or adds to it.
    [[nodiscard]] bool create(
        qint64 offset, const char *data, qint64 size, int permissions, int extraPermissions);
    [[nodiscard]] bool append(qint64 offset, const char *data, qint64 size);
    // Removes one staged file (one that could not be finished).
    void drop(qint64 offset);
    // Moves the staged file of the entry at offset to name in tree.
    [[nodiscard]] bool moveTo(qint64 offset, ConfinedTree &tree, const QString &name);
    ConfinedTree::Error error() const { return parent.error(); }

    // Removes the directory with everything in it; true when nothing is left.
    [[nodiscard]] bool remove();
    // The same for the area an installation into target left, when there is one.
    [[nodiscard]] static bool removeLeftovers(const QString &target, const QString &backup);

private:
    QString fileName(qint64 offset) const;

    const QString path;
    const QString name; // the directory's name in its parent
    ConfinedTree parent;
    bool opened = false;
};

#endif // STAGINGAREA_H
