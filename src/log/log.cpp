#include "log.h"

#include "logfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTextCodec>

#include <cstdio>
#include <limits>
#include <string>

namespace {

struct LogState
{
    bool enabled = false;
    bool toStandardOutput = false;
    int threshold = Log::Debug;
    QString directory = QStringLiteral(".");
    QString baseName;
    // directory/baseName.log, kept relative when the directory is: the system then resolves it
    // against the current directory at every open, as the log requires, without a lookup of ours.
    QString filePath;
};

LogState &state()
{
    static LogState s;
    return s;
}

QTextCodec *logCodec()
{
    static QTextCodec *const codec = QTextCodec::codecForName("Windows-1251");
    return codec;
}

void updateFilePath(LogState &s)
{
    const QString directory = s.directory.isEmpty() ? QStringLiteral(".") : s.directory;
    s.filePath = QDir::cleanPath(directory + QLatin1Char('/') + s.baseName + QLatin1String(".log"));
}

// Appends "dd/MM/yy hh:mm:ss.zzz" of now to out (and to text when given). Formatting a date through
// the locale costs more than writing the line, so the part up to the seconds is formatted once a
// second and reused; local time offsets only ever change on a whole second.
void appendTimeStamp(std::string &out, QString *text = nullptr)
{
    static qint64 cachedSecond = std::numeric_limits<qint64>::min();
    static QString prefixText;
    static QByteArray prefixBytes;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = now >= 0 ? now / 1000 : (now - 999) / 1000;
    if (second != cachedSecond) {
        prefixText = QDateTime::fromMSecsSinceEpoch(second * 1000)
                         .toString(QStringLiteral("dd/MM/yy hh:mm:ss."));
        prefixBytes = logCodec() ? logCodec()->fromUnicode(prefixText) : prefixText.toLatin1();
        cachedSecond = second;
    }
    const int millis = int(now - second * 1000);
    const char digits[] = { char('0' + millis / 100), char('0' + millis / 10 % 10),
        char('0' + millis % 10), '\0' };
    out.append(prefixBytes.constData(), std::size_t(prefixBytes.size()));
    out.append(digits, 3);
    if (text)
        *text = prefixText + QLatin1String(digits);
}

// Unicode to Windows-1251 for the characters the code page holds, built from the codec itself so
// that it cannot disagree with it: the codec opens a converter on every call, which costs more
// than writing the line.
class Cp1251Table
{
public:
    Cp1251Table()
    {
        QTextCodec *codec = logCodec();
        for (int b = 0x80; codec && b <= 0xff; ++b) {
            const char byte = char(b);
            const QString decoded = codec->toUnicode(&byte, 1);
            if (decoded.size() == 1 && codec->fromUnicode(decoded) == QByteArray(1, byte))
                highBytes.insert(decoded.at(0).unicode(), byte);
        }
    }

    // Appends the bytes of text; false when a character is not in the table.
    bool append(std::string &out, QStringView text) const
    {
        const QChar *in = text.data();
        const std::size_t size = std::size_t(text.size());
        const std::size_t start = out.size();
        out.resize(start + size);
        char *p = &out[start];
        // Most text is ASCII: one pass to tell, one to copy, both without a branch per character.
        ushort all = 0;
        for (std::size_t i = 0; i < size; ++i)
            all |= in[i].unicode();
        if (all < 0x80) {
            for (std::size_t i = 0; i < size; ++i)
                p[i] = char(in[i].unicode());
            return true;
        }
        for (std::size_t i = 0; i < size; ++i) {
            const ushort u = in[i].unicode();
            if (u < 0x80) {
                p[i] = char(u);
                continue;
            }
            const auto it = highBytes.constFind(u);
            if (it == highBytes.constEnd())
                return false;
            p[i] = it.value();
        }
        return true;
    }

private:
    QHash<ushort, char> highBytes;
};

const Cp1251Table &cp1251()
{
    static const Cp1251Table table;
    return table;
}

const char *labelText(Log::Level level)
{
    static const char *const labels[] = { "EMRG", "ALRT", "CRIT", "ERRR", "WARN", "NOTE", "INFO",
        "DEBG" };
    return level < 0 || level > Log::Debug ? "" : labels[level];
}

// The line with its line feed, in Windows-1251, in a buffer that keeps its memory from line to
// line. Without a place marker in where, the successive substitutions come down to joining the
// four parts, which is done straight into the buffer.
const std::string &lineBytes(Log::Level level, const QString &where, const QString &text)
{
    thread_local std::string bytes;
    bytes.clear();
    if (!where.contains(QLatin1Char('%'))) {
        appendTimeStamp(bytes);
        bytes += "; ";
        bytes += labelText(level);
        bytes += "; ";
        if (cp1251().append(bytes, where)) {
            bytes += "; ";
            if (cp1251().append(bytes, text)) {
                bytes += '\n';
                return bytes;
            }
        }
        bytes.clear();
    }
    // Successive substitutions on purpose: a "%1" inside where is filled by the text that follows.
    QString stamp;
    appendTimeStamp(bytes, &stamp);
    const QString line = QStringLiteral("%1; %2; %3; %4")
                             .arg(stamp)
                             .arg(QLatin1String(labelText(level)))
                             .arg(where)
                             .arg(text);
    const QByteArray encoded = logCodec() ? logCodec()->fromUnicode(line) : line.toLatin1();
    bytes.assign(encoded.constData(), std::size_t(encoded.size()));
    bytes += '\n';
    return bytes;
}

} // namespace

QString Log::levelLabel(Level level)
{
    return QLatin1String(labelText(level));
}

void Log::write(Level level, const QString &where, const QString &text)
{
    const LogState &s = state();
    if ((!s.enabled && !s.toStandardOutput) || s.threshold < level)
        return;
    if (s.toStandardOutput) {
        // For tools that show the log to a person: UTF-8 on their terminal, no file.
        QString stamp;
        std::string ignored;
        appendTimeStamp(ignored, &stamp);
        const QByteArray utf8 = QStringLiteral("%1; %2; %3; %4")
                                    .arg(stamp)
                                    .arg(levelLabel(level))
                                    .arg(where)
                                    .arg(text)
                                    .toUtf8()
            + '\n';
        std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout);
        std::fflush(stdout);
        return;
    }
    appendToFile(s.filePath, lineBytes(level, where, text).c_str());
}

void Log::setLevel(qint64 level)
{
    state().threshold = int(qBound<qint64>(-1, level, Debug));
}

int Log::level()
{
    return state().threshold;
}

void Log::setDirectory(const QString &path)
{
    state().directory = path;
    updateFilePath(state());
    // Made as given, relative to the current directory, which the system resolves itself: a
    // directory name that is not valid UTF-8 has no absolute spelling as text.
    if (!QDir(path).exists())
        QDir().mkpath(path);
}

void Log::setStandardOutput(bool on)
{
    state().toStandardOutput = on;
}

void Log::setBaseName(const QString &name)
{
    state().baseName = name;
    state().enabled = !name.isEmpty();
    updateFilePath(state());
}

QString Log::rotate(const QString &directory, const QString &baseName, const QString &extension)
{
    const QString current = QStringLiteral("%1/%2.%3").arg(directory, baseName, extension);
    if (!QFile::exists(current))
        return current;

    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss"));
    const QString target = QStringLiteral("%1/%2_%3.%4").arg(directory, baseName, stamp, extension);
    // Two starts within one second: the earlier rotated file of that second gives way.
    if (QFile::exists(target))
        QFile::remove(target);
    QFile::rename(current, target);
    return current;
}
