#ifndef MEMORYRELEASE_H
#define MEMORYRELEASE_H

#include <QtGlobal>

// Gives the memory pages that lie wholly inside [begin, begin + size) back to the system while
// they stay ours: what they held is gone (on Linux they read as zeros, and cost nothing until
// written again). For a buffer whose start has been used up while its end is still filled. On
// Windows nothing is given back: the pages stay as they are.
void releaseMemory(const char *begin, qint64 size);

#endif // MEMORYRELEASE_H
