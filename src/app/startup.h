#ifndef STARTUP_H
#define STARTUP_H

#include <QString>

// The application version text, "<platform> 2.71.0.0".
QString applicationVersionText();

// Prepares the process after the application object exists: sets the application version, makes
// the directory of the program file (argv[0]) current, rotates and opens the log and writes the
// start banner. Nothing here can fail loudly: an unresolvable program path leaves the current
// directory as it was.
void prepareProcess(const char *argv0);

#endif // STARTUP_H
