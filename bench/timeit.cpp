// Runs one command and prints its wall time, CPU time and peak memory.
//
//   timeit [-i FILE] [-o FILE] -- COMMAND [ARGS...]
//
// -i gives the command FILE as standard input, -o sends its standard output
// to FILE (default: both left as they are). Prints one line on standard
// error: "wall USER SYS MAXRSS_KB" with the times in seconds. The times are
// from the clock and from wait4's resource use, which counts the command
// and every descendant it waited for; the peak is the largest of their
// resident sets. Exits with the command's status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: timeit [-i FILE] [-o FILE] -- COMMAND [ARGS...]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    const char* input = nullptr;
    const char* output = nullptr;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc) usage();
        if (std::strcmp(argv[i], "-i") == 0) {
            input = argv[++i];
        } else if (std::strcmp(argv[i], "-o") == 0) {
            output = argv[++i];
        } else {
            usage();
        }
    }
    if (i >= argc) usage();

    const double start = now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("timeit: fork");
        return 2;
    }
    if (child == 0) {
        if (input != nullptr) {
            const int fd = open(input, O_RDONLY);
            if (fd < 0 || dup2(fd, 0) < 0) _exit(127);
            close(fd);
        }
        if (output != nullptr) {
            const int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
            close(fd);
        }
        execvp(argv[i], argv + i);
        std::perror("timeit: exec");
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("timeit: wait4");
            return 2;
        }
    }
    const double wall = now() - start;
    std::fprintf(stderr, "%.6f %.6f %.6f %ld\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
                 usage.ru_maxrss);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
