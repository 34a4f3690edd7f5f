/* Start and idle costs of the supervisor.
 *
 *   startbench child PROGRAM ARG            time from fork to PROGRAM's first output (ms)
 *   startbench start DIR SUPERVISOR         time from fork to the log line that the cash
 *                                           application started (ms)
 *   startbench idle DIR SUPERVISOR SECONDS  the supervisor's RSS, CPU ticks and context
 *                                           switches over SECONDS once it has started
 *
 * DIR holds the supervisor's config.ini; DIR/log/localserver.log must not exist yet. Every
 * process started is ended by its pid before the program returns. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char *started_line = "Cash process started successfully";

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int file_contains(const char *path, const char *needle)
{
    static char buf[1 << 16];
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = 0;
    return strstr(buf, needle) != NULL;
}

/* Children of pid, found through /proc, so that they can be ended once their parent is gone. */
static int children_of(pid_t pid, pid_t *out, int max)
{
    int n = 0;
    DIR *d = opendir("/proc");
    struct dirent *e;
    while (d && (e = readdir(d)) && n < max) {
        char path[300], buf[512];
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
        int fd = open(path, O_RDONLY);
        if (fd < 0)
            continue;
        ssize_t len = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (len <= 0)
            continue;
        buf[len] = 0;
        const char *p = strrchr(buf, ')');
        int ppid = 0;
        if (p && sscanf(p + 2, "%*c %d", &ppid) == 1 && ppid == pid)
            out[n++] = atoi(e->d_name);
    }
    if (d)
        closedir(d);
    return n;
}

static void end_tree(pid_t pid)
{
    pid_t kids[16];
    const int n = children_of(pid, kids, 16);
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    for (int i = 0; i < n; ++i)
        kill(kids[i], SIGKILL);
}

static pid_t start_supervisor(const char *dir, const char *program)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir) != 0)
            _exit(127);
        execl(program, program, (char *)NULL);
        _exit(127);
    }
    return pid;
}

/* Waits (up to 30 s) for the start line in DIR/log/localserver.log; returns 0 on success. */
static int wait_started(const char *dir, int watch_fd)
{
    char log[4096];
    snprintf(log, sizeof log, "%s/log/localserver.log", dir);
    const double deadline = now_ms() + 30000;
    char events[4096];
    while (now_ms() < deadline) {
        if (file_contains(log, started_line))
            return 0;
        struct pollfd p = { .fd = watch_fd, .events = POLLIN };
        if (poll(&p, 1, 100) > 0 && read(watch_fd, events, sizeof events) < 0)
            return -1;
    }
    return -1;
}

static int watch_log(const char *dir)
{
    char logdir[4096];
    snprintf(logdir, sizeof logdir, "%s/log", dir);
    mkdir(logdir, 0777);
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0 || inotify_add_watch(fd, logdir, IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE) < 0)
        return -1;
    return fd;
}

static long long field_from_status(pid_t pid, const char *key)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "r");
    long long v = -1;
    while (f && fgets(line, sizeof line, f)) {
        if (strncmp(line, key, strlen(key)) == 0) {
            v = atoll(line + strlen(key));
            break;
        }
    }
    if (f)
        fclose(f);
    return v;
}

/* A field of /proc/PID/smaps_rollup in kB: what the process's pages cost when shared ones are
 * divided among their users (Pss), and its anonymous memory. */
static long long field_from_rollup(pid_t pid, const char *key)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/smaps_rollup", pid);
    FILE *f = fopen(path, "r");
    long long v = -1;
    while (f && fgets(line, sizeof line, f)) {
        if (strncmp(line, key, strlen(key)) == 0) {
            v = atoll(line + strlen(key));
            break;
        }
    }
    if (f)
        fclose(f);
    return v;
}

static long long cpu_ticks(pid_t pid)
{
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY);
    ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);
    if (fd >= 0)
        close(fd);
    if (n <= 0)
        return -1;
    buf[n] = 0;
    unsigned long long utime = 0, stime = 0;
    const char *p = strrchr(buf, ')');
    /* Fields after the name: state(3) ... utime(14) stime(15). */
    if (!p
        || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime)
            != 2)
        return -1;
    return (long long)(utime + stime);
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "child") == 0) {
        int fds[2];
        if (pipe(fds) != 0)
            return 1;
        const double t0 = now_ms();
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            execl(argv[2], argv[2], argv[3], (char *)NULL);
            _exit(127);
        }
        close(fds[1]);
        char c;
        const int ok = read(fds[0], &c, 1) == 1;
        const double t1 = now_ms();
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
        if (!ok)
            return 1;
        printf("%.3f\n", t1 - t0);
        return 0;
    }
    if (argc >= 4 && (strcmp(argv[1], "start") == 0 || strcmp(argv[1], "idle") == 0)) {
        const char *dir = argv[2];
        int watch = watch_log(dir);
        if (watch < 0)
            return 1;
        const double t0 = now_ms();
        pid_t pid = start_supervisor(dir, argv[3]);
        if (pid < 0)
            return 1;
        if (wait_started(dir, watch) != 0) {
            end_tree(pid);
            fprintf(stderr, "startbench: no start line\n");
            return 1;
        }
        const double t1 = now_ms();
        if (strcmp(argv[1], "start") == 0) {
            end_tree(pid);
            printf("%.3f\n", t1 - t0);
            return 0;
        }
        const int seconds = argc > 4 ? atoi(argv[4]) : 60;
        sleep(2);
        const long long cpu0 = cpu_ticks(pid);
        const long long sw0 = field_from_status(pid, "voluntary_ctxt_switches:")
            + field_from_status(pid, "nonvoluntary_ctxt_switches:");
        const long long rss0 = field_from_status(pid, "VmRSS:");
        sleep((unsigned)seconds);
        const long long cpu1 = cpu_ticks(pid);
        const long long sw1 = field_from_status(pid, "voluntary_ctxt_switches:")
            + field_from_status(pid, "nonvoluntary_ctxt_switches:");
        const long long rss1 = field_from_status(pid, "VmRSS:");
        const long long hwm = field_from_status(pid, "VmHWM:");
        const long long pss = field_from_rollup(pid, "Pss:");
        const long long anon = field_from_rollup(pid, "Anonymous:");
        end_tree(pid);
        /* rss_start_kb rss_end_kb hwm_kb cpu_ticks ticks_per_s context_switches seconds pss_kb
         * anonymous_kb */
        printf("%lld %lld %lld %lld %ld %lld %d %lld %lld\n", rss0, rss1, hwm, cpu1 - cpu0,
            sysconf(_SC_CLK_TCK), sw1 - sw0, seconds, pss, anon);
        return 0;
    }
    fprintf(stderr,
        "usage: startbench child PROGRAM ARG | start DIR SUPERVISOR | idle DIR SUPERVISOR "
        "SECONDS\n");
    return 2;
}
