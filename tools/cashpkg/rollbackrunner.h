#ifndef ROLLBACKRUNNER_H
#define ROLLBACKRUNNER_H

#include "rollbackplanner.h"

#include <QString>

// Carries out rollback steps one by one and says what became of each.
class RollbackRunner
{
public:
    // dryRun: only say what would be done.
    explicit RollbackRunner(bool dryRun);

    // Runs one step and returns the line that reports it; false in *ok when the step left the
    // tree short of its state before the installation.
    QString run(const RollbackStep &step, bool *ok);

private:
    // False with the reason in *message; true perhaps with a remark in *message.
    bool restore(const RollbackStep &step, QString *message);

    const bool dryRun;
};

#endif // ROLLBACKRUNNER_H
