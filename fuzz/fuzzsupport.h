#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// Once per process: the application object (sockets and codecs expect one), a scratch directory
// on a memory file system, and the log switched on at its most verbose level with its file
// pointing at /dev/null, so every report is formatted and encoded but nothing piles up.
void initFuzzing(int *argc, char ***argv);

// A directory of our own for the whole run, under /dev/shm when it exists; removed at exit.
QString scratchDirectory();

// Ends the run with a message: libFuzzer saves the input that got us here.
[[noreturn]] void fuzzFailure(const char *what);

inline QByteArray fuzzBytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Writes bytes to path, replacing it; a failure ends the run (the harness is broken, not the code).
void writeScratchFile(const QString &path, const QByteArray &bytes);

#endif // FUZZSUPPORT_H
