#include "confinedtree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Directories kept open between closeDirectories() calls, at most: beyond, all are closed.
constexpr int heldLimit = 256;
// Larger writes are split: some systems refuse a single write of 2 GiB or more.
constexpr qint64 writeStep = qint64(1) << 30;

// A file descriptor that is closed when it goes out of scope, unless it is only borrowed (the
// root's, which most paths of a flat tree start from).
class Descriptor
{
public:
    explicit Descriptor(int fd = -1, bool owned = true) : fd(fd), owned(owned) { }
    ~Descriptor()
    {
        if (fd >= 0 && owned)
            ::close(fd);
    }
    Descriptor(Descriptor &&other) noexcept
        : fd(std::exchange(other.fd, -1)), owned(other.owned) { }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(fd, other.fd);
        std::swap(owned, other.owned);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    int release() { return std::exchange(fd, -1); }

private:
    int fd;
    bool owned;
};

QStringList components(const QString &path)
{
    QStringList parts;
    const QStringList split = path.split(QLatin1Char('/'));
    for (const QString &part : split) {
        if (!part.isEmpty() && part != QLatin1String("."))
            parts << part;
    }
    return parts;
}

// ".." would climb out of the tree: never taken, whoever wrote the path.
bool climbs(const QStringList &parts)
{
    return parts.contains(QLatin1String(".."));
}

ConfinedTree::Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return ConfinedTree::File;
    if (S_ISDIR(mode))
        return ConfinedTree::Directory;
    return S_ISLNK(mode) ? ConfinedTree::Link : ConfinedTree::Other;
}

} // namespace

struct ConfinedTree::Private
{
    QString root;
    QDir absoluteRoot;
    Descriptor rootFd;
    Error lastError;
    // Directories opened since closeDirectories(), by their path below the root.
    QHash<QString, int> held;

    ~Private() { closeHeld(); }

    void closeHeld()
    {
        for (const int fd : std::as_const(held))
            ::close(fd);
        held.clear();
    }

    // Whatever was held at path or below it has gone (moved or removed) and is let go.
    void forget(const QString &path)
    {
        const QString below = path + QLatin1Char('/');
        for (auto it = held.begin(); it != held.end();) {
            if (it.key() == path || it.key().startsWith(below)) {
                ::close(it.value());
                it = held.erase(it);
            } else {
                ++it;
            }
        }
    }

    bool fail(int code, bool blocked = false)
    {
        lastError = Error();
        lastError.code = code;
        lastError.blocked = blocked;
        lastError.crossDevice = code == EXDEV;
        lastError.text = QString::fromLocal8Bit(std::strerror(code));
        return false;
    }

    bool openRoot()
    {
        // The root is trusted as given: links up to it are followed.
        rootFd = Descriptor(
            ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return rootFd.isValid() || fail(errno);
    }

    // Opens one directory below base without following a link; a failure tells whether a link
    // stood there.
    Descriptor openBelow(int base, const QByteArray &name)
    {
        Descriptor next(::openat(base, name.constData(), directoryFlags));
        if (!next.isValid()) {
            const int code = errno;
            struct stat status = {};
            const bool link = ::fstatat(base, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISLNK(status.st_mode);
            fail(code, link);
        }
        return next;
    }

    // The directory made of the first count parts, opened one by one from the root (or from
    // the deepest of them held open since closeDirectories()). The result is borrowed.
    Descriptor openDirectory(const QStringList &parts, int count)
    {
        if (climbs(parts)) {
            fail(EINVAL);
            return Descriptor();
        }
        if (!rootFd.isValid() && !openRoot())
            return Descriptor();
        if (held.size() > heldLimit)
            closeHeld();
        int start = count;
        QString key = QStringList(parts.mid(0, count)).join(QLatin1Char('/'));
        while (start > 0 && !held.contains(key)) {
            --start;
            key = QStringList(parts.mid(0, start)).join(QLatin1Char('/'));
        }
        int current = start == 0 ? rootFd.get() : held.value(key);
        for (int i = start; i < count; ++i) {
            Descriptor next = openBelow(current, QFile::encodeName(parts.at(i)));
            if (!next.isValid())
                return Descriptor();
            key = key.isEmpty() ? parts.at(i) : key + QLatin1Char('/') + parts.at(i);
            current = next.release();
            held.insert(key, current);
        }
        return Descriptor(current, false);
    }

    // The directory holding path's last component, whose name goes into *name.
    Descriptor openParent(const QString &path, QByteArray *name)
    {
        const QStringList parts = components(path);
        if (parts.isEmpty()) {
            fail(EINVAL);
            return Descriptor();
        }
        *name = QFile::encodeName(parts.last());
        return openDirectory(parts, int(parts.size()) - 1);
    }

    // The directories holding from (in this tree) and to (in toTree), for a call that takes both.
    struct Ends
    {
        Descriptor fromParent;
        QByteArray fromName;
        Descriptor toParent;
        QByteArray toName;
    };
    bool openEnds(const QString &from, Private &toTree, const QString &to, Ends *ends)
    {
        ends->fromParent = openParent(from, &ends->fromName);
        if (!ends->fromParent.isValid())
            return false;
        ends->toParent = toTree.openParent(to, &ends->toName);
        if (!ends->toParent.isValid()) {
            lastError = toTree.lastError;
            return false;
        }
        return true;
    }
    // renameat from one end to the other, replacing what stands there; errno tells why not.
    static bool rename(const Ends &ends)
    {
        return ::renameat(ends.fromParent.get(), ends.fromName.constData(), ends.toParent.get(),
                   ends.toName.constData())
            == 0;
    }
};

ConfinedTree::ConfinedTree(const QString &root) : d(std::make_unique<Private>())
{
    d->root = root;
    d->absoluteRoot = QDir(QDir(root).absolutePath());
    static_cast<void>(d->openRoot());
}

ConfinedTree::~ConfinedTree() = default;

QString ConfinedTree::root() const
{
    return d->root;
}

void ConfinedTree::closeDirectories()
{
    d->closeHeld();
}

QString ConfinedTree::absolutePath(const QString &path) const
{
    return QDir::cleanPath(d->absoluteRoot.absoluteFilePath(path));
}

ConfinedTree::Error ConfinedTree::error() const
{
    return d->lastError;
}

ConfinedTree::Error ConfinedTree::directoryError()
{
    Error error;
    error.code = EISDIR;
    error.text = QString::fromLocal8Bit(std::strerror(EISDIR));
    return error;
}

ConfinedTree::Status ConfinedTree::status(const QString &path)
{
    Status result;
    const QStringList parts = components(path);
    if (parts.isEmpty()) {
        if (d->rootFd.isValid() || d->openRoot())
            result.kind = Directory;
        return result;
    }
    const Descriptor parent = d->openDirectory(parts, int(parts.size()) - 1);
    if (!parent.isValid()) {
        result.kind = d->lastError.blocked ? Blocked : Missing;
        return result;
    }
    struct stat status = {};
    if (::fstatat(
            parent.get(), QFile::encodeName(parts.last()).constData(), &status, AT_SYMLINK_NOFOLLOW)
        != 0) {
        return result;
    }
    result.kind = kindOf(status.st_mode);
    result.permissions = result.kind == File ? int(status.st_mode & 0777) : 0;
    result.size = status.st_size;
    return result;
}

bool ConfinedTree::makePath(const QString &path, QStringList *created)
{
    if (!d->rootFd.isValid()) {
        const bool existed = QFileInfo::exists(d->root);
        if (!QDir().mkpath(d->root))
            return d->fail(errno ? errno : EACCES);
        if (!existed && created)
            *created << QString();
        if (!d->openRoot())
            return false;
    }
    Descriptor current(d->rootFd.get(), false);
    QString walked;
    const QStringList parts = components(path);
    if (climbs(parts))
        return d->fail(EINVAL);
    for (const QString &part : parts) {
        const QByteArray name = QFile::encodeName(part);
        walked = walked.isEmpty() ? part : walked + QLatin1Char('/') + part;
        Descriptor next = d->openBelow(current.get(), name);
        if (!next.isValid() && d->lastError.code == ENOENT) {
            if (::mkdirat(current.get(), name.constData(), 0777) == 0) {
                if (created)
                    *created << walked;
            } else if (errno != EEXIST) {
                return d->fail(errno);
            }
            next = d->openBelow(current.get(), name);
        }
        if (!next.isValid())
            return false;
        current = std::move(next);
    }
    return true;
}

bool ConfinedTree::createFile(const QString &path, const char *data, qint64 size, int permissions,
    int extraPermissions, bool sync, bool *writing)
{
    if (writing)
        *writing = false;
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    if (!parent.isValid())
        return false;
    // O_EXCL: never an existing file, and never through a link standing at the name.
    Descriptor file(::openat(parent.get(), name.constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.isValid())
        return d->fail(errno);
    if (writing)
        *writing = true;

    int code = 0;
    for (qint64 done = 0; done < size && code == 0;) {
        const ssize_t written =
            ::write(file.get(), data + done, size_t(std::min(size - done, writeStep)));
        if (written >= 0)
            done += written;
        else if (errno != EINTR)
            code = errno;
    }
    if (code == 0) {
        // Where permissions cannot be set they stay as created; the content is what matters.
        struct stat status = {};
        if (permissions >= 0)
            static_cast<void>(::fchmod(file.get(), mode_t(permissions)));
        else if (extraPermissions != 0 && ::fstat(file.get(), &status) == 0)
            static_cast<void>(
                ::fchmod(file.get(), (status.st_mode & 0777) | mode_t(extraPermissions)));
        if (sync && ::fdatasync(file.get()) != 0)
            code = errno;
    }
    if (code == 0 && ::close(file.release()) != 0)
        code = errno;
    if (code == 0)
        return true;
    // A file cut short never stays behind.
    ::unlinkat(parent.get(), name.constData(), 0);
    return d->fail(code);
}

bool ConfinedTree::appendFile(const QString &path, const QByteArray &data, bool sync)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    if (!parent.isValid())
        return false;
    Descriptor file(
        ::openat(parent.get(), name.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!file.isValid())
        return d->fail(errno);
    for (qint64 done = 0; done < data.size();) {
        const ssize_t written =
            ::write(file.get(), data.constData() + done, size_t(data.size() - done));
        if (written >= 0)
            done += written;
        else if (errno != EINTR)
            return d->fail(errno);
    }
    if (sync && ::fdatasync(file.get()) != 0)
        return d->fail(errno);
    return ::close(file.release()) == 0 || d->fail(errno);
}

bool ConfinedTree::readFile(const QString &path, QByteArray *data, qint64 maxSize)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    if (!parent.isValid())
        return false;
    const Descriptor file(
        ::openat(parent.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status = {};
    if (!file.isValid() || ::fstat(file.get(), &status) != 0)
        return d->fail(errno);
    if (!S_ISREG(status.st_mode) || status.st_size > maxSize)
        return d->fail(S_ISREG(status.st_mode) ? EFBIG : EINVAL);
    data->resize(int(status.st_size));
    qint64 done = 0;
    while (done < data->size()) {
        const ssize_t read = ::read(file.get(), data->data() + done, size_t(data->size() - done));
        if (read == 0)
            break;
        if (read > 0)
            done += read;
        else if (errno != EINTR)
            return d->fail(errno);
    }
    data->truncate(int(done));
    return true;
}

bool ConfinedTree::remove(const QString &path)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    return parent.isValid()
        && (::unlinkat(parent.get(), name.constData(), 0) == 0 || d->fail(errno));
}

bool ConfinedTree::removeDirectory(const QString &path)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    if (!parent.isValid())
        return false;
    if (::unlinkat(parent.get(), name.constData(), AT_REMOVEDIR) != 0)
        return d->fail(errno);
    d->forget(components(path).join(QLatin1Char('/')));
    return true;
}

bool ConfinedTree::syncDirectory(const QString &path)
{
    const QStringList parts = components(path);
    const Descriptor directory = d->openDirectory(parts, int(parts.size()));
    return directory.isValid() && (::fsync(directory.get()) == 0 || d->fail(errno));
}

bool ConfinedTree::readLink(const QString &path, QString *target)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    if (!parent.isValid())
        return false;
    QByteArray buffer(256, Qt::Uninitialized);
    forever {
        const ssize_t length =
            ::readlinkat(parent.get(), name.constData(), buffer.data(), size_t(buffer.size()));
        if (length < 0)
            return d->fail(errno);
        if (length < buffer.size()) {
            *target = QFile::decodeName(buffer.left(int(length)));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool ConfinedTree::makeLink(const QString &path, const QString &target)
{
    QByteArray name;
    const Descriptor parent = d->openParent(path, &name);
    return parent.isValid()
        && (::symlinkat(QFile::encodeName(target).constData(), parent.get(), name.constData()) == 0
            || d->fail(errno));
}

qint64 ConfinedTree::availableSpace()
{
    struct statvfs status = {};
    if ((!d->rootFd.isValid() && !d->openRoot()) || ::fstatvfs(d->rootFd.get(), &status) != 0)
        return -1;
    return qint64(status.f_bavail) * qint64(status.f_frsize);
}

bool ConfinedTree::sameFileSystem(ConfinedTree &other)
{
    struct stat mine = {};
    struct stat theirs = {};
    return d->rootFd.isValid() && other.d->rootFd.isValid() && ::fstat(d->rootFd.get(), &mine) == 0
        && ::fstat(other.d->rootFd.get(), &theirs) == 0 && mine.st_dev == theirs.st_dev;
}

bool ConfinedTree::moveTo(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->openEnds(from, *toTree.d, to, &ends))
        return false;
    if (::renameat2(ends.fromParent.get(), ends.fromName.constData(), ends.toParent.get(),
            ends.toName.constData(), RENAME_NOREPLACE)
        != 0) {
        if (errno != EINVAL && errno != ENOSYS)
            return d->fail(errno);
        // A file system that cannot refuse to replace: look first. Only we change the tree.
        struct stat status = {};
        if (::fstatat(ends.toParent.get(), ends.toName.constData(), &status, AT_SYMLINK_NOFOLLOW)
            == 0)
            return d->fail(EEXIST);
        if (!Private::rename(ends))
            return d->fail(errno);
    }
    // A directory moved away is no longer where it was held.
    d->forget(components(from).join(QLatin1Char('/')));
    return true;
}

bool ConfinedTree::replace(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->openEnds(from, *toTree.d, to, &ends))
        return false;
    if (!Private::rename(ends))
        return d->fail(errno);
    d->forget(components(from).join(QLatin1Char('/')));
    return true;
}

bool ConfinedTree::linkTo(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->openEnds(from, *toTree.d, to, &ends))
        return false;
    // Without AT_SYMLINK_FOLLOW a link is linked itself, never what it leads to.
    if (::linkat(ends.fromParent.get(), ends.fromName.constData(), ends.toParent.get(),
            ends.toName.constData(), 0)
        == 0) {
        return true;
    }
    const int code = errno;
    d->fail(code);
    // EPERM: no hard links on this file system, or another user's file that
    // fs.protected_hardlinks keeps us from linking.
    d->lastError.noLink = code == EPERM || code == EMLINK || code == EOPNOTSUPP;
    return false;
}

bool ConfinedTree::sameFile(const QString &path, ConfinedTree &other, const QString &otherPath)
{
    const auto identify = [](ConfinedTree &tree, const QString &path, struct stat *status) {
        QByteArray name;
        const Descriptor parent = tree.d->openParent(path, &name);
        return parent.isValid()
            && ::fstatat(parent.get(), name.constData(), status, AT_SYMLINK_NOFOLLOW) == 0;
    };
    struct stat mine = {};
    struct stat theirs = {};
    return identify(*this, path, &mine) && identify(other, otherPath, &theirs)
        && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}
