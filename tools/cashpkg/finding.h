#ifndef FINDING_H
#define FINDING_H

#include <QList>
#include <QString>

// One thing check has to say about a package or one of its entries.
struct Finding
{
    enum Severity { Warning, Error };

    Severity severity = Warning;
    QString code; // stable, for release pipelines: "long-name", "missing-parent", ...
    QString message; // for people

    static Finding error(const QString &code, const QString &message)
    {
        return { Error, code, message };
    }
    static Finding warning(const QString &code, const QString &message)
    {
        return { Warning, code, message };
    }
};

using Findings = QList<Finding>;

#endif // FINDING_H
