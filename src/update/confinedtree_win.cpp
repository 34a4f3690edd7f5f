#include "confinedtree.h"
#include "windowsmessage_p.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

#include <windows.h>

namespace {

// Larger writes are split: WriteFile takes a 32-bit count.
constexpr qint64 writeStep = qint64(1) << 30;

// A handle that is closed when it goes out of scope.
class Handle
{
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle(handle) { }
    ~Handle()
    {
        if (isValid())
            CloseHandle(handle);
    }
    Handle(Handle &&other) noexcept : handle(std::exchange(other.handle, INVALID_HANDLE_VALUE)) { }
    Handle &operator=(Handle &&other) noexcept
    {
        std::swap(handle, other.handle);
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    HANDLE get() const { return handle; }
    bool isValid() const { return handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

QStringList components(const QString &path)
{
    QStringList parts;
    const QStringList split = QDir::fromNativeSeparators(path).split(QLatin1Char('/'));
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

// Opens a directory on the reparse point itself, never through it, and without letting anyone
// rename or delete it while the handle is held: the path to what is done below it cannot change.
Handle openDirectoryEntry(const QString &path)
{
    return Handle(
        CreateFileW(wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

} // namespace

struct ConfinedTree::Private
{
    QString root; // as given
    QString nativeRoot; // absolute, with '\'
    Error lastError;

    bool fail(DWORD code, bool blocked = false)
    {
        lastError = Error();
        lastError.code = int(code);
        lastError.blocked = blocked;
        lastError.crossDevice = code == ERROR_NOT_SAME_DEVICE;
        lastError.text = windowsMessage(code);
        return false;
    }

    QString nativePath(const QStringList &parts, int count) const
    {
        QString path = nativeRoot;
        for (int i = 0; i < count; ++i)
            path += QLatin1Char('\\') + parts.at(i);
        return path;
    }

    // Opens the root and the directories made of the first count parts, each refused when it is
    // a reparse point or no directory; the handles hold the chain in place until they go.
    bool holdChain(const QStringList &parts, int count, std::vector<Handle> *chain)
    {
        if (climbs(parts))
            return fail(ERROR_INVALID_NAME);
        for (int i = 0; i <= count; ++i) {
            Handle entry = openDirectoryEntry(nativePath(parts, i));
            if (!entry.isValid())
                return fail(GetLastError());
            BY_HANDLE_FILE_INFORMATION information = {};
            if (!GetFileInformationByHandle(entry.get(), &information))
                return fail(GetLastError());
            // The root is taken as given, reparse point or not.
            if (i > 0 && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                return fail(ERROR_CANT_ACCESS_FILE, true);
            if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                return fail(ERROR_DIRECTORY);
            chain->push_back(std::move(entry));
        }
        return true;
    }

    // The native path of path, with the directories above it held; empty on failure.
    QString hold(const QString &path, std::vector<Handle> *chain)
    {
        const QStringList parts = components(path);
        if (parts.isEmpty()) {
            fail(ERROR_INVALID_NAME);
            return QString();
        }
        return holdChain(parts, int(parts.size()) - 1, chain) ? nativePath(parts, int(parts.size()))
                                                              : QString();
    }

    // from (in this tree) and to (in toTree), held for a call that takes both.
    struct Ends
    {
        std::vector<Handle> fromChain;
        std::vector<Handle> toChain;
        QString source;
        QString destination;
    };
    bool holdEnds(const QString &from, Private &toTree, const QString &to, Ends *ends)
    {
        ends->source = hold(from, &ends->fromChain);
        if (ends->source.isEmpty())
            return false;
        ends->destination = toTree.hold(to, &ends->toChain);
        if (ends->destination.isEmpty()) {
            lastError = toTree.lastError;
            return false;
        }
        return true;
    }
};

ConfinedTree::ConfinedTree(const QString &root) : d(std::make_unique<Private>())
{
    d->root = root;
    d->nativeRoot = QDir::toNativeSeparators(QDir::cleanPath(QDir(root).absolutePath()));
    // "C:\" keeps its separator; every other root has none at its end.
    if (d->nativeRoot.endsWith(QLatin1Char('\\')))
        d->nativeRoot.chop(1);
}

ConfinedTree::~ConfinedTree() = default;

QString ConfinedTree::root() const
{
    return d->root;
}

// Each operation holds its directories only while it runs.
void ConfinedTree::closeDirectories() { }

QString ConfinedTree::absolutePath(const QString &path) const
{
    return QDir::cleanPath(QDir::fromNativeSeparators(d->nativeRoot) + QLatin1Char('/') + path);
}

ConfinedTree::Error ConfinedTree::error() const
{
    return d->lastError;
}

ConfinedTree::Error ConfinedTree::directoryError()
{
    Error error;
    error.code = ERROR_ACCESS_DENIED;
    error.text = windowsMessage(ERROR_ACCESS_DENIED);
    return error;
}

ConfinedTree::Status ConfinedTree::status(const QString &path)
{
    Status result;
    const QStringList parts = components(path);
    std::vector<Handle> chain;
    if (!d->holdChain(parts, std::max(0, int(parts.size()) - 1), &chain)) {
        result.kind = d->lastError.blocked ? Blocked : Missing;
        return result;
    }
    if (parts.isEmpty()) {
        result.kind = Directory;
        return result;
    }
    // Attributes are those of the entry itself: a reparse point is not followed.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(
            wide(d->nativePath(parts, int(parts.size()))), GetFileExInfoStandard, &data)) {
        return result;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        result.kind = Link;
    else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        result.kind = Directory;
    else
        result.kind = File;
    result.size = (qint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return result;
}

bool ConfinedTree::makePath(const QString &path, QStringList *created)
{
    const QString root = d->nativeRoot;
    if (!QFileInfo(root).isDir()) {
        if (!QDir().mkpath(root))
            return d->fail(ERROR_PATH_NOT_FOUND);
        if (created)
            *created << QString();
    }
    const QStringList parts = components(path);
    std::vector<Handle> chain;
    for (int i = 0; i <= parts.size(); ++i) {
        const QString native = d->nativePath(parts, i);
        if (i > 0 && GetFileAttributesW(wide(native)) == INVALID_FILE_ATTRIBUTES
            && GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (CreateDirectoryW(wide(native), nullptr)) {
                if (created)
                    *created << QStringList(parts.mid(0, i)).join(QLatin1Char('/'));
            } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
                return d->fail(GetLastError());
            }
        }
        chain.clear();
        if (!d->holdChain(parts, i, &chain))
            return false;
    }
    return true;
}

bool ConfinedTree::createFile(
    const QString &path, const char *data, qint64 size, int, int, bool sync, bool *writing)
{
    if (writing)
        *writing = false;
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    // CREATE_NEW: never an existing file, and never through a reparse point standing there.
    Handle file(CreateFileW(wide(native), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.isValid())
        return d->fail(GetLastError());
    if (writing)
        *writing = true;
    DWORD code = ERROR_SUCCESS;
    for (qint64 done = 0; done < size && code == ERROR_SUCCESS;) {
        DWORD written = 0;
        if (WriteFile(file.get(), data + done, DWORD(std::min(size - done, writeStep)), &written,
                nullptr)) {
            done += written;
        } else {
            code = GetLastError();
        }
    }
    if (code == ERROR_SUCCESS && sync && !FlushFileBuffers(file.get()))
        code = GetLastError();
    file = Handle();
    if (code == ERROR_SUCCESS)
        return true;
    // A file cut short never stays behind.
    DeleteFileW(wide(native));
    return d->fail(code);
}

bool ConfinedTree::appendFile(const QString &path, const QByteArray &data, bool sync)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    const Handle file(CreateFileW(wide(native), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD written = 0;
    if (!file.isValid()
        || !WriteFile(file.get(), data.constData(), DWORD(data.size()), &written, nullptr)
        || (sync && !FlushFileBuffers(file.get()))) {
        return d->fail(GetLastError());
    }
    return true;
}

bool ConfinedTree::readFile(const QString &path, QByteArray *data, qint64 maxSize)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    const Handle file(CreateFileW(wide(native), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!file.isValid() || !GetFileInformationByHandle(file.get(), &information))
        return d->fail(GetLastError());
    const qint64 size = (qint64(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    if ((information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        || size > maxSize) {
        return d->fail(ERROR_FILE_INVALID);
    }
    data->resize(int(size));
    qint64 done = 0;
    while (done < data->size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), data->data() + done, DWORD(data->size() - done), &read, nullptr))
            return d->fail(GetLastError());
        if (read == 0)
            break;
        done += read;
    }
    data->truncate(int(done));
    return true;
}

bool ConfinedTree::remove(const QString &path)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    const DWORD attributes = GetFileAttributesW(wide(native));
    // A link to a directory is removed as a directory, without touching what it leads to.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return RemoveDirectoryW(wide(native)) || d->fail(GetLastError());
    }
    // Windows refuses to delete a read-only file; what is removed here is ours to remove.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(wide(native), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    return DeleteFileW(wide(native)) || d->fail(GetLastError());
}

bool ConfinedTree::removeDirectory(const QString &path)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    return !native.isEmpty() && (RemoveDirectoryW(wide(native)) || d->fail(GetLastError()));
}

bool ConfinedTree::syncDirectory(const QString &path)
{
    const QStringList parts = components(path);
    std::vector<Handle> chain;
    if (!d->holdChain(parts, int(parts.size()), &chain))
        return false;
    const Handle directory(
        CreateFileW(wide(d->nativePath(parts, int(parts.size()))), GENERIC_READ | GENERIC_WRITE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // NTFS journals directory changes itself; where a directory cannot be flushed (or opened for
    // writing), there is nothing more we could do.
    if (directory.isValid() && !FlushFileBuffers(directory.get())) {
        const DWORD code = GetLastError();
        if (code != ERROR_INVALID_FUNCTION && code != ERROR_ACCESS_DENIED)
            return d->fail(code);
    }
    return true;
}

bool ConfinedTree::readLink(const QString &path, QString *target)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    const QFileInfo link(QDir::fromNativeSeparators(native));
    if (!link.isSymLink() && !link.isJunction())
        return d->fail(ERROR_NOT_A_REPARSE_POINT);
    *target = QDir(link.absolutePath()).relativeFilePath(link.symLinkTarget());
    return true;
}

bool ConfinedTree::makeLink(const QString &path, const QString &target)
{
    std::vector<Handle> chain;
    const QString native = d->hold(path, &chain);
    if (native.isEmpty())
        return false;
    const QString nativeTarget = QDir::toNativeSeparators(target);
    const bool directory = QFileInfo(
        QFileInfo(QDir::fromNativeSeparators(native)).absolutePath() + QLatin1Char('/') + target)
                               .isDir();
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
        | (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    return CreateSymbolicLinkW(wide(native), wide(nativeTarget), flags) || d->fail(GetLastError());
}

qint64 ConfinedTree::availableSpace()
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(wide(d->nativeRoot), &available, nullptr, nullptr))
        return -1;
    return qint64(available.QuadPart);
}

bool ConfinedTree::sameFileSystem(ConfinedTree &other)
{
    BY_HANDLE_FILE_INFORMATION mine = {};
    BY_HANDLE_FILE_INFORMATION theirs = {};
    const Handle one = openDirectoryEntry(d->nativeRoot);
    const Handle two = openDirectoryEntry(other.d->nativeRoot);
    return one.isValid() && two.isValid() && GetFileInformationByHandle(one.get(), &mine)
        && GetFileInformationByHandle(two.get(), &theirs)
        && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber;
}

bool ConfinedTree::moveTo(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->holdEnds(from, *toTree.d, to, &ends))
        return false;
    // Without MOVEFILE_REPLACE_EXISTING nothing is ever moved over anything, and without
    // MOVEFILE_COPY_ALLOWED a move to another volume fails instead of copying. A running program
    // can be renamed like any other file.
    return MoveFileExW(wide(ends.source), wide(ends.destination), 0) || d->fail(GetLastError());
}

bool ConfinedTree::replace(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->holdEnds(from, *toTree.d, to, &ends))
        return false;
    // Windows refuses to replace a running program or a loaded library (see linkTo).
    return MoveFileExW(wide(ends.source), wide(ends.destination), MOVEFILE_REPLACE_EXISTING)
        || d->fail(GetLastError());
}

bool ConfinedTree::linkTo(const QString &from, ConfinedTree &toTree, const QString &to)
{
    Private::Ends ends;
    if (!d->holdEnds(from, *toTree.d, to, &ends))
        return false;
    // A running program or a loaded library can be renamed, but Windows refuses to delete or
    // replace any name of it while it runs: given a second name now, the old version would keep
    // both until it ends. It cannot be opened for writing, and neither can a read-only file,
    // which cannot be replaced either: both are left to be renamed, the only change Windows
    // allows. A hard link to a reparse point would be one to what it leads to.
    const DWORD attributes = GetFileAttributesW(wide(ends.source));
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return d->fail(GetLastError());
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        d->fail(ERROR_NOT_SUPPORTED);
        d->lastError.renameOnly = true;
        return false;
    }
    const Handle probe(CreateFileW(wide(ends.source), FILE_WRITE_DATA,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!probe.isValid()) {
        d->fail(GetLastError());
        d->lastError.renameOnly = true;
        return false;
    }
    if (CreateHardLinkW(wide(ends.destination), wide(ends.source), nullptr))
        return true;
    const DWORD code = GetLastError();
    d->fail(code);
    // FAT has no hard links; NTFS allows 1023 names a file.
    d->lastError.noLink = code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED
        || code == ERROR_TOO_MANY_LINKS || code == ERROR_ACCESS_DENIED;
    return false;
}

bool ConfinedTree::sameFile(const QString &path, ConfinedTree &other, const QString &otherPath)
{
    const auto identify = [](ConfinedTree &tree, const QString &path,
                              BY_HANDLE_FILE_INFORMATION *information) {
        std::vector<Handle> chain;
        const QString native = tree.d->hold(path, &chain);
        const Handle file(native.isEmpty()
                ? INVALID_HANDLE_VALUE
                : CreateFileW(wide(native), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        return file.isValid() && GetFileInformationByHandle(file.get(), information);
    };
    BY_HANDLE_FILE_INFORMATION mine = {};
    BY_HANDLE_FILE_INFORMATION theirs = {};
    return identify(*this, path, &mine) && identify(other, otherPath, &theirs)
        && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber
        && mine.nFileIndexHigh == theirs.nFileIndexHigh
        && mine.nFileIndexLow == theirs.nFileIndexLow;
}
