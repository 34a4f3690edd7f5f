#ifndef RUNCOUNTER_H
#define RUNCOUNTER_H

#include <QString>

// Counts the starts of the program in a small state file, so that a program restarted with the
// same arguments can tell which start it is.
class RunCounter
{
public:
    explicit RunCounter(const QString &path) : path(path) { }

    // Reads the count (0 when the file is missing), stores it plus one and returns that in *run.
    [[nodiscard]] bool next(int *run);
    QString errorString() const { return error; }

private:
    QString path;
    QString error;
};

#endif // RUNCOUNTER_H
