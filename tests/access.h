#ifndef ACCESS_H
#define ACCESS_H

#include <QString>

// Lets every user change the file or directory at path: on Linux the write bits of group and
// others, on Windows an entry granting Everyone the right to write. False, with the reason in
// *why, when that cannot be done.
bool letEveryoneWrite(const QString &path, QString *why);

// Gives the file at path to another user (on Linux "nobody", which needs root). False, with the
// reason in *why, when this system or this user cannot.
bool giveToAnotherUser(const QString &path, QString *why);

#endif // ACCESS_H
