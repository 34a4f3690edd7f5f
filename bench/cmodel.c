/* Plain-C model of the installer's in-memory design, the yardstick for its overhead.
 *
 *   cmodel [-w] [-s STEP] PACKAGE TARGET [BACKUP]
 *
 * The same steps as the installer, with nothing but libc and zlib: read the whole package,
 * inflate it in 1 KiB steps into one growing buffer, walk the 512-byte tar records, create the
 * directories, move an existing file into the mirror backup tree (dropping an older backup),
 * write each file in 512-byte records (stdio fwrite; -w: one write(2) per record) and give it
 * its mode. Exit status 0 when the package was complete and every entry installed. -s sets the
 * inflate step (default 1024), to show what the 1 KiB steps of the design cost. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#define RECORD 512
static int raw_writes;
static size_t step = 1024;

static unsigned char *read_whole(const char *path, size_t *size)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return NULL;
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        fclose(f);
        return NULL;
    }
    unsigned char *data = malloc(st.st_size ? (size_t)st.st_size : 1);
    size_t got = data ? fread(data, 1, (size_t)st.st_size, f) : 0;
    fclose(f);
    if (!data || got != (size_t)st.st_size) {
        free(data);
        return NULL;
    }
    *size = got;
    return data;
}

static unsigned char *inflate_all(const unsigned char *in, size_t in_size, size_t *out_size)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (in_size < 5 || inflateInit2(&z, MAX_WBITS + 32) != Z_OK)
        return NULL;
    z.next_in = (unsigned char *)in;
    z.avail_in = (uInt)in_size;
    size_t cap = in_size * 2, len = 0;
    unsigned char *out = malloc(cap);
    for (;;) {
        if (!out)
            break;
        if (cap - len < step) {
            cap *= 2;
            unsigned char *grown = realloc(out, cap);
            if (!grown) {
                free(out);
                out = NULL;
                break;
            }
            out = grown;
        }
        z.next_out = out + len;
        z.avail_out = (uInt)step;
        int rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR) {
            free(out);
            out = NULL;
            break;
        }
        len += step - z.avail_out;
        if (z.avail_out != 0)
            break;
    }
    inflateEnd(&z);
    *out_size = len;
    return out;
}

static int octal(const unsigned char *field, int width, unsigned long long *value)
{
    int b = 0, e = width;
    while (b < e && (field[b] < '0' || field[b] > '7'))
        ++b;
    while (e > b && (field[e - 1] < '0' || field[e - 1] > '7'))
        --e;
    if (b == e)
        return 0;
    unsigned long long v = 0;
    for (int i = b; i < e; ++i) {
        if (field[i] < '0' || field[i] > '7')
            return 0;
        v = v * 8 + (unsigned)(field[i] - '0');
    }
    *value = v;
    return 1;
}

static int mkpath(const char *path)
{
    char buf[PATH_MAX];
    snprintf(buf, sizeof buf, "%s", path);
    for (char *p = buf + 1; *p; ++p) {
        if (*p != '/')
            continue;
        *p = 0;
        if (mkdir(buf, 0777) != 0 && errno != EEXIST)
            return 0;
        *p = '/';
    }
    return mkdir(buf, 0777) == 0 || errno == EEXIST;
}

static int write_file(const char *path, const unsigned char **pos, const unsigned char *end,
    unsigned long long size, mode_t mode)
{
    int fd = -1;
    FILE *f = NULL;
    if (raw_writes)
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    else if ((f = fopen(path, "wb")))
        fd = fileno(f);
    if (fd < 0) {
        fprintf(stderr, "cannot open %s: %s\n", path, strerror(errno));
        return 0;
    }
    fchmod(fd, mode);
    int ok = 1;
    while (size > 0 && ok) {
        size_t avail = (size_t)(end - *pos) < RECORD ? (size_t)(end - *pos) : RECORD;
        size_t want = size < RECORD ? (size_t)size : RECORD;
        size_t n = avail < want ? avail : want;
        if (n)
            ok = raw_writes ? write(fd, *pos, n) == (ssize_t)n : fwrite(*pos, 1, n, f) == n;
        *pos += avail;
        if (n < want)
            break;
        size -= n;
    }
    if (raw_writes)
        ok = close(fd) == 0 && ok;
    else
        ok = fclose(f) == 0 && ok;
    return ok;
}

int main(int argc, char **argv)
{
    int a = 1;
    for (; a < argc && argv[a][0] == '-'; ++a) {
        if (strcmp(argv[a], "-w") == 0)
            raw_writes = 1;
        else if (strcmp(argv[a], "-s") == 0 && a + 1 < argc && atoi(argv[a + 1]) >= 64)
            step = (size_t)atoi(argv[++a]);
        else
            break;
    }
    if (argc - a < 2) {
        fprintf(stderr, "usage: cmodel [-w] [-s STEP] PACKAGE TARGET [BACKUP]\n");
        return 2;
    }
    const char *target = argv[a + 1];
    const char *backup = argc - a > 2 ? argv[a + 2] : NULL;
    if (backup && !mkpath(backup))
        return 1;

    size_t package_size = 0, tar_size = 0;
    unsigned char *package = read_whole(argv[a], &package_size);
    if (!package)
        return 1;
    unsigned char *tar = inflate_all(package, package_size, &tar_size);
    if (!tar || tar_size == 0)
        return 1;

    const unsigned char *pos = tar, *end = tar + tar_size;
    char tpath[PATH_MAX], bpath[PATH_MAX];
    static const unsigned char zero[RECORD];
    for (;;) {
        if (end - pos < RECORD)
            return 1;
        const unsigned char *h = pos;
        pos += RECORD;
        if (memcmp(h, zero, RECORD) == 0)
            return (end - pos >= RECORD && memcmp(pos, zero, RECORD) == 0) ? 0 : 1;

        unsigned long long size, mtime, sum, mode = 0644;
        if (!octal(h + 124, 12, &size) || !octal(h + 136, 12, &mtime) || !octal(h + 148, 8, &sum))
            return 1;
        octal(h + 100, 8, &mode);
        unsigned long long check = 0;
        for (int i = 0; i < RECORD; ++i)
            check += (i >= 148 && i < 156) ? ' ' : h[i];
        if (check != sum)
            return 1;
        char name[101];
        memcpy(name, h, 100);
        name[100] = 0;
        if (name[0] == '/' || strstr(name, ".."))
            return 1;
        snprintf(tpath, sizeof tpath, "%s/%s", target, name);
        if (backup)
            snprintf(bpath, sizeof bpath, "%s/%s", backup, name);

        struct stat st;
        const int exists = lstat(tpath, &st) == 0;
        if (h[156] == '5') {
            if (backup && exists && !mkpath(bpath))
                return 1;
            if (!mkpath(tpath))
                return 1;
        } else {
            if (backup && exists) {
                unlink(bpath);
                if (rename(tpath, bpath) != 0)
                    fprintf(stderr, "no backup of %s: %s\n", tpath, strerror(errno));
            }
            const mode_t m = exists ? (st.st_mode & 07777) : (mode_t)(0644 | (mode & 0111));
            if (!write_file(tpath, &pos, end, size, m))
                return 1;
        }
        if (pos >= end)
            return 1;
    }
}
