#ifndef LINKS_H
#define LINKS_H

#include <QString>

// Makes a link at link that the file system follows, to target as written (relative to the
// link's directory, or absolute). On Windows a directory is linked by a junction, which needs no
// privilege, anything else by a symbolic link. False, with the reason in *why, when this system
// cannot make one.
bool makeLink(const QString &target, const QString &link, QString *why = nullptr);

#endif // LINKS_H
