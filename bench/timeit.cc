// timeit: runs a command and reports its wall time, peak RSS and threads.
//
//   timeit [-s DIR] OUTFILE ERRFILE CMD [ARG...]
//
// Runs CMD with stdin from /dev/null and stdout/stderr sent to OUTFILE and
// ERRFILE, then prints "WALL_SECONDS MAXRSS_KIB EXIT_CODE THREADS" (exit
// code 128+N for a signal N).
//
// THREADS is the largest number of threads the child was seen running: the
// launcher reads the "Threads:" line of /proc/PID/status while it waits,
// every millisecond at first and every 4 ms after about 100 ms, so threads
// that live for less than that may be missed. It is at least 1.
//
// With -s DIR, once the child has ended the launcher calls syncfs on the
// filesystem holding DIR and stops the clock only when that returns, so the
// wall time includes getting the child's writes onto that filesystem's
// device. A failing syncfs is an error (exit 2).
//
// The bench driver times through this small launcher rather than from
// python, because Linux carries the launching process's own peak RSS over
// into the child's ru_maxrss across exec; here that overhead is about 1 MiB.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Open /proc/PID/status of the child, or -1 if it cannot be read (no /proc):
// then the thread count is reported as 1.
int open_status(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

// Threads the process has now, from its status file (re-read from offset 0,
// which the kernel regenerates), or 0 if unknown.
long threads_now(int fd) {
    char buf[4096];
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char* p = std::strstr(buf, "\nThreads:");
    if (p == nullptr) return 0;
    return std::strtol(p + 9, nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
    const char* sync_dir = nullptr;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "-s") == 0) {
        sync_dir = argv[2];
        first = 3;
    }
    if (argc - first < 3) {
        std::fputs("usage: timeit [-s DIR] OUTFILE ERRFILE CMD [ARG...]\n", stderr);
        return 2;
    }
    char** cmd = argv + first + 2;
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(argv[first], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(argv[first + 1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) {
        std::fprintf(stderr, "timeit: %s\n", std::strerror(errno));
        return 2;
    }
    int sync_fd = -1;
    if (sync_dir != nullptr) {
        sync_fd = ::open(sync_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (sync_fd < 0) {
            std::fprintf(stderr, "timeit: %s: %s\n", sync_dir, std::strerror(errno));
            return 2;
        }
    }

    timespec t0{}, t1{};
    ::clock_gettime(CLOCK_MONOTONIC, &t0);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::fprintf(stderr, "timeit: fork: %s\n", std::strerror(errno));
        return 2;
    }
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(cmd[0], cmd);
        std::fprintf(stderr, "timeit: %s: %s\n", cmd[0], std::strerror(errno));
        ::_exit(127);
    }

    // Watch the thread count until the child has ended: every millisecond
    // for the first 100 or so, then every 4, as each look costs the child a
    // little when it keeps every CPU busy (two busy threads on two CPUs for
    // half a second: about 3% slower looked at every 1 ms throughout, 1.5%
    // on this schedule). The status file of a process that has ended but
    // not been reaped still reads. Waiting on a pidfd wakes us as soon as
    // the child ends, so the tick adds nothing to the wall time; without
    // one (old kernel) we sleep a tick at a time.
    const int status_fd = open_status(pid);
    const int pid_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    long threads = 1;
    int ticks = 0;
    int status = 0;
    rusage ru{};
    for (;;) {
        const pid_t got = ::wait4(pid, &status, status_fd >= 0 ? WNOHANG : 0, &ru);
        if (got == pid) break;
        if (got < 0 && errno != EINTR) {
            std::fprintf(stderr, "timeit: wait4: %s\n", std::strerror(errno));
            return 2;
        }
        if (got == 0) {
            const long now = threads_now(status_fd);
            if (now > threads) threads = now;
            const int tick_ms = ++ticks < 100 ? 1 : 4;
            if (pid_fd >= 0) {
                pollfd p{pid_fd, POLLIN, 0};
                ::poll(&p, 1, tick_ms);
            } else {
                const timespec tick{0, tick_ms * 1'000'000L};
                ::nanosleep(&tick, nullptr);
            }
        }
    }
    if (sync_fd >= 0 && ::syncfs(sync_fd) != 0) {
        std::fprintf(stderr, "timeit: syncfs %s: %s\n", sync_dir, std::strerror(errno));
        return 2;
    }
    ::clock_gettime(CLOCK_MONOTONIC, &t1);

    const double wall = static_cast<double>(t1.tv_sec - t0.tv_sec) +
                        static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %ld %d %ld\n", wall, ru.ru_maxrss, code, threads);
    return 0;
}
