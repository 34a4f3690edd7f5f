#include "processutil.h"

#include <windows.h>

#include <tlhelp32.h>

bool killProcess(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool ended = TerminateProcess(process, 0xC0000005u) != 0;
    CloseHandle(process);
    return ended;
}

bool processRunning(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return false;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

QList<qint64> processesOf(const QString &fileName)
{
    // The image name, as taskkill /im matches it.
    QList<qint64> pids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (QString::fromWCharArray(entry.szExeFile).compare(fileName, Qt::CaseInsensitive) == 0)
            pids << qint64(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}
