/* Times hook commands the way an agent runs them: spawn, write the document to a pipe, close it,
   read the answer to its end, wait. Runs the programs in turn, so that both see the same machine,
   and prints each one's median and 90th percentile wall time and its peak resident set size.

   usage: hook_timer RUNS DOCUMENT PROGRAM [PROGRAM...]
   Exit status 1 when a program answers anything but "{}\n" or exits non-zero. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

enum { maximumPrograms = 4, maximumDocument = 1 << 20 };

static double seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static int compare(const void* a, const void* b) {
  const double x = *(const double*)a;
  const double y = *(const double*)b;
  return (x > y) - (x < y);
}

/* One run; returns the wall time, or -1 on a wrong answer. `peakKiB` is raised to the child's. */
static double runOnce(const char* program, const char* document, size_t length, long* peakKiB) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
    perror("pipe2");
    exit(2);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  char* const arguments[] = {(char*)program, NULL};
  const double start = seconds();
  pid_t child = 0;
  if (posix_spawn(&child, program, &actions, NULL, arguments, environ) != 0) {
    perror(program);
    exit(2);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  size_t offset = 0;
  while (offset < length) {
    const ssize_t written = write(input[1], document + offset, length - offset);
    if (written <= 0) {
      break;
    }
    offset += (size_t)written;
  }
  close(input[1]);
  char answer[64];
  size_t received = 0;
  ssize_t count = 0;
  while ((count = read(output[0], answer + received, sizeof answer - received)) > 0) {
    received += (size_t)count;
    if (received == sizeof answer) {
      break;
    }
  }
  close(output[0]);
  int status = 0;
  struct rusage usage;
  wait4(child, &status, 0, &usage);
  const double elapsed = seconds() - start;
  if (usage.ru_maxrss > *peakKiB) {
    *peakKiB = usage.ru_maxrss;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received != 3 ||
      memcmp(answer, "{}\n", 3) != 0) {
    return -1;
  }
  return elapsed;
}

int main(int argc, char** argv) {
  if (argc < 4 || argc - 3 > maximumPrograms) {
    fprintf(stderr, "usage: hook_timer RUNS DOCUMENT PROGRAM [PROGRAM...]\n");
    return 2;
  }
  const int runs = atoi(argv[1]);
  FILE* file = fopen(argv[2], "rb");
  if (runs < 1 || file == NULL) {
    fprintf(stderr, "hook_timer: bad run count or unreadable document\n");
    return 2;
  }
  static char document[maximumDocument];
  const size_t length = fread(document, 1, sizeof document, file);
  fclose(file);
  const int programs = argc - 3;
  double* times[maximumPrograms];
  long peakKiB[maximumPrograms] = {0};
  for (int p = 0; p < programs; ++p) {
    times[p] = calloc((size_t)runs, sizeof(double));
    /* One untimed run each warms the page cache. */
    long ignored = 0;
    runOnce(argv[3 + p], document, length, &ignored);
  }
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    for (int p = 0; p < programs; ++p) {
      const double elapsed = runOnce(argv[3 + p], document, length, &peakKiB[p]);
      if (elapsed < 0) {
        ++failures;
      }
      times[p][run] = elapsed;
    }
  }
  double medians[maximumPrograms];
  for (int p = 0; p < programs; ++p) {
    qsort(times[p], (size_t)runs, sizeof(double), compare);
    medians[p] = times[p][runs / 2];
    const char* name = strrchr(argv[3 + p], '/');
    printf("%-16s median %7.0f us   p90 %7.0f us   peak RSS %5ld KiB\n",
           name != NULL ? name + 1 : argv[3 + p], medians[p] * 1e6,
           times[p][(runs * 9) / 10] * 1e6, peakKiB[p]);
    free(times[p]);
  }
  if (programs >= 2) {
    printf("ratio (first / last): %.2f\n", medians[0] / medians[programs - 1]);
  }
  if (failures > 0) {
    fprintf(stderr, "hook_timer: %d runs gave a wrong answer or exit status\n", failures);
    return 1;
  }
  return 0;
}
