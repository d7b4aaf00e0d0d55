/* SPDX-License-Identifier: MIT */
/* A C host that loads the library at run time, as a plug-in host does:
 *
 *   host PORT DIR BLOCKS
 *
 * captures BLOCKS blocks from PORT into DIR/fix.nmea, which should be a
 * folder only this user can write, and prints each block's size.
 * Build: cc -std=c11 host.c -o host -ldl (with TolvaneGPS.h on the include
 * path). */
#include <dlfcn.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uchar.h>

#include "TolvaneGPS.h"

/* The locale's multibyte text (UTF-8, as a rule) as UTF-16. Text that is
 * not valid in the locale, or too long, becomes the empty name, which opens
 * nothing, rather than another name. */
static void Widen(const char *text, char16_t *wide, size_t units) {
  mbstate_t state = {0};
  size_t left = strlen(text) + 1, used = 0;
  for (size_t i = 0; i + 1 < units; ++i, text += used, left -= used) {
    used = mbrtoc16(&wide[i], text, left, &state);
    if (used == (size_t)-3) {
      used = 0; /* the second half of a surrogate pair: no input taken */
    } else if (used == 0) {
      return; /* the terminator, stored */
    } else if (used > left) {
      break;
    }
  }
  wide[0] = 0;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: host PORT DIR BLOCKS\n");
    return 2;
  }
  setlocale(LC_ALL, ""); /* the command line is in the locale's encoding */
  void *lib = dlopen("libTolvaneGPS.so.1", RTLD_NOW);
  if (lib == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  GPSOpenProc gps_open;
  GPSWriteProc gps_write;
  GPSCloseProc gps_close;
  /* POSIX's way to turn dlsym's void * into a function pointer. */
  *(void **)&gps_open = dlsym(lib, "GPSOpen");
  *(void **)&gps_write = dlsym(lib, "GPSWrite");
  *(void **)&gps_close = dlsym(lib, "GPSClose");
  if (gps_open == NULL || gps_write == NULL || gps_close == NULL) {
    return 1;
  }

  char path[4096];
  snprintf(path, sizeof path, "%s/fix.nmea", argv[2]);
  char16_t port[256], file[4096];
  Widen(argv[1], port, 256);
  Widen(path, file, 4096);
  gps_open(port);
  for (int block = 1; block <= atoi(argv[3]); ++block) {
    remove(path);    /* so that a lost block is never taken for the last one */
    gps_write(file); /* one block, now the whole content of the file */
    FILE *capture = fopen(path, "rb");
    long size = 0;
    if (capture != NULL) {
      fseek(capture, 0, SEEK_END);
      size = ftell(capture);
      fclose(capture);
    }
    printf("block %d: %ld bytes\n", block, size);
  }
  gps_close();
  return 0;
}
