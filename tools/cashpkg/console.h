#ifndef CONSOLE_H
#define CONSOLE_H

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

} // namespace Console

#endif // CONSOLE_H
