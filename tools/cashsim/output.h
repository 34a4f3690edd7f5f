#ifndef OUTPUT_H
#define OUTPUT_H

#include <QString>

// Everything cashsim reports goes out a line at a time and is flushed at once, so that it
// interleaves correctly with the supervisor's own output that it is forwarded to.
namespace Output {

// Put in front of every line, e.g. "cashsim run 2: ".
void setPrefix(const QString &prefix);
void say(const QString &line); // standard output
void complain(const QString &line); // standard error
// "00 01 00 05"
QString hex(const QByteArray &bytes);

} // namespace Output

#endif // OUTPUT_H
