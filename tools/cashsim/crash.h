#ifndef CRASH_H
#define CRASH_H

// Ends this process abnormally, so that its parent sees a crash rather than an exit code.
[[noreturn]] void crashNow();

#endif // CRASH_H
