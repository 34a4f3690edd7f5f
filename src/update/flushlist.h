#ifndef FLUSHLIST_H
#define FLUSHLIST_H

#include <QString>

#include <memory>

// The files and directories an installation wrote, flushed to stable storage in one go before
// the program restarts into them, so that a power cut right after an update leaves no
// half-written program files. On Linux one syncfs() per file system covers every file and
// directory entry there (far cheaper than an fsync() per file); on Windows each file and
// directory is flushed with FlushFileBuffers.
class FlushList
{
public:
    FlushList();
    ~FlushList();

    FlushList(const FlushList &) = delete;
    FlushList &operator=(const FlushList &) = delete;

    // A file whose content was written (its directory's entry changed too).
    void addFile(const QString &path);
    // A directory whose entries changed: created, or a file created, moved in or out.
    void addDirectory(const QString &path);

    // Flushes everything added since the last flush. False when anything could not be flushed;
    // errorText then tells what and why.
    [[nodiscard]] bool flush(QString *errorText);

private:
    struct Private;
    const std::unique_ptr<Private> d;
};

#endif // FLUSHLIST_H
