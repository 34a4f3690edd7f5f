#ifndef MEMORYPAGES_H
#define MEMORYPAGES_H

#include <QtGlobal>

// How the installer's large buffers (the package, its content) use the system's memory pages.

// Gives the memory pages that lie wholly inside [begin, begin + size) back to the system while
// they stay ours: what they held is gone (on Linux they read as zeros, and cost nothing until
// written again). For a buffer whose start has been used up while its end is still filled. On
// Windows nothing is given back: the pages stay as they are.
void releaseMemory(const char *begin, qint64 size);

// Makes the pages of [begin, begin + size) ready to be written, without changing what they hold,
// in one call rather than one page fault each; another thread may be writing them meanwhile. Only
// a hint: where the system cannot (Windows, Linux before 5.14), the pages fault in as written.
void prepareMemory(const char *begin, qint64 size);

#endif // MEMORYPAGES_H
