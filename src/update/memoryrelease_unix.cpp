#include "memoryrelease.h"

#include <sys/mman.h>
#include <unistd.h>

void releaseMemory(const char *begin, qint64 size)
{
    static const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr first = (quintptr(begin) + page - 1) / page * page;
    const quintptr end = (quintptr(begin) + quintptr(size)) / page * page;
    if (size > 0 && end > first)
        static_cast<void>(::madvise(reinterpret_cast<void *>(first), end - first, MADV_DONTNEED));
}
