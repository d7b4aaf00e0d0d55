/* SPDX-License-Identifier: MIT */
/* A C host of the linked library, against two gps-sim receivers behind one
 * name (DIR/port, a link moved from the first to the second):
 *
 *   musl_host GPS_SIM DIR
 *
 * a block captured, a silent line (the receiver stopped) waited out with an
 * empty file, the receiver pulled, and a second one under the same name
 * captured with no new GPSOpen. Built against libTolvaneGPS.so and against
 * libTolvaneGPS.a, for musl and glibc alike. */
#define _POSIX_C_SOURCE 200809L
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <uchar.h>
#include <unistd.h>

#include "TolvaneGPS.h"

extern char **environ;

static char portLink[4096], capturePath[4096];

static void Widen(const char *text, char16_t *wide, size_t units) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < units; ++i) {
    wide[i] = (char16_t)(unsigned char)text[i];
  }
  wide[i] = 0;
}

static double Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

/* Starts gps-sim, reads its port from its first line and points DIR/port
 * at it (a new link renamed over the old one, so the name never vanishes). */
static pid_t StartReceiver(const char *sim) {
  int out[2];
  if (pipe(out) != 0) {
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 1, 0);
  char *argv[] = {(char *)sim, "--epochs", "60", NULL};
  pid_t pid;
  int failed = posix_spawn(&pid, sim, &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char port[256];
  FILE *lines = fdopen(out[0], "r");
  if (failed || lines == NULL || fgets(port, sizeof port, lines) == NULL) {
    return -1;
  }
  fclose(lines);
  port[strcspn(port, "\n")] = 0;
  char fresh[4200];
  snprintf(fresh, sizeof fresh, "%s.new", portLink);
  unlink(fresh);
  if (symlink(port, fresh) != 0 || rename(fresh, portLink) != 0) {
    return -1;
  }
  return pid;
}

/* One GPSWrite into a fresh file: the bytes it holds, and how long it took. */
static long Block(char *bytes, size_t size, double *seconds) {
  char16_t file[4096];
  Widen(capturePath, file, 4096);
  remove(capturePath);
  double start = Now();
  GPSWrite(file);
  *seconds = Now() - start;
  FILE *capture = fopen(capturePath, "rb");
  if (capture == NULL) {
    return -1;
  }
  long got = (long)fread(bytes, 1, size - 1, capture);
  fclose(capture);
  bytes[got] = 0;
  return got;
}

static int Fail(const char *what, pid_t receiver) {
  fprintf(stderr, "musl_host: %s\n", what);
  kill(receiver, SIGCONT);
  kill(receiver, SIGTERM);
  GPSClose();
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: musl_host GPS_SIM DIR\n");
    return 2;
  }
  snprintf(portLink, sizeof portLink, "%s/port", argv[2]);
  snprintf(capturePath, sizeof capturePath, "%s/fix.nmea", argv[2]);
  pid_t first = StartReceiver(argv[1]);
  if (first < 0) {
    fprintf(stderr, "musl_host: cannot start %s\n", argv[1]);
    return 1;
  }
  char16_t port[4096];
  Widen(portLink, port, 4096);
  static char bytes[6000];
  double seconds;
  if (GPSOpen(port) != GPS_COMPLETION_CODE) {
    return Fail("GPSOpen did not return 999", first);
  }

  long got = Block(bytes, sizeof bytes, &seconds);
  if (got <= 0 || bytes[0] != '$' || bytes[got - 1] != '\n') {
    return Fail("the first block is not whole sentences", first);
  }
  printf("capture: %ld bytes, %.2f s\n", got, seconds);

  /* A stopped receiver keeps the line up and sends nothing: once what it had
   * sent is read, a block waits out its 2 s and leaves an empty file. */
  kill(first, SIGSTOP);
  for (int call = 0; (got = Block(bytes, sizeof bytes, &seconds)) != 0;) {
    if (++call == 3) {
      return Fail("a silent line still delivers bytes", first);
    }
  }
  if (seconds < 1.9 || seconds > 3.0) {
    return Fail("a silent line's block did not take its 2 s", first);
  }
  printf("silent: empty after %.2f s\n", seconds);

  /* Pulled: the receiver ends and its line hangs up. Another comes back
   * under the same name, and the next blocks find it. */
  kill(first, SIGTERM);
  kill(first, SIGCONT);
  waitpid(first, NULL, 0);
  Block(bytes, sizeof bytes, &seconds);
  pid_t second = StartReceiver(argv[1]);
  if (second < 0) {
    return Fail("cannot start the second receiver", first);
  }
  int calls = 1;
  while ((got = Block(bytes, sizeof bytes, &seconds)) <= 0 && calls < 4) {
    ++calls;
  }
  if (got <= 0 || bytes[0] != '$') {
    return Fail("the receiver that came back was not captured", second);
  }
  printf("pulled and back: %ld bytes in call %d\n", got, calls);
  GPSClose();
  kill(second, SIGTERM);
  waitpid(second, NULL, 0);
  return 0;
}
