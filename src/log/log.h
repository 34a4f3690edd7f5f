#ifndef LOG_H
#define LOG_H

#include <QString>

// The process-wide log: one text file, one line per report, opened, appended to and closed for
// every line so that other processes may move or archive it between two lines.
namespace Log {

// Smaller is more severe; a report is written when its level is at most the threshold.
using Level = int;
enum : Level {
    Emergency = 0,
    Alert = 1,
    Critical = 2,
    Error = 3,
    Warning = 4,
    Notice = 5,
    Info = 6,
    Debug = 7,
};

// Writes one line "time; label; where; text" when enabled and level passes the threshold.
// Failures are silent: the line is lost and the next write tries again.
void write(Level level, const QString &where, const QString &text);

// Threshold, clamped to -1 (nothing is written) .. 7 (everything is written); any 64-bit number
// is taken, so that no setting can wrap around into another level.
void setLevel(qint64 level);
int level();

// Directory of the log file; created with its parents when missing.
void setDirectory(const QString &path);

// Base name of the log file (without ".log"); an empty name disables the log.
void setBaseName(const QString &name);

// Sends every line to standard output in UTF-8 instead of the log file: for console tools that
// run the program's own code and show its reports. Off by default; the threshold still applies.
void setStandardOutput(bool on);

// Moves an existing directory/baseName.extension aside to
// directory/baseName_yyMMdd_hhmmss.extension and returns the path of the current file.
QString rotate(const QString &directory, const QString &baseName, const QString &extension);

// The four-letter label of a level, empty outside 0..7.
QString levelLabel(Level level);

} // namespace Log

#endif // LOG_H
