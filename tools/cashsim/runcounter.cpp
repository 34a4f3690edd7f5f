#include "runcounter.h"

#include <QFile>

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
    // Rewritten in place: replacing the file by a rename is refused under Wine right after the
    // previous run was killed, and a counter of a few bytes needs no atomic replacement.
    QFile out(path);
    const QByteArray text = QByteArray::number(count + 1) + '\n';
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(text) != text.size()
        || !out.flush()) {
        error = QStringLiteral("cannot write state file %1: %2").arg(path, out.errorString());
        return false;
    }
    *run = count + 1;
    return true;
}
