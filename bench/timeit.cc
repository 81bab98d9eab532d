// timeit: runs a command and reports its wall time and peak RSS.
//
//   timeit OUTFILE ERRFILE CMD [ARG...]
//
// Runs CMD with stdin from /dev/null and stdout/stderr sent to OUTFILE and
// ERRFILE, then prints "WALL_SECONDS MAXRSS_KIB EXIT_CODE" (exit code
// 128+N for a signal N).
//
// The bench driver times through this small launcher rather than from
// python, because Linux carries the launching process's own peak RSS over
// into the child's ru_maxrss across exec; here that overhead is about 1 MiB.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: timeit OUTFILE ERRFILE CMD [ARG...]\n", stderr);
        return 2;
    }
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) {
        std::fprintf(stderr, "timeit: %s\n", std::strerror(errno));
        return 2;
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
        ::execv(argv[3], argv + 3);
        std::fprintf(stderr, "timeit: %s: %s\n", argv[3], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    rusage ru{};
    while (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "timeit: wait4: %s\n", std::strerror(errno));
            return 2;
        }
    }
    ::clock_gettime(CLOCK_MONOTONIC, &t1);

    const double wall = static_cast<double>(t1.tv_sec - t0.tv_sec) +
                        static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %ld %d\n", wall, ru.ru_maxrss, code);
    return 0;
}
