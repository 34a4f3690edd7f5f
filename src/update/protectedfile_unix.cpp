#include "protectedfile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A descriptor that is closed when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) { }
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd; }

private:
    const int fd;
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

ProtectedFile::Result ProtectedFile::readFile()
{
    const QString directoryPath = QDir(directory).absolutePath();
    const QString filePath = path();
    // Who may change what we read: root, and we ourselves (changing it takes our rights anyway).
    const auto unsafe = [&](const QString &shown, const struct stat &status) {
        if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
            return fail(Unsafe,
                tr("владелец '%1' — не root и не пользователь программы (uid %2)")
                    .arg(shown)
                    .arg(status.st_uid));
        }
        if (status.st_mode & (S_IWGRP | S_IWOTH)) {
            return fail(Unsafe,
                tr("'%1' могут изменить группа или другие пользователи (права %2)")
                    .arg(shown)
                    .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0')));
        }
        return Read;
    };

    // The file is opened relative to the directory checked, and read through its descriptor.
    const Descriptor folder(
        ::open(QFile::encodeName(directoryPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        const int error = errno;
        if (error == ENOENT)
            return Absent;
        return fail(Unreadable, tr("'%1' не прочитан: %2").arg(directoryPath, systemError(error)));
    }
    const Descriptor file(::openat(folder.get(), QFile::encodeName(name).constData(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        if (error == ENOENT)
            return Absent;
        if (error == ELOOP)
            return fail(Unsafe, tr("'%1' является ссылкой").arg(filePath));
        return fail(Unreadable, tr("'%1' не прочитан: %2").arg(filePath, systemError(error)));
    }
    struct stat status = {};
    if (::fstat(folder.get(), &status) != 0)
        return fail(Unreadable, tr("'%1' не прочитан: %2").arg(directoryPath, systemError(errno)));
    if (unsafe(directoryPath, status) != Read)
        return Unsafe;
    if (::fstat(file.get(), &status) != 0)
        return fail(Unreadable, tr("'%1' не прочитан: %2").arg(filePath, systemError(errno)));
    if (!S_ISREG(status.st_mode))
        return fail(Unsafe, tr("'%1' не является обычным файлом").arg(filePath));
    if (unsafe(filePath, status) != Read)
        return Unsafe;
    if (status.st_size > maxSize)
        return fail(Unreadable, tr("'%1' больше %2 байт").arg(filePath).arg(maxSize));

    content.resize(int(status.st_size));
    qint64 done = 0;
    while (done < content.size()) {
        const ssize_t got =
            ::read(file.get(), content.data() + done, size_t(content.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return fail(Unreadable, tr("'%1' не прочитан: %2").arg(filePath, systemError(errno)));
        if (got == 0)
            break;
        done += got;
    }
    content.truncate(int(done));
    return Read;
}
