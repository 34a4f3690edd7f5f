#include "programfile.h"

#include <QDir>
#include <QFileInfo>

QString programDirectoryPath(const QString &path)
{
    const QString directory = QDir::currentPath();
    if (path.isEmpty() || !QDir::isRelativePath(path) || !QFileInfo(directory).isDir())
        return path;
    return QDir::cleanPath(QDir(directory).absoluteFilePath(path));
}
