#ifndef STARTUP_H
#define STARTUP_H

#include <QString>
#include <QStringList>

// The application version text, "<platform> <the project's version>", e.g. "Linux 2.71.0.0".
QString applicationVersionText();

// Prepares the process after the application object exists: sets the application version, makes
// the directory of the running program file current, rotates and opens the log and writes the
// start banner. Nothing here can fail loudly: a program directory that cannot be entered leaves
// the current directory as it was.
void prepareProcess();

// Brings the program's directory back from an update that a kill or a power cut interrupted, or
// finishes one that was complete, before anything starts on it; the log says what was done.
// False when the directory could not be brought back: then the cash application must not start.
[[nodiscard]] bool recoverInterruptedUpdate();

// The last argument after the program path that begins with "auth=" (any letter case), whole and
// as typed; empty when there is none.
QString authArgument(const QStringList &arguments);

#endif // STARTUP_H
