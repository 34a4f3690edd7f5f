#ifndef CONSOLE_H
#define CONSOLE_H

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The tool's own output: UTF-8 on every platform, whatever the locale.
namespace Console {

// Writes text and a line end to standard output.
void out(const QString &text);
// Writes "cashpkg: " + text and a line end to standard error.
void error(const QString &text);

// Exit statuses shared by every command.
enum Status { Success = 0, Failure = 1, UsageError = 2 };

// Parses a command's arguments (the program name first, then the command and its options), of
// which minimum to maximum (-1: minimum) are positional after the command. Returns -1 when the
// command should run; otherwise the status to exit with, after printing the help text (--help)
// or the usage error.
int parse(QCommandLineParser &parser, const QStringList &arguments, int minimum, int maximum = -1);

// The options that name an installation's directories: --target DIR, --backup BACKUP (default
// DIR/backup, as the supervisor keeps it) and --no-backup.
class InstallationOptions
{
public:
    InstallationOptions(const QString &targetHelp, const QString &noBackupHelp);
    void addTo(QCommandLineParser &parser) const;
    // After parsing: -1 when they make sense (a target, unless optional, and at most one of
    // --backup and --no-backup, neither without a target), else the status to exit with.
    int resolve(const QCommandLineParser &parser, bool targetOptional = false);

    QString target; // empty: none given
    QString backup; // empty: no backups (or no target)

private:
    const QCommandLineOption targetOption;
    const QCommandLineOption backupOption;
    const QCommandLineOption noBackupOption;
};

} // namespace Console

#endif // CONSOLE_H
