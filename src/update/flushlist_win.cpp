#include "flushlist.h"
#include "windowsmessage_p.h"

#include <QDir>
#include <QSet>
#include <QStringList>

#include <utility>

#include <windows.h>

namespace {

QString systemError(const char *call, const QString &path, DWORD error)
{
    return QStringLiteral("%1('%2'): %3").arg(QLatin1String(call), path, windowsMessage(error));
}

// Opens path for writing (a directory needs FILE_FLAG_BACKUP_SEMANTICS) and flushes it.
DWORD flushPath(const QString &path, bool directory)
{
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
            GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL,
            nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    const DWORD error = FlushFileBuffers(handle) ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    return error;
}

} // namespace

struct FlushList::Private
{
    QStringList files;
    QSet<QString> directories;
};

FlushList::FlushList() : d(std::make_unique<Private>()) { }

FlushList::~FlushList() = default;

void FlushList::addFile(const QString &path)
{
    d->files << path;
}

void FlushList::addDirectory(const QString &path)
{
    d->directories.insert(path);
}

bool FlushList::flush(QString *errorText)
{
    QString error;
    for (const QString &file : std::as_const(d->files)) {
        const DWORD result = flushPath(file, false);
        if (result != ERROR_SUCCESS && error.isEmpty())
            error = systemError("FlushFileBuffers", file, result);
    }
    for (const QString &directory : std::as_const(d->directories)) {
        // NTFS journals directory changes itself; file systems that cannot flush a directory
        // handle (or refuse to open one for writing) leave nothing more that we could do.
        const DWORD result = flushPath(directory, true);
        if (result != ERROR_SUCCESS && result != ERROR_INVALID_FUNCTION
            && result != ERROR_ACCESS_DENIED && error.isEmpty()) {
            error = systemError("FlushFileBuffers", directory, result);
        }
    }
    d->files.clear();
    d->directories.clear();
    if (error.isEmpty())
        return true;
    if (errorText)
        *errorText = error;
    return false;
}
