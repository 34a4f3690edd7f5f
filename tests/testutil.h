#ifndef TESTUTIL_H
#define TESTUTIL_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class QUdpSocket;

// AddressSanitizer (announced by gcc with a macro, by clang through __has_feature) keeps freed
// memory in quarantine and reserves address space of its own: memory figures and limits say
// nothing in such a build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitizedBuild = true;
#else
constexpr bool sanitizedBuild = false;
#endif
#else
constexpr bool sanitizedBuild = false;
#endif

// One parsed log line: everything after the time stamp.
struct LogLine
{
    QString time;
    QString label;
    QString where;
    QString text;
};

// Reads a log file as Windows-1251 and splits it into lines (continuation lines of a multi-line
// entry are appended to the text of the entry they belong to).
QList<LogLine> readLog(const QString &path);

// Decodes Windows-1251 bytes.
QString fromCp1251(const QByteArray &bytes);

// "LABEL; where; text" of each line, the form most tests compare against.
QStringList logEntries(const QString &path);

// Sends the process-wide log to directory/localserver.log with this threshold; returns its path.
QString useTestLog(const QString &directory, int level = 7);

// One start of the cash application as cashsim's "record" step wrote it.
struct CashRun
{
    int run = 0;
    qint64 pid = 0;
    QString cwd;
};
QList<CashRun> readCashRuns(const QString &path);

// Reads every datagram waiting at socket and returns how many; each one that differs from
// expected (unless expected is null) is counted in *wrong.
int readDatagrams(QUdpSocket &socket, const QByteArray &expected, int *wrong);

// Writes bytes to path, creating parent directories; returns false on any failure.
bool writeFile(const QString &path, const QByteArray &bytes);

// Reads a whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);

// A program the tests run: the file of the same name beside the test's own executable when there
// is one (tests copied into an installed tree run its programs), else the build's at buildPath.
QString testProgram(const char *buildPath);

// The bytes that end each line of the log, and each line feed inside an entry: the log file is
// written in text mode, which stores "\n" as CR LF on Windows.
QByteArray logLineEnd();

#endif // TESTUTIL_H
