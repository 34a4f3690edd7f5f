#ifndef CONFINEDTREE_H
#define CONFINEDTREE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// A directory tree that is changed only through paths relative to its root, none of which ever
// follows a link below the root: every directory on a path is opened on its own and refused when
// it is a symbolic link (on Windows also a junction or any other reparse point), and each file is
// created, moved and removed relative to the directory opened for it. A directory swapped for a
// link between two operations is therefore refused, never followed. The root is taken as given.
// Paths use '/' (and on Windows '\' too); empty and "." components are skipped and ".." must not
// occur. Every operation returns false on failure and leaves the reason in error().
class ConfinedTree
{
public:
    enum Kind {
        Missing, // nothing there, or a file where a directory of the path should be
        File,
        Directory,
        Link, // a symbolic link (or reparse point) itself, never what it leads to
        Other, // a device, a fifo, a socket
        Blocked, // a link stands where a directory of the path should be
    };

    struct Status
    {
        Kind kind = Missing;
        int permissions = 0; // the rwx bits of a file (0777 at most); 0 where there are none
        qint64 size = 0;
    };

    struct Error
    {
        int code = 0; // the system's error number (errno, or GetLastError() on Windows)
        bool blocked = false; // a link was refused on the way
        bool crossDevice = false; // a move between two file systems, which needs a copy
        // No second name can be given to it here (a file system without hard links, or a file
        // of another user where the system protects those): a copy does the same.
        bool noLink = false;
        // It can be renamed, but neither given a second name nor replaced: on Windows a running
        // program, a loaded library or a read-only file.
        bool renameOnly = false;
        QString text; // the system's text for it
    };

    explicit ConfinedTree(const QString &root);
    ~ConfinedTree();

    ConfinedTree(const ConfinedTree &) = delete;
    ConfinedTree &operator=(const ConfinedTree &) = delete;

    QString root() const;
    // The root joined with path, for messages and for flushing.
    QString absolutePath(const QString &path) const;
    // The directories opened on the way stay open for the next operations, until this: after it,
    // each path is opened again from the root, and a link that took a directory's place meanwhile
    // is refused. (While held, a directory swapped away is still the one written to: never the
    // link.)
    void closeDirectories();

    // What stands at path, without following a link there. Never fails: whatever cannot be
    // looked at counts as missing.
    Status status(const QString &path);

    // Creates the directory path and every missing one above it (the root too, when it is
    // missing); created, when given, receives the ones made, outermost first ("" for the root).
    // An existing directory counts as success.
    [[nodiscard]] bool makePath(const QString &path, QStringList *created = nullptr);
    // Creates a new file (never an existing one) holding data. permissions >= 0 sets its rwx
    // bits; otherwise extraPermissions are added to those it was created with. sync: its data
    // reaches the disk before this returns. On failure *writing tells whether the file could not
    // be created (false) or not written (true); a file that could not be written is removed.
    [[nodiscard]] bool createFile(const QString &path, const char *data, qint64 size,
        int permissions, int extraPermissions, bool sync, bool *writing = nullptr);
    // Appends to an existing file, and with sync flushes it to the disk.
    [[nodiscard]] bool appendFile(const QString &path, const QByteArray &data, bool sync);
    // Reads a whole regular file of at most maxSize bytes.
    [[nodiscard]] bool readFile(const QString &path, QByteArray *data, qint64 maxSize);
    // Removes a file or a link (never what it leads to), or an empty directory.
    [[nodiscard]] bool remove(const QString &path);
    [[nodiscard]] bool removeDirectory(const QString &path);
    // Flushes a directory's entries (files created, moved or removed in it) to the disk.
    [[nodiscard]] bool syncDirectory(const QString &path);
    // The link's own target text, and a new link.
    [[nodiscard]] bool readLink(const QString &path, QString *target);
    [[nodiscard]] bool makeLink(const QString &path, const QString &target);
    // Bytes an unprivileged writer may still use on the root's file system; -1 when unknown.
    qint64 availableSpace();
    // True when both roots lie on the same file system, so that a move between them is a rename.
    bool sameFileSystem(ConfinedTree &other);

    // Moves from to to in toTree (which may be this tree); to must not exist: nothing is ever
    // moved over anything. Between file systems it fails with error().crossDevice.
    [[nodiscard]] bool moveTo(const QString &from, ConfinedTree &toTree, const QString &to);
    // Like moveTo, but a file or link at to is replaced in the same step: to names the one or
    // the other at every moment.
    [[nodiscard]] bool replace(const QString &from, ConfinedTree &toTree, const QString &to);
    // Gives the file at from (or the link itself) the second name to in toTree, a hard link,
    // while it keeps its own; to must not exist. Fails with error().crossDevice, noLink or
    // renameOnly where that cannot be done.
    [[nodiscard]] bool linkTo(const QString &from, ConfinedTree &toTree, const QString &to);
    // Whether path and otherPath in other are two names of one file.
    bool sameFile(const QString &path, ConfinedTree &other, const QString &otherPath);

    // Why the last operation failed.
    Error error() const;
    // The system's error for opening a directory as a file to write.
    static Error directoryError();

private:
    struct Private;
    const std::unique_ptr<Private> d;
};

#endif // CONFINEDTREE_H
