#include "protectedfile.h"
#include "windowsmessage_p.h"

#include <QDir>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace {

// The rights that change a file, or what a directory holds, or who may do so.
constexpr DWORD changeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE
    | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

class Handle
{
public:
    explicit Handle(HANDLE handle) : handle(handle) { }
    ~Handle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    HANDLE get() const { return handle; }
    bool isValid() const { return handle != INVALID_HANDLE_VALUE; }

private:
    const HANDLE handle;
};

// The account a SID stands for ("DOMAIN\name"), or the SID itself.
QString accountName(PSID sid)
{
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
        const QString account = QString::fromWCharArray(name);
        return domainSize > 0 ? QString::fromWCharArray(domain) + QLatin1Char('\\') + account
                              : account;
    }
    wchar_t *text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QStringLiteral("?");
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

// Administrators, SYSTEM, TrustedInstaller and the user this program runs as.
class TrustedAccounts
{
public:
    TrustedAccounts()
    {
        for (const wchar_t *text : { L"S-1-5-32-544", L"S-1-5-18",
                 L"S-1-5-80-956008885-3418522649-1831038044-1850103062-2071721541" }) {
            PSID sid = nullptr;
            if (ConvertStringSidToSidW(text, &sid))
                sids[count++] = sid;
        }
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = sizeof user;
            if (GetTokenInformation(token, TokenUser, user, size, &size))
                self = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
            CloseHandle(token);
        }
    }
    ~TrustedAccounts()
    {
        for (int i = 0; i < count; ++i)
            LocalFree(sids[i]);
    }
    TrustedAccounts(const TrustedAccounts &) = delete;
    TrustedAccounts &operator=(const TrustedAccounts &) = delete;

    bool contains(PSID sid) const
    {
        if (!sid || !IsValidSid(sid))
            return false;
        for (int i = 0; i < count; ++i) {
            if (EqualSid(sid, sids[i]))
                return true;
        }
        return self && EqualSid(sid, self);
    }

private:
    PSID sids[3] = {};
    int count = 0;
    alignas(TOKEN_USER) BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    PSID self = nullptr;
};

// Empty when only trusted accounts can change what handle stands for; else who else can.
QString untrustedWriter(HANDLE handle, const TrustedAccounts &trusted, DWORD *error)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    *error = GetSecurityInfo(handle, SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &dacl, nullptr,
        &descriptor);
    if (*error != ERROR_SUCCESS)
        return QString();
    QString writer;
    // The owner may always rewrite the access list.
    if (!trusted.contains(owner))
        writer = accountName(owner);
    else if (!dacl)
        writer = ProtectedFile::tr("любой пользователь (нет списка доступа)");
    for (DWORD i = 0; writer.isEmpty() && dacl && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const auto header = static_cast<const ACE_HEADER *>(ace);
        // Entries only passed on to what is created inside do not apply here.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto allowed = static_cast<ACCESS_ALLOWED_ACE *>(ace);
        const PSID sid = &allowed->SidStart;
        if ((allowed->Mask & changeRights) && !trusted.contains(sid))
            writer = accountName(sid);
    }
    LocalFree(descriptor);
    return writer;
}

} // namespace

ProtectedFile::Result ProtectedFile::readFile()
{
    const QString directoryPath = QDir::toNativeSeparators(QDir(directory).absolutePath());
    const QString filePath = QDir::toNativeSeparators(path());
    const TrustedAccounts trusted;
    const auto check = [&](HANDLE handle, const QString &shown) {
        DWORD error = ERROR_SUCCESS;
        const QString writer = untrustedWriter(handle, trusted, &error);
        if (error != ERROR_SUCCESS)
            return fail(Unreadable, tr("'%1' не прочитан: %2").arg(shown, windowsMessage(error)));
        if (!writer.isEmpty())
            return fail(Unsafe, tr("'%1' может изменить %2").arg(shown, writer));
        return Read;
    };

    // The file itself, never what a link leads to; read through the handle checked.
    const Handle file(CreateFileW(wide(filePath), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.isValid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return Absent;
        return fail(Unreadable, tr("'%1' не прочитан: %2").arg(filePath, windowsMessage(error)));
    }
    // Held open while the file is read: a directory whose access list lets no one else in.
    const Handle folder(CreateFileW(wide(directoryPath), READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.isValid()) {
        return fail(Unreadable,
            tr("'%1' не прочитан: %2").arg(directoryPath, windowsMessage(GetLastError())));
    }
    const Result folderChecked = check(folder.get(), directoryPath);
    if (folderChecked != Read)
        return folderChecked;

    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file.get(), &information)) {
        return fail(
            Unreadable, tr("'%1' не прочитан: %2").arg(filePath, windowsMessage(GetLastError())));
    }
    if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return fail(Unsafe, tr("'%1' является ссылкой").arg(filePath));
    if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return fail(Unsafe, tr("'%1' не является обычным файлом").arg(filePath));
    const qint64 size = qint64(information.nFileSizeHigh) << 32 | information.nFileSizeLow;
    if (size > maxSize)
        return fail(Unreadable, tr("'%1' больше %2 байт").arg(filePath).arg(maxSize));
    const Result checked = check(file.get(), filePath);
    if (checked != Read)
        return checked;

    content.resize(int(size));
    DWORD got = 0;
    if (size > 0 && !ReadFile(file.get(), content.data(), DWORD(size), &got, nullptr)) {
        return fail(
            Unreadable, tr("'%1' не прочитан: %2").arg(filePath, windowsMessage(GetLastError())));
    }
    content.truncate(int(got));
    return Read;
}
