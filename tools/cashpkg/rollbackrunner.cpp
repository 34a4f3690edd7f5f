#include "rollbackrunner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

constexpr int chunkSize = 64 * 1024;

QString line(const QString &verb, const RollbackStep &step, const QString &detail)
{
    return detail.isEmpty() ? QStringLiteral("%1 %2").arg(verb, step.name)
                            : QStringLiteral("%1 %2: %3").arg(verb, step.name, detail);
}

} // namespace

RollbackRunner::RollbackRunner(bool dryRun) : dryRun(dryRun) { }

QString RollbackRunner::run(const RollbackStep &step, bool *ok)
{
    *ok = !step.unrestored;
    QString message;
    switch (step.action) {
    case RollbackStep::Restore: {
        const QString from =
            QStringLiteral("from %1").arg(QDir::toNativeSeparators(step.backupPath));
        const QString detail =
            step.reason.isEmpty() ? from : QStringLiteral("%1 (%2)").arg(from, step.reason);
        if (dryRun)
            return line(QStringLiteral("would restore"), step, detail);
        if (restore(step, &message))
            return line(QStringLiteral("restored"), step, detail + message);
        *ok = false;
        return line(QStringLiteral("NOT RESTORED"), step, message);
    }
    case RollbackStep::Remove: {
        if (dryRun)
            return line(QStringLiteral("would remove"), step, step.reason);
        QFile file(step.targetPath);
        if (file.remove())
            return line(QStringLiteral("removed"), step, step.reason);
        *ok = false;
        return line(QStringLiteral("NOT REMOVED"), step, file.errorString());
    }
    case RollbackStep::RemoveDirectory: {
        if (dryRun)
            return line(QStringLiteral("would remove directory"), step, step.reason);
        if (QDir().rmdir(step.targetPath))
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
    // The backup is copied, not moved, so that a rollback can run again; the copy replaces the
    // installed file in one rename, which also works while the installed file is in use.
    QFile source(step.backupPath);
    if (!source.open(QIODevice::ReadOnly)) {
        *message = QStringLiteral("cannot read the backup: %1").arg(source.errorString());
        return false;
    }
    if (!QDir().mkpath(QFileInfo(step.targetPath).absolutePath())) {
        *message = QStringLiteral("cannot create its directory");
        return false;
    }
    QSaveFile copy(step.targetPath);
    if (!copy.open(QIODevice::WriteOnly)) {
        *message = copy.errorString();
        return false;
    }
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(chunkSize);
        if (chunk.isEmpty() || copy.write(chunk) != chunk.size()) {
            *message = source.error() != QFile::NoError ? source.errorString() : copy.errorString();
            return false;
        }
    }
    if (!copy.commit()) {
        *message = copy.errorString();
        return false;
    }
    // The old permissions and time come back too; failing that, the content is what counts.
    QFile restored(step.targetPath);
    const bool attributes = restored.setPermissions(source.permissions())
        && restored.open(QIODevice::Append)
        && restored.setFileTime(
            QFileInfo(source).lastModified(), QFileDevice::FileModificationTime);
    if (!attributes)
        *message = QStringLiteral(" (its permissions or time could not be set)");
    return true;
}
