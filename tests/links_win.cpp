#include "links.h"

#include <QDir>
#include <QFileInfo>
#include <QScopeGuard>

#include <windows.h>

#include <winioctl.h>

#include <cstring>
#include <vector>

namespace {

QString systemMessage(DWORD error)
{
    return QStringLiteral("%1 (error %2)").arg(qt_error_string(int(error))).arg(error);
}

// The mount-point form of REPARSE_DATA_BUFFER, which only the driver kit's headers declare.
struct MountPointReparseBuffer
{
    DWORD reparseTag;
    WORD reparseDataLength;
    WORD reserved;
    WORD substituteNameOffset;
    WORD substituteNameLength;
    WORD printNameOffset;
    WORD printNameLength;
    WCHAR pathBuffer[1];
};

bool makeJunction(const QString &target, const QString &link, QString *why)
{
    const std::wstring linkName = QDir::toNativeSeparators(link).toStdWString();
    if (!CreateDirectoryW(linkName.c_str(), nullptr)) {
        *why = QStringLiteral("CreateDirectoryW: ") + systemMessage(GetLastError());
        return false;
    }
    auto removeDirectory = qScopeGuard([&] { RemoveDirectoryW(linkName.c_str()); });
    const HANDLE directory = CreateFileW(linkName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        *why = QStringLiteral("CreateFileW: ") + systemMessage(GetLastError());
        return false;
    }

    // The substitute name in the object manager's form, then the name to show, each ending in a
    // zero that the lengths leave out.
    const std::wstring printName = QDir::toNativeSeparators(target).toStdWString();
    const std::wstring substituteName = L"\\??\\" + printName;
    const WORD substituteBytes = WORD(substituteName.size() * sizeof(WCHAR));
    const WORD printBytes = WORD(printName.size() * sizeof(WCHAR));
    std::vector<char> buffer(
        offsetof(MountPointReparseBuffer, pathBuffer) + substituteBytes + printBytes + 8, '\0');
    auto *reparse = reinterpret_cast<MountPointReparseBuffer *>(buffer.data());
    reparse->reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    reparse->reparseDataLength =
        WORD(buffer.size() - offsetof(MountPointReparseBuffer, substituteNameOffset));
    reparse->substituteNameLength = substituteBytes;
    reparse->printNameOffset = WORD(substituteBytes + sizeof(WCHAR));
    reparse->printNameLength = printBytes;
    char *names = reinterpret_cast<char *>(reparse->pathBuffer);
    std::memcpy(names, substituteName.c_str(), substituteBytes);
    std::memcpy(names + reparse->printNameOffset, printName.c_str(), printBytes);

    DWORD returned = 0;
    const bool made = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, buffer.data(),
                          DWORD(buffer.size()), nullptr, 0, &returned, nullptr)
        != 0;
    const DWORD error = GetLastError();
    CloseHandle(directory);
    if (!made) {
        *why = QStringLiteral("FSCTL_SET_REPARSE_POINT: ") + systemMessage(error);
        return false;
    }
    removeDirectory.dismiss();
    return true;
}

bool makeSymbolicLink(const QString &target, const QString &link, QString *why)
{
    const std::wstring linkName = QDir::toNativeSeparators(link).toStdWString();
    if (!CreateSymbolicLinkW(linkName.c_str(),
            QDir::toNativeSeparators(target).toStdWString().c_str(),
            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        *why = QStringLiteral("CreateSymbolicLinkW: ") + systemMessage(GetLastError());
        return false;
    }
    // The attributes of the link itself: a stub may report success and make nothing.
    const DWORD attributes = GetFileAttributesW(linkName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        *why = QStringLiteral("CreateSymbolicLinkW reported success but made no link");
        return false;
    }
    return true;
}

} // namespace

bool makeLink(const QString &target, const QString &link, QString *why)
{
    QString reason;
    const QString resolved =
        QDir::cleanPath(QFileInfo(link).absoluteDir().absoluteFilePath(target));
    const bool made = QFileInfo(resolved).isDir() ? makeJunction(resolved, link, &reason)
                                                  : makeSymbolicLink(target, link, &reason);
    if (!made && why)
        *why = reason;
    return made;
}
