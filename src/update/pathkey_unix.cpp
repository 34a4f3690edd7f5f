#include "pathkey.h"

#include <QDir>

QString filePathKey(const QString &path)
{
    return QDir::cleanPath(path);
}
