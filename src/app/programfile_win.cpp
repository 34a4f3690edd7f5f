#include "programfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <windows.h>

namespace {
// Volume and index of the file at path, which identify it whatever the spelling; false when it
// cannot be opened.
bool fileIdentity(const QString &path, BY_HANDLE_FILE_INFORMATION *info)
{
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool known = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return known;
}
} // namespace

bool enterProgramDirectory()
{
    // The module's own path, in UTF-16: never argv[0], whose code page may not hold the name.
    return QDir::setCurrent(QCoreApplication::applicationDirPath());
}

bool isOwnProgramFile(const QString &path)
{
    // The system starts "name" as "name.exe": so must the comparison.
    QString program = QDir::toNativeSeparators(path);
    if (QFileInfo(program).suffix().isEmpty())
        program += QLatin1String(".exe");
    BY_HANDLE_FILE_INFORMATION own;
    BY_HANDLE_FILE_INFORMATION other;
    return fileIdentity(QDir::toNativeSeparators(QCoreApplication::applicationFilePath()), &own)
        && fileIdentity(program, &other) && own.dwVolumeSerialNumber == other.dwVolumeSerialNumber
        && own.nFileIndexHigh == other.nFileIndexHigh && own.nFileIndexLow == other.nFileIndexLow;
}
