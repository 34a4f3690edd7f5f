#include "pathkey.h"

#include <QDir>

QString filePathKey(const QString &absolutePath)
{
    return QDir::cleanPath(absolutePath);
}
