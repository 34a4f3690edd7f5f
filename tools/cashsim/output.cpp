#include "output.h"

#include <QByteArray>

#include <cstdio>

namespace {
QString linePrefix = QStringLiteral("cashsim: ");

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = (linePrefix + line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}
} // namespace

namespace Output {

void setPrefix(const QString &prefix)
{
    linePrefix = prefix;
}

void say(const QString &line)
{
    writeLine(stdout, line);
}

void complain(const QString &line)
{
    writeLine(stderr, line);
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace Output
