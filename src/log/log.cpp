#include "log.h"

#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTextCodec>

#include <cstdio>

namespace {

struct LogState
{
    bool enabled = false;
    bool toStandardOutput = false;
    int threshold = Log::Debug;
    QString directory = QStringLiteral(".");
    QString baseName;
};

LogState &state()
{
    static LogState s;
    return s;
}

const QString &dateFormat()
{
    static const QString format = QStringLiteral("dd/MM/yy hh:mm:ss.zzz");
    return format;
}

QTextCodec *logCodec()
{
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1251");
    return codec;
}

} // namespace

QString Log::levelLabel(Level level)
{
    static const char *const labels[] = { "EMRG", "ALRT", "CRIT", "ERRR", "WARN", "NOTE", "INFO", "DEBG" };
    if (level < 0 || level > Debug)
        return QString();
    return QLatin1String(labels[level]);
}

void Log::write(Level level, const QString &where, const QString &text)
{
    const LogState &s = state();
    if ((!s.enabled && !s.toStandardOutput) || s.threshold < level)
        return;

    // Successive substitutions on purpose: a "%1" inside where is filled by the text that follows.
    const QString line = QStringLiteral("%1; %2; %3; %4")
                                 .arg(QDateTime::currentDateTime().toString(dateFormat()))
                                 .arg(levelLabel(level))
                                 .arg(where)
                                 .arg(text);
    if (s.toStandardOutput) {
        const QByteArray utf8 = line.toUtf8() + '\n';
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
        std::fflush(stdout);
        return;
    }
    QByteArray bytes = logCodec() ? logCodec()->fromUnicode(line) : line.toLatin1();
    bytes.append('\n');

    const QString path = QDir(s.directory).absoluteFilePath(s.baseName + QLatin1String(".log"));
    appendToFile(path, bytes);
}

void Log::setLevel(int level)
{
    state().threshold = qBound(-1, level, int(Debug));
}

int Log::level()
{
    return state().threshold;
}

void Log::setDirectory(const QString &path)
{
    state().directory = path;
    const QDir dir(path);
    if (!dir.exists())
        QDir().mkpath(dir.absolutePath());
}

void Log::setStandardOutput(bool on)
{
    state().toStandardOutput = on;
}

void Log::setBaseName(const QString &name)
{
    state().baseName = name;
    state().enabled = !name.isEmpty();
}

QString Log::rotate(const QString &directory, const QString &baseName, const QString &extension)
{
    const QString current = QStringLiteral("%1/%2.%3").arg(directory, baseName, extension);
    if (!QFile::exists(current))
        return current;

    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));
    const QString target =
            QStringLiteral("%1/%2_%3.%4").arg(directory, baseName, stamp, extension);
    // Two starts within one second: the earlier rotated file of that second gives way.
    if (QFile::exists(target))
        QFile::remove(target);
    QFile::rename(current, target);
    return current;
}
