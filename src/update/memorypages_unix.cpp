#include "memorypages.h"

#include <sys/mman.h>
#include <unistd.h>

namespace {

void advise(const char *begin, qint64 size, quintptr unit, int advice)
{
    const quintptr first = (quintptr(begin) + unit - 1) / unit * unit;
    const quintptr end = (quintptr(begin) + quintptr(size)) / unit * unit;
    if (size > 0 && end > first)
        static_cast<void>(::madvise(reinterpret_cast<void *>(first), end - first, advice));
}

} // namespace

void releaseMemory(const char *begin, qint64 size)
{
    static const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    advise(begin, size, page, MADV_DONTNEED);
}

void prepareMemory(const char *begin, qint64 size)
{
#ifdef MADV_POPULATE_WRITE
    static const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    advise(begin, size, page, MADV_POPULATE_WRITE);
#else
    static_cast<void>(begin);
    static_cast<void>(size);
#endif
}
