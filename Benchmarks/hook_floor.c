/* The floor for the hook latency benchmark: the least a hook command can do. It reads its
   standard input to the end and writes the same answer as the real hook. */
#include <unistd.h>

int main(void) {
  char block[8192];
  while (read(STDIN_FILENO, block, sizeof block) > 0) {
  }
  return write(STDOUT_FILENO, "{}\n", 3) == 3 ? 0 : 1;
}
