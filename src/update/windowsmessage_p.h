#ifndef WINDOWSMESSAGE_P_H
#define WINDOWSMESSAGE_P_H

#include <QString>

#include <windows.h>

// The system's own text for a Windows error code.
inline QString windowsMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString message =
        length ? QString::fromWCharArray(text, int(length)).trimmed() : QString::number(error);
    LocalFree(text);
    return message;
}

#endif // WINDOWSMESSAGE_P_H
