/* Runs a command RUNS times and prints the median wall time in microseconds
 * and the largest peak resident memory in KiB of its runs. A small static
 * program, so that what a child inherits before exec is next to nothing.
 * Usage: spawn_stats RUNS COMMAND [ARG...] */
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int compare(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    int runs = atoi(argv[1]);
    if (runs < 1)
        return 2;
    double *times = calloc((size_t)runs, sizeof *times);
    long peak = 0;
    for (int run = 0; run < runs; ++run) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t pid = fork();
        if (pid == 0) {
            execv(argv[2], argv + 2);
            _exit(127);
        }
        int status;
        struct rusage usage;
        if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
            perror("spawn_stats");
            return 1;
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "spawn_stats: %s failed with status %d\n", argv[2], status);
            return 1;
        }
        times[run] = (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
        if (usage.ru_maxrss > peak)
            peak = usage.ru_maxrss;
    }
    qsort(times, (size_t)runs, sizeof *times, compare);
    printf("%.1f %ld\n", times[runs / 2], peak);
    return 0;
}
