#include "crash.h"

#include <cstdlib>

#include <windows.h>

void crashNow()
{
    // QProcess on Windows takes exit codes of this range (status codes of faults) for a crash.
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    std::abort();
}
