#include "runcounter.h"

#include <QFile>
#include <QSaveFile>

bool RunCounter::next(int *run)
{
    int count = 0;
    QFile in(path);
    if (in.exists()) {
        if (!in.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read state file %1: %2").arg(path, in.errorString());
            return false;
        }
        bool ok = false;
        count = in.readAll().trimmed().toInt(&ok);
        if (!ok || count < 0) {
            error = QStringLiteral("state file %1 holds no run count").arg(path);
            return false;
        }
    }
    QSaveFile out(path);
    const QByteArray text = QByteArray::number(count + 1) + '\n';
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        error = QStringLiteral("cannot write state file %1: %2").arg(path, out.errorString());
        return false;
    }
    *run = count + 1;
    return true;
}
