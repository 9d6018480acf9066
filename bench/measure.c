/* measure: runs a command and writes its wall time, CPU time, peak RSS and exit status to
 * file descriptor 3, as "wall_s user_s sys_s maxrss_kib status".
 *
 * The command's peak RSS can only be told apart from its parent's when that parent is small:
 * at exec the kernel keeps the larger of the old and new memory's peak, and a child spawned
 * straight from the driver would start from the interpreter's. Built by bench/run-bench. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: measure COMMAND [ARG...]  (results on fd 3)\n");
        return 2;
    }
    FILE *report = fdopen(3, "w");
    if (!report) {
        perror("measure: fd 3");
        return 2;
    }
    fcntl(3, F_SETFD, FD_CLOEXEC);
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid;
    int err = posix_spawnp(&pid, argv[1], NULL, NULL, argv + 1, environ);
    if (err) {
        fprintf(stderr, "measure: cannot run %s\n", argv[1]);
        return 127;
    }
    int status = 0;
    struct rusage ru;
    if (wait4(pid, &status, 0, &ru) < 0) {
        perror("measure: wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    fprintf(report, "%.6f %.6f %.6f %ld %d\n",
            (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9,
            (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6,
            (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6, ru.ru_maxrss, code);
    fclose(report);
    return 0;
}
