#include "testutil.h"

#include "log/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCodec>
#include <QUdpSocket>

QString fromCp1251(const QByteArray &bytes)
{
    return QTextCodec::codecForName("Windows-1251")->toUnicode(bytes);
}

QList<LogLine> readLog(const QString &path)
{
    static const QRegularExpression head(
        QStringLiteral("^(\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d); ([A-Z]*); "));
    QList<LogLine> lines;
    const QString text = fromCp1251(readFile(path));
    const QStringList rawLines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < rawLines.size(); ++i) {
        QString raw = rawLines.at(i);
        if (raw.endsWith(QLatin1Char('\r')))
            raw.chop(1);
        if (i == rawLines.size() - 1 && raw.isEmpty())
            break;
        const QRegularExpressionMatch m = head.match(raw);
        if (!m.hasMatch()) {
            if (!lines.isEmpty())
                lines.last().text += QLatin1Char('\n') + raw;
            continue;
        }
        const QString rest = raw.mid(m.capturedLength(0));
        const int sep = rest.indexOf(QLatin1String("; "));
        LogLine line;
        line.time = m.captured(1);
        line.label = m.captured(2);
        line.where = sep < 0 ? rest : rest.left(sep);
        line.text = sep < 0 ? QString() : rest.mid(sep + 2);
        lines.append(line);
    }
    return lines;
}

QStringList logEntries(const QString &path)
{
    QStringList entries;
    const QList<LogLine> lines = readLog(path);
    for (const LogLine &line : lines)
        entries.append(QStringLiteral("%1; %2; %3").arg(line.label, line.where, line.text));
    return entries;
}

QString useTestLog(const QString &directory, int level)
{
    Log::setDirectory(directory);
    Log::setBaseName(QStringLiteral("localserver"));
    Log::setLevel(level);
    return directory + QStringLiteral("/localserver.log");
}

QList<CashRun> readCashRuns(const QString &path)
{
    QList<CashRun> runs;
    CashRun current;
    const QStringList lines = QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("run ")))
            current = CashRun { line.mid(4).toInt(), 0, QString() };
        else if (line.startsWith(QLatin1String("pid ")))
            current.pid = line.mid(4).toLongLong();
        else if (line.startsWith(QLatin1String("cwd ")))
            current.cwd = line.mid(4);
        else if (line == QLatin1String("end"))
            runs << current;
    }
    return runs;
}

int readDatagrams(QUdpSocket &socket, const QByteArray &expected, int *wrong)
{
    int read = 0;
    while (socket.hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(socket.pendingDatagramSize(), 0)), '\0');
        if (socket.readDatagram(datagram.data(), datagram.size()) < 0)
            break;
        if (!expected.isNull() && datagram != expected)
            ++*wrong;
        ++read;
    }
    return read;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString testProgram(const char *buildPath)
{
    const QString build = QFile::decodeName(buildPath);
    const QString beside =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QFileInfo(build).fileName();
    // Absolute, with its drive on Windows: the supervisor resolves paths from another directory.
    return QFileInfo(QFileInfo(beside).isFile() ? beside : build).absoluteFilePath();
}

QByteArray logLineEnd()
{
#ifdef Q_OS_WIN
    return QByteArrayLiteral("\r\n");
#else
    return QByteArrayLiteral("\n");
#endif
}
