#ifndef UPDATEPATHS_H
#define UPDATEPATHS_H

#include <QString>

// Where the supervisor installs updates (its own directory, made current at start-up) and keeps
// the files they replace.
inline QString updateTargetDirectory()
{
    return QStringLiteral(".");
}

inline QString updateBackupDirectory()
{
    return QStringLiteral("./backup");
}

#endif // UPDATEPATHS_H
