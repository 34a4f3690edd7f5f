#include "logsource.h"

LogSource::LogSource(const QString &name) : sourceName(name) { }

void LogSource::log(Log::Level level, const QString &text, const QString &method) const
{
    // A report below the threshold costs no formatting: some come with every command received.
    if (level > Log::level())
        return;
    Log::write(level, QStringLiteral("%1:%2").arg(sourceName, method), text);
}

void LogSource::error(const QString &text, const QString &method) const
{
    log(Log::Error, text, method);
}

void LogSource::notice(const QString &text, const QString &method) const
{
    log(Log::Notice, text, method);
}
