#include "rollbackrunner.h"

#include "update/installjournal.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString line(const QString &verb, const RollbackStep &step, const QString &detail)
{
    return detail.isEmpty() ? QStringLiteral("%1 %2").arg(verb, step.name)
                            : QStringLiteral("%1 %2: %3").arg(verb, step.name, detail);
}

} // namespace

RollbackRunner::RollbackRunner(const QString &target, const QString &backup, bool dryRun)
    : targetTree(target), backupTree(backup), dryRun(dryRun)
{
}

QString RollbackRunner::run(const RollbackStep &step, bool *ok)
{
    *ok = !step.unrestored;
    QString message;
    switch (step.action) {
    case RollbackStep::Restore: {
        QString detail = QStringLiteral("from %1").arg(QDir::toNativeSeparators(step.backupPath));
        if (!step.aside.isEmpty())
            detail += QStringLiteral(", what stood there kept as %1").arg(step.aside);
        if (!step.reason.isEmpty())
            detail += QStringLiteral(" (%1)").arg(step.reason);
        if (dryRun)
            return line(QStringLiteral("would restore"), step, detail);
        if (restore(step, &message))
            return line(QStringLiteral("restored"), step, detail);
        *ok = false;
        return line(QStringLiteral("NOT RESTORED"), step, message);
    }
    case RollbackStep::Remove: {
        if (dryRun)
            return line(QStringLiteral("would remove"), step, step.reason);
        if (targetTree.remove(step.name))
            return line(QStringLiteral("removed"), step, step.reason);
        *ok = false;
        return line(QStringLiteral("NOT REMOVED"), step, targetTree.error().text);
    }
    case RollbackStep::MoveAside: {
        const QString detail = QStringLiteral("%1, kept as %2").arg(step.reason, step.aside);
        if (dryRun)
            return line(QStringLiteral("would move aside"), step, detail);
        if (targetTree.moveTo(step.name, targetTree, step.aside))
            return line(QStringLiteral("moved aside"), step, detail);
        *ok = false;
        return line(QStringLiteral("NOT MOVED"), step, targetTree.error().text);
    }
    case RollbackStep::RemoveDirectory: {
        if (dryRun)
            return line(QStringLiteral("would remove directory"), step, step.reason);
        if (targetTree.removeDirectory(step.name))
            return line(QStringLiteral("removed directory"), step, step.reason);
        // Not an error: it keeps what was put there since.
        return line(QStringLiteral("kept directory"), step, QStringLiteral("not empty"));
    }
    case RollbackStep::Leave:
        break;
    }
    return line(step.unrestored ? QStringLiteral("NOT RESTORED") : QStringLiteral("left"), step,
        step.reason);
}

bool RollbackRunner::restore(const RollbackStep &step, QString *message)
{
    const auto failed = [message](ConfinedTree &tree) {
        *message = tree.error().text;
        return false;
    };
    const QString parent = QFileInfo(step.name).path();
    if (parent != QLatin1String(".") && !targetTree.makePath(parent))
        return failed(targetTree);
    // The backup is copied, not moved, so that a rollback can run again; the copy takes the
    // file's name in one step, which also works while the file there is in use.
    const QString copy = InstallJournal::newName(step.name, QStringLiteral("rollback"));
    if (targetTree.status(copy).kind != ConfinedTree::Missing && !targetTree.remove(copy))
        return failed(targetTree);
    const ConfinedTree::Status saved = backupTree.status(step.name);
    if (saved.kind == ConfinedTree::Link) {
        QString link;
        if (!backupTree.readLink(step.name, &link))
            return failed(backupTree);
        if (!targetTree.makeLink(copy, link))
            return failed(targetTree);
    } else {
        QByteArray content;
        if (!backupTree.readFile(step.name, &content, 0x7fffffff))
            return failed(backupTree);
        if (!targetTree.createFile(
                copy, content.constData(), content.size(), saved.permissions, 0, true)) {
            return failed(targetTree);
        }
    }
    // A change made since is kept under another name, never deleted: a second name while it
    // keeps its own until the copy takes that over, or where it can have none, renamed away just
    // before.
    if (!step.aside.isEmpty() && !targetTree.linkTo(step.name, targetTree, step.aside)) {
        const ConfinedTree::Error error = targetTree.error();
        if (!(error.noLink || error.renameOnly)
            || !targetTree.moveTo(step.name, targetTree, step.aside)) {
            *message = targetTree.error().text;
            static_cast<void>(targetTree.remove(copy));
            return false;
        }
    }
    if (!targetTree.replace(copy, targetTree, step.name)) {
        *message = targetTree.error().text;
        static_cast<void>(targetTree.remove(copy));
        return false;
    }
    return true;
}
