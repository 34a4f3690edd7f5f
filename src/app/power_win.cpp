#include "power.h"

#include <windows.h>

namespace {
// Enables the shutdown privilege in our own token and asks for a forced reboot or power-off.
bool exitWindows(UINT flags)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;

    TOKEN_PRIVILEGES privileges = {};
    // A failed look-up leaves a zero identifier, which the adjustment below then refuses.
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    // AdjustTokenPrivileges succeeds even for an account without the privilege; only the last
    // error (ERROR_NOT_ALL_ASSIGNED) tells.
    const bool privilegeEnabled = GetLastError() == ERROR_SUCCESS;

    const bool accepted = privilegeEnabled && ExitWindowsEx(flags, 0) != 0;
    CloseHandle(token);
    return accepted;
}
} // namespace

bool rebootComputer()
{
    return exitWindows(EWX_REBOOT | EWX_FORCE);
}

bool powerOffComputer()
{
    return exitWindows(EWX_POWEROFF | EWX_FORCE);
}
