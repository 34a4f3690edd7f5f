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

Console::InstallationOptions::InstallationOptions(
    const QString &targetHelp, const QString &noBackupHelp)
    : targetOption(QStringLiteral("target"), targetHelp, QStringLiteral("DIR")),
      backupOption(QStringLiteral("backup"),
          QStringLiteral("Its backup tree (default: DIR/backup, as the supervisor keeps it)."),
          QStringLiteral("BACKUP")),
      noBackupOption(QStringLiteral("no-backup"), noBackupHelp)
{
}

void Console::InstallationOptions::addTo(QCommandLineParser &parser) const
{
    parser.addOptions({ targetOption, backupOption, noBackupOption });
}

int Console::InstallationOptions::resolve(const QCommandLineParser &parser, bool targetOptional)
{
    const bool backups = parser.isSet(backupOption);
    const bool none = parser.isSet(noBackupOption);
    QString problem;
    if (!targetOptional && !parser.isSet(targetOption))
        problem = QStringLiteral("missing --target DIR; see --help");
    else if (backups && none)
        problem = QStringLiteral("--backup and --no-backup exclude each other");
    else if (!parser.isSet(targetOption) && (backups || none))
        problem = QStringLiteral("--backup and --no-backup need --target");
    if (!problem.isEmpty()) {
        error(problem);
        return UsageError;
    }
    target = parser.value(targetOption);
    if (!target.isEmpty() && !none)
        backup = backups ? parser.value(backupOption) : target + QLatin1String("/backup");
    return -1;
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
