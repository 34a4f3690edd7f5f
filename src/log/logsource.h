#ifndef LOGSOURCE_H
#define LOGSOURCE_H

#include "log.h"

#include <QString>

// A named reporter: its lines carry the where "name:method".
class LogSource
{
public:
    explicit LogSource(const QString &name);

    void log(Log::Level level, const QString &text, const QString &method) const;
    void error(const QString &text, const QString &method) const;
    void notice(const QString &text, const QString &method) const;

private:
    QString sourceName;
};

#endif // LOGSOURCE_H
