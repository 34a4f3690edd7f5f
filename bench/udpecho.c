/* The floor of a command round trip: a minimal UDP peer that sends every datagram back.
 *
 *   udpecho PORT SECONDS
 *
 * Binds 127.0.0.1:PORT (0: any free port), prints the port and answers until SECONDS have
 * passed. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = { .sin_family = AF_INET,
        .sin_port = htons((unsigned short)atoi(argv[1])) };
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0
        || getsockname(fd, (struct sockaddr *)&addr, &len) != 0) {
        perror("udpecho");
        return 1;
    }
    printf("%d\n", ntohs(addr.sin_port));
    fflush(stdout);

    const time_t stop = time(NULL) + atoi(argv[2]);
    char buf[2048];
    while (time(NULL) < stop) {
        struct pollfd p = { .fd = fd, .events = POLLIN };
        if (poll(&p, 1, 200) <= 0)
            continue;
        struct sockaddr_in from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (struct sockaddr *)&from, &flen);
        if (n >= 0)
            sendto(fd, buf, (size_t)n, 0, (struct sockaddr *)&from, flen);
    }
    return 0;
}
