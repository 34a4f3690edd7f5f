#include "systemctl.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace {
constexpr int systemctlTimeoutMs = 30000;
constexpr int killTimeoutMs = 5000;
} // namespace

bool runSystemctl(const QStringList &arguments)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("systemctl"));
    if (program.isEmpty())
        return false;

    QProcess systemctl;
    // Nothing of systemctl's may reach our own output, and it must never wait for an answer.
    systemctl.setStandardInputFile(QProcess::nullDevice());
    systemctl.setStandardOutputFile(QProcess::nullDevice());
    systemctl.setStandardErrorFile(QProcess::nullDevice());
    systemctl.start(program, arguments);
    if (!systemctl.waitForStarted(systemctlTimeoutMs))
        return false;
    if (!systemctl.waitForFinished(systemctlTimeoutMs)) {
        systemctl.kill();
        systemctl.waitForFinished(killTimeoutMs);
        return false;
    }
    return systemctl.exitStatus() == QProcess::NormalExit && systemctl.exitCode() == 0;
}
