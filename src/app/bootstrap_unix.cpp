#include "bootstrap.h"

#include "app/systemctl.h"

#include <QFile>
#include <QStringList>

namespace {
// The systemd service this process belongs to, from its control group ("0::/system.slice/
// x.service" with the unified hierarchy, "1:name=systemd:/system.slice/x.service" with the
// others); empty when it runs in none.
QString ownServiceUnit()
{
    QFile file(QStringLiteral("/proc/self/cgroup"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString unit;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(':');
        if (fields.size() < 3 || !(fields.at(1).isEmpty() || fields.at(1) == "name=systemd"))
            continue;
        const QString group =
            QFile::decodeName(line.mid(fields.at(0).size() + fields.at(1).size() + 2));
        const QString last = group.section(QLatin1Char('/'), -1);
        if (last.endsWith(QLatin1String(".service")))
            unit = last;
    }
    return unit;
}
} // namespace

ScriptPlatform currentScriptPlatform()
{
    return ScriptPlatform::Unix;
}

QStringList bootstrapCommand(const QString &scriptPath)
{
    return { QStringLiteral("/bin/sh"), scriptPath };
}

bool requestServiceRestart()
{
    const QString unit = ownServiceUnit();
    if (unit.isEmpty())
        return false;
    // Without waiting for the job, which ends this process and this very systemctl with it.
    return runSystemctl({ QStringLiteral("restart"), QStringLiteral("--no-block"),
        QStringLiteral("--no-ask-password"), unit });
}
