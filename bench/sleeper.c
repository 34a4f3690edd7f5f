/* A trivial cash application for the start and idle benchmarks: says it runs, then sleeps.
 *
 *   sleeper SECONDS */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    fputs("started\n", stdout);
    fflush(stdout);
    sleep(argc > 1 ? (unsigned)atoi(argv[1]) : 60);
    return 0;
}
