/* The floor for the event server benchmark: the least an event server can do. One poll loop
   accepts every connection on a Unix socket, reads each to its end and writes what it sent to
   standard output, with no decoding. The socket listens with the system's maximum backlog.

   usage: event_floor SOCKET_PATH   (runs until SIGTERM or SIGINT) */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { maximumConnections = 1024, bufferBytes = 65536 };

static volatile sig_atomic_t stopping = 0;
static void stop(int signal) { (void)signal; stopping = 1; }

struct connection {
  int fd;
  size_t used;
  char buffer[bufferBytes];
};

static struct connection connections[maximumConnections];
static struct pollfd polls[maximumConnections + 1];

static void writeAll(const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDOUT_FILENO, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    length -= (size_t)written;
  }
}

/* Reads what the connection has; at its end writes the bytes out, closes it and returns 1. */
static int readAvailable(struct connection* each) {
  for (;;) {
    const ssize_t count = read(each->fd, each->buffer + each->used, bufferBytes - each->used);
    if (count > 0) {
      each->used += (size_t)count;
      if (each->used < bufferBytes) continue;
    } else if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
      return 0;
    }
    writeAll(each->buffer, each->used);
    close(each->fd);
    return 1;
  }
}

int main(int argc, char** argv) {
  if (argc != 2 || strlen(argv[1]) >= sizeof(((struct sockaddr_un*)0)->sun_path)) {
    fprintf(stderr, "usage: event_floor SOCKET_PATH\n");
    return 2;
  }
  signal(SIGTERM, stop);
  signal(SIGINT, stop);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  strcpy(address.sun_path, argv[1]);
  unlink(argv[1]);
  if (listener < 0 || bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    perror("event_floor");
    return 1;
  }
  size_t open = 0;
  while (!stopping) {
    polls[0] = (struct pollfd){.fd = open < maximumConnections ? listener : -1, .events = POLLIN};
    for (size_t index = 0; index < open; ++index) {
      polls[index + 1] = (struct pollfd){.fd = connections[index].fd, .events = POLLIN};
    }
    if (poll(polls, open + 1, 200) < 0 && errno != EINTR) break;
    for (size_t index = 0; index < open;) {
      if (polls[index + 1].revents != 0 && readAvailable(&connections[index])) {
        /* Keep the poll entries in step: the last connection takes this slot. */
        connections[index] = connections[--open];
        polls[index + 1] = polls[open + 1];
      } else {
        ++index;
      }
    }
    if (polls[0].revents != 0) {
      while (open < maximumConnections) {
        const int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        connections[open].fd = fd;
        connections[open].used = 0;
        /* A client has usually written and closed by now: read at once, saving a poll round. */
        if (!readAvailable(&connections[open])) ++open;
      }
    }
  }
  unlink(argv[1]);
  return 0;
}
