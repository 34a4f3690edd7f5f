#include "logfile.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

bool Log::appendToFile(const QString &path, const char *line)
{
    // Text mode: every "\n" is stored as CR LF. The wide variant opens any path the file
    // system can hold, not only those of the ANSI code page.
    FILE *file = nullptr;
    if (_wfopen_s(&file, reinterpret_cast<const wchar_t *>(path.utf16()), L"a") != 0 || !file)
        return false;
    const bool written = std::fputs(line, file) >= 0;
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return written && flushed && closed;
}
