#include "logfile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>

bool Log::appendToFile(const QString &path, const char *line)
{
    // Every line goes to the same path: encode it once, not once a line.
    static QString encodedPath;
    static QByteArray encoded;
    if (path != encodedPath || encoded.isEmpty()) {
        encoded = QFile::encodeName(path);
        encodedPath = path;
    }
    FILE *file = std::fopen(encoded.constData(), "a");
    if (!file)
        return false;
    const bool written = std::fputs(line, file) >= 0;
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return written && flushed && closed;
}
