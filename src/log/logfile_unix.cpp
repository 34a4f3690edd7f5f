#include "logfile.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>

bool Log::appendToFile(const QString &path, const QByteArray &bytes)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!file)
        return false;
    const bool written = std::fputs(bytes.constData(), file) >= 0;
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return written && flushed && closed;
}
