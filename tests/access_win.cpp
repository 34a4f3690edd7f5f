#include "access.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

bool letEveryoneWrite(const QString &path, QString *why)
{
    const auto name = reinterpret_cast<const wchar_t *>(path.utf16());
    PSID everyone = nullptr;
    PACL dacl = nullptr;
    PACL extended = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = ConvertStringSidToSidW(L"S-1-1-0", &everyone) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SUCCESS) {
        error = GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
            nullptr, &dacl, nullptr, &descriptor);
    }
    if (error == ERROR_SUCCESS) {
        EXPLICIT_ACCESSW access = {};
        access.grfAccessPermissions = FILE_GENERIC_WRITE;
        access.grfAccessMode = GRANT_ACCESS;
        access.grfInheritance = NO_INHERITANCE;
        access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
        error = SetEntriesInAclW(1, &access, dacl, &extended);
    }
    if (error == ERROR_SUCCESS) {
        error = SetNamedSecurityInfoW(const_cast<LPWSTR>(name), SE_FILE_OBJECT,
            DACL_SECURITY_INFORMATION, nullptr, nullptr, extended, nullptr);
    }
    LocalFree(extended);
    LocalFree(descriptor);
    LocalFree(everyone);
    if (error != ERROR_SUCCESS)
        *why = QStringLiteral("access list not changed (error %1)").arg(error);
    return error == ERROR_SUCCESS;
}

bool giveToAnotherUser(const QString &, QString *why)
{
    // Taking ownership for someone else needs a privilege that tests do not hold.
    *why = QStringLiteral("giving a file to another user needs SeRestorePrivilege");
    return false;
}
