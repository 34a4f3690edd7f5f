/* The plain-C yardstick of the log: one fopen("a")/fputs/fflush/fclose per line.
 *
 *   logc DIR LINES LENGTH
 *
 * Appends LINES lines of LENGTH bytes (line feed included) to DIR/plain.log and prints
 * "lines seconds". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const int lines = atoi(argv[2]);
    const int length = atoi(argv[3]);
    char path[4096];
    snprintf(path, sizeof path, "%s/plain.log", argv[1]);
    char *line = malloc((size_t)length + 1);
    if (!line || length < 2)
        return 2;
    memset(line, 'x', (size_t)length - 1);
    line[length - 1] = '\n';
    line[length] = 0;

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int i = 0; i < lines; ++i) {
        FILE *f = fopen(path, "a");
        if (!f)
            return 1;
        fputs(line, f);
        fflush(f);
        fclose(f);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%d %.6f\n", lines, (double)(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9);
    free(line);
    return 0;
}
