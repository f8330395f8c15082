/* Starts COUNT hook commands at once, as agents and their sub-agents do in parallel: every child
   is forked first and waits on one pipe; closing it releases them all, each then execs the hook
   with DOCUMENT on its standard input. Prints how many answered "{}\n" with status 0 and the
   slowest hook's time from release to exit.

   usage: hook_burst COUNT DOCUMENT PROGRAM [ARGUMENT...]
   Exit status 1 when a hook failed or answered anything else. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: hook_burst COUNT DOCUMENT PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const int count = atoi(argv[1]);
  int gate[2];
  int answers[2];
  if (count < 1 || pipe2(gate, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) {
    perror("hook_burst");
    return 2;
  }
  for (int index = 0; index < count; ++index) {
    const pid_t child = fork();
    if (child < 0) {
      perror("fork");
      return 2;
    }
    if (child == 0) {
      char byte;
      close(gate[1]);
      while (read(gate[0], &byte, 1) > 0) {
      }
      const int document = open(argv[2], O_RDONLY);
      /* Every answer goes into one pipe; "{}\n" is shorter than PIPE_BUF, so each lands whole. */
      if (document < 0 || dup2(document, STDIN_FILENO) < 0 ||
          dup2(answers[1], STDOUT_FILENO) < 0) {
        _exit(127);
      }
      execv(argv[3], argv + 3);
      _exit(127);
    }
  }
  close(gate[0]);
  close(answers[1]);
  const double released = seconds();
  close(gate[1]);

  int succeeded = 0;
  double slowest = 0;
  for (int index = 0; index < count; ++index) {
    int status = 0;
    if (wait(&status) < 0) break;
    const double elapsed = seconds() - released;
    slowest = elapsed > slowest ? elapsed : slowest;
    succeeded += WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  char buffer[4096];
  long answered = 0;
  long bytes = 0;
  ssize_t got;
  while ((got = read(answers[0], buffer, sizeof buffer)) > 0) {
    bytes += got;
    for (ssize_t at = 0; at < got; ++at) answered += buffer[at] == '\n';
  }
  const int allNeutral = answered == count && bytes == 3L * count;
  printf("hooks %d exited 0: %d answered {}: %s slowest %.3f s\n", count, succeeded,
         allNeutral ? "all" : "NOT ALL", slowest);
  return succeeded == count && allNeutral ? 0 : 1;
}
