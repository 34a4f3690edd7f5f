#include "protectedfile.h"

#include <QDir>

ProtectedFile::ProtectedFile(const QString &directory, const QString &name, qint64 maxSize)
    : directory(directory), name(name), maxSize(maxSize)
{
}

QString ProtectedFile::path() const
{
    return QDir(directory).absoluteFilePath(name);
}

ProtectedFile::Result ProtectedFile::read()
{
    content.clear();
    why.clear();
    return readFile();
}

ProtectedFile::Result ProtectedFile::fail(Result result, const QString &reason)
{
    content.clear();
    why = reason;
    return result;
}
