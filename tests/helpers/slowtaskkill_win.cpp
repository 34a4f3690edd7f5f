// Stands in for taskkill on Windows, found before the real one: it waits 7 seconds, then runs the
// system's taskkill with the same arguments and exits with its exit code. A restart script that
// uses it ends the old instance well after that instance's 5 s fall-back.
#include <windows.h>

#include <string>

namespace {

// The command line without the program's own name, as the system hands it over.
const wchar_t *argumentsOf(const wchar_t *commandLine)
{
    const wchar_t *c = commandLine;
    if (*c == L'"') {
        for (++c; *c && *c != L'"'; ++c) { }
        if (*c)
            ++c;
    } else {
        while (*c && *c != L' ' && *c != L'\t')
            ++c;
    }
    return c;
}

} // namespace

int main()
{
    Sleep(7000);
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 127;
    std::wstring command = L"\"" + std::wstring(system) + L"\\taskkill.exe\"";
    command += argumentsOf(GetCommandLineW());

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
            &startup, &process)) {
        return 127;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 127;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return int(code);
}
