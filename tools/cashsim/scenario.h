#ifndef SCENARIO_H
#define SCENARIO_H

#include "step.h"

#include <QList>
#include <QMap>
#include <QString>

// The steps of a scenario file, per start of the program.
class Scenario
{
public:
    [[nodiscard]] bool load(const QString &path);
    [[nodiscard]] bool parse(const QString &text);
    QString errorString() const { return error; }

    // Steps of the given start (1 for the first): its own section, else the [run *] steps.
    QList<Step> steps(int run) const;

    // One step line, without comment or section handling; false with a reason in *why.
    static bool parseStep(const QString &line, Step *step, QString *why);

    // The step syntax, for --help.
    static QString formatHelp();

private:
    QMap<int, QList<Step>> runs;
    QList<Step> anyRun;
    QString error;
};

#endif // SCENARIO_H
