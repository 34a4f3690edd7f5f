#include "flushlist.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {

QString systemError(const char *call, const QString &path, int error)
{
    return QStringLiteral("%1('%2'): %3")
        .arg(QLatin1String(call), path, QString::fromLocal8Bit(std::strerror(error)));
}

} // namespace

struct FlushList::Private
{
    // One open directory per file system. It is opened when the first directory there is added,
    // before most of the writing, since syncfs() reports the write-back errors that occurred
    // after its descriptor was opened.
    struct FileSystem
    {
        int fd;
        QString path;
    };
    QHash<dev_t, FileSystem> fileSystems;
    QSet<QString> directories;
    QString firstError;

    void closeAll()
    {
        for (const FileSystem &fs : std::as_const(fileSystems))
            ::close(fs.fd);
        fileSystems.clear();
        directories.clear();
    }
};

FlushList::FlushList() : d(std::make_unique<Private>()) { }

FlushList::~FlushList()
{
    d->closeAll();
}

void FlushList::addFile(const QString &path)
{
    addDirectory(QFileInfo(path).absolutePath());
}

void FlushList::addDirectory(const QString &path)
{
    if (d->directories.contains(path))
        return;
    d->directories.insert(path);

    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        if (d->firstError.isEmpty())
            d->firstError = systemError("open", path, error);
        return;
    }
    if (d->fileSystems.contains(status.st_dev)) {
        ::close(fd);
        return;
    }
    d->fileSystems.insert(status.st_dev, Private::FileSystem { fd, path });
}

bool FlushList::flush(QString *errorText)
{
    QString error = d->firstError;
    for (const Private::FileSystem &fs : std::as_const(d->fileSystems)) {
        if (::syncfs(fs.fd) != 0 && error.isEmpty())
            error = systemError("syncfs", fs.path, errno);
    }
    d->closeAll();
    d->firstError.clear();
    if (error.isEmpty())
        return true;
    if (errorText)
        *errorText = error;
    return false;
}
