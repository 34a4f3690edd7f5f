/* Command round trips against a UDP peer on this machine.
 *
 *   udpclient PORT COUNT HEXCOMMAND HEXANSWER [BURST]
 *
 * Sends COUNT commands (the datagram HEXCOMMAND, e.g. 00000007) to 127.0.0.1:PORT from
 * 127.0.0.1, one at a time, each waiting up to 1 s for its answer, which must equal HEXANSWER.
 * Then, when BURST is given, sends BURST commands back to back and counts the answers that come
 * back within 1 s. Prints one line:
 *   count lost wrong p50_us p99_us max_us per_second burst_sent burst_answered */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static size_t unhex(const char *s, unsigned char *out, size_t max)
{
    size_t n = 0;
    while (s[0] && s[1] && n < max) {
        unsigned v;
        if (sscanf(s, "%2x", &v) != 1)
            break;
        out[n++] = (unsigned char)v;
        s += 2;
    }
    return n;
}

static int cmp(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc < 5)
        return 2;
    const int count = atoi(argv[2]);
    unsigned char cmd[64], want[64], buf[2048];
    const size_t cmd_len = unhex(argv[3], cmd, sizeof cmd);
    const size_t want_len = unhex(argv[4], want, sizeof want);
    const int burst = argc > 5 ? atoi(argv[5]) : 0;

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in local = { .sin_family = AF_INET }, peer = { .sin_family = AF_INET };
    local.sin_addr.s_addr = peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons((unsigned short)atoi(argv[1]));
    if (fd < 0 || bind(fd, (struct sockaddr *)&local, sizeof local) != 0
        || connect(fd, (struct sockaddr *)&peer, sizeof peer) != 0) {
        perror("udpclient");
        return 1;
    }

    double *rtt = malloc(sizeof(double) * (size_t)(count > 0 ? count : 1));
    int done = 0, lost = 0, wrong = 0;
    const double start = now_us();
    for (int i = 0; i < count; ++i) {
        const double t0 = now_us();
        if (send(fd, cmd, cmd_len, 0) != (ssize_t)cmd_len) {
            ++lost;
            continue;
        }
        struct pollfd p = { .fd = fd, .events = POLLIN };
        if (poll(&p, 1, 1000) <= 0) {
            ++lost;
            continue;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        rtt[done++] = now_us() - t0;
        if (n != (ssize_t)want_len || memcmp(buf, want, want_len) != 0)
            ++wrong;
    }
    const double elapsed = now_us() - start;
    /* A late answer must not count in the burst. */
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) { }

    int answered = 0;
    if (burst > 0) {
        for (int i = 0; i < burst; ++i)
            send(fd, cmd, cmd_len, 0);
        for (;;) {
            struct pollfd p = { .fd = fd, .events = POLLIN };
            if (answered == burst || poll(&p, 1, 1000) <= 0)
                break;
            if (recv(fd, buf, sizeof buf, 0) >= 0)
                ++answered;
        }
    }

    qsort(rtt, (size_t)done, sizeof(double), cmp);
    const double p50 = done ? rtt[done / 2] : 0;
    const double p99 = done ? rtt[(int)((done - 1) * 0.99)] : 0;
    const double max = done ? rtt[done - 1] : 0;
    printf("%d %d %d %.1f %.1f %.1f %.0f %d %d\n", count, lost, wrong, p50, p99, max,
        elapsed > 0 ? done / (elapsed / 1e6) : 0.0, burst, answered);
    free(rtt);
    return 0;
}
