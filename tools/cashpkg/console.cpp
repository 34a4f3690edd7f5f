#include "console.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

namespace {

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Console::out(const QString &text)
{
    write(stdout, text);
}

void Console::error(const QString &text)
{
    write(stderr, QLatin1String("cashpkg: ") + text);
}

int Console::parse(
    QCommandLineParser &parser, const QStringList &arguments, int minimum, int maximum)
{
    const QCommandLineOption help = parser.addHelpOption();
    if (!parser.parse(arguments)) {
        error(parser.errorText());
        return UsageError;
    }
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toUtf8().constData(), stdout);
        std::fflush(stdout);
        return Success;
    }
    // The first positional argument is the command itself.
    const int given = int(parser.positionalArguments().size()) - 1;
    if (given < minimum || given > (maximum < 0 ? minimum : maximum)) {
        error(given < minimum ? QStringLiteral("missing argument; see --help")
                              : QStringLiteral("too many arguments; see --help"));
        return UsageError;
    }
    return -1;
}
