#ifndef SYSTEMCTL_H
#define SYSTEMCTL_H

#include <QStringList>

// Runs systemctl, found through PATH, with these arguments, without input or output of its own
// and for 30 s at most. True when it ended by itself with status 0.
bool runSystemctl(const QStringList &arguments);

#endif // SYSTEMCTL_H
