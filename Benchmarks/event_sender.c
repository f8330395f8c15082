/* Drives an event server the way hooks do: two threads, each sending its share of EVENTS lines
   over one connection per line (connect, write, close; 0.25 s send limit like the hook's client),
   then waits until the server's output file holds a line for each sent event. Prints the sent,
   failed and delivered counts and the delivery rate.

   usage: event_sender SOCKET_PATH OUTPUT_FILE EVENTS LINE_FILE
   LINE_FILE holds one line, sent EVENTS times, or several, sent in turn (event n is line n modulo
   their count; the threads take every other event, so each line's predecessors go first).
   OUTPUT_FILE "api:API_SOCKET" counts the display service's "eventsReceived" (GET /v1/status on
   its API socket) instead of lines.
   Exit status 1 when an event that was sent is not delivered within 10 s. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { clientThreads = 2 };

static struct sockaddr_un address = {.sun_family = AF_UNIX};
static char* lines;
static size_t* lineStarts; /* lineCount + 1 offsets into lines */
static size_t lineCount;
static long perThread;
static long failures[clientThreads];

/* The display service's "eventsReceived", or -1 when it cannot be asked. */
static long eventsReceived(const char* apiSocket) {
  struct sockaddr_un api = {.sun_family = AF_UNIX};
  strncpy(api.sun_path, apiSocket, sizeof api.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&api, sizeof api) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  static const char request[] = "GET /v1/status HTTP/1.0\r\nHost: localhost\r\n\r\n";
  long result = -1;
  if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == (ssize_t)(sizeof request - 1)) {
    char response[4096];
    size_t length = 0;
    ssize_t count;
    while (length < sizeof response - 1 &&
           (count = read(fd, response + length, sizeof response - 1 - length)) > 0) {
      length += (size_t)count;
    }
    response[length] = 0;
    const char* found = strstr(response, "\"eventsReceived\":");
    if (found) result = atol(found + strlen("\"eventsReceived\":"));
  }
  close(fd);
  return result;
}

static double seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void* sendShare(void* argument) {
  const long thread = (long)argument;
  const struct timeval limit = {.tv_sec = 0, .tv_usec = 250000};
  for (long index = 0; index < perThread; ++index) {
    const size_t chosen = (size_t)(index * clientThreads + thread) % lineCount;
    const char* line = lines + lineStarts[chosen];
    const size_t lineLength = lineStarts[chosen + 1] - lineStarts[chosen];
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int ok = connect(fd, (struct sockaddr*)&address, sizeof address) == 0;
    size_t offset = 0;
    while (ok && offset < lineLength) {
      const ssize_t written = send(fd, line + offset, lineLength - offset, MSG_NOSIGNAL);
      ok = written > 0;
      offset += ok ? (size_t)written : 0;
    }
    failures[thread] += !ok;
    close(fd);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc != 5 || strlen(argv[1]) >= sizeof address.sun_path) {
    fprintf(stderr, "usage: event_sender SOCKET_PATH OUTPUT_FILE EVENTS LINE_FILE\n");
    return 2;
  }
  strcpy(address.sun_path, argv[1]);
  const long events = atol(argv[3]);
  FILE* lineFile = fopen(argv[4], "rb");
  size_t length = 0;
  if (lineFile && fseek(lineFile, 0, SEEK_END) == 0) {
    const long size = ftell(lineFile);
    rewind(lineFile);
    lines = size > 0 ? malloc((size_t)size) : NULL;
    length = lines ? fread(lines, 1, (size_t)size, lineFile) : 0;
  }
  if (length == 0 || lines[length - 1] != '\n') {
    fprintf(stderr, "event_sender: %s must hold lines, the last one ended\n", argv[4]);
    return 2;
  }
  fclose(lineFile);
  for (size_t at = 0; at < length; ++at) lineCount += lines[at] == '\n';
  lineStarts = malloc((lineCount + 1) * sizeof *lineStarts);
  lineStarts[0] = 0;
  for (size_t at = 0, next = 1; at < length; ++at) {
    if (lines[at] == '\n') lineStarts[next++] = at + 1;
  }
  const char* apiSocket = strncmp(argv[2], "api:", 4) == 0 ? argv[2] + 4 : NULL;
  const int output = apiSocket ? -1 : open(argv[2], O_RDONLY | O_CLOEXEC);
  if (!apiSocket && output < 0) {
    perror(argv[2]);
    return 2;
  }
  /* Only lines written (events received) from now on count. */
  char block[65536];
  ssize_t count;
  while (!apiSocket && (count = read(output, block, sizeof block)) > 0) {
  }
  const long receivedBefore = apiSocket ? eventsReceived(apiSocket) : 0;
  if (receivedBefore < 0) {
    fprintf(stderr, "event_sender: cannot ask %s\n", apiSocket);
    return 2;
  }

  perThread = events / clientThreads;
  const double began = seconds();
  pthread_t threads[clientThreads];
  for (long thread = 0; thread < clientThreads; ++thread) {
    pthread_create(&threads[thread], NULL, sendShare, (void*)thread);
  }
  for (long thread = 0; thread < clientThreads; ++thread) {
    pthread_join(threads[thread], NULL);
  }
  const long sent = perThread * clientThreads;
  const long failed = failures[0] + failures[1];
  long delivered = 0;
  const double giveUp = seconds() + 10;
  while (delivered < sent - failed && seconds() < giveUp) {
    if (apiSocket) {
      const long received = eventsReceived(apiSocket);
      if (received >= 0) delivered = received - receivedBefore;
      if (delivered < sent - failed) usleep(1000);
      continue;
    }
    count = read(output, block, sizeof block);
    if (count <= 0) {
      usleep(200);
      continue;
    }
    for (ssize_t at = 0; at < count; ++at) delivered += block[at] == '\n';
  }
  const double elapsed = seconds() - began;
  printf("sent %ld failed %ld delivered %ld in %.3f s: %.0f events/s\n", sent, failed, delivered,
         elapsed, (double)delivered / elapsed);
  return delivered == sent - failed ? 0 : 1;
}
