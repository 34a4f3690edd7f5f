#ifndef ROLLBACKRUNNER_H
#define ROLLBACKRUNNER_H

#include "rollbackplanner.h"
#include "update/confinedtree.h"

#include <QString>

// Carries out rollback steps one by one, never through a link, and says what became of each.
class RollbackRunner
{
public:
    // dryRun: only say what would be done.
    RollbackRunner(const QString &target, const QString &backup, bool dryRun);

    // Runs one step and returns the line that reports it; false in *ok when the step left the
    // tree short of its state before the installation.
    QString run(const RollbackStep &step, bool *ok);

private:
    // False with the reason in *message.
    bool restore(const RollbackStep &step, QString *message);

    ConfinedTree targetTree;
    ConfinedTree backupTree;
    const bool dryRun;
};

#endif // ROLLBACKRUNNER_H
