/* The floor host: the least a native messaging host can do for the bridge's work.
 *
 * It reads length-prefixed frames on standard input. A frame whose payload mentions
 * "type":"hello" is answered with a hello frame; every other payload is written to a
 * temporary file beside $HOME/Library/Application Support/Quillbeam/browser-link.json and
 * renamed over it (no fsync). No JSON parsing, no bus. It exits with status 0 at the end of
 * its input, or when a header declares more than the 8 MiB that hosts accept. Benchmarks
 * compare real hosts against this one. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { maxIncoming = 8388608 };

static const char helloMarker[] = "\"type\":\"hello\"";
static const char helloReply[] = "{\"type\":\"hello\",\"protocol\":1,\"appVersion\":\"floor\"}";

static void sendHello(void) {
  const uint32_t n = sizeof helloReply - 1;
  const unsigned char header[4] = {n & 0xff, n >> 8 & 0xff, n >> 16 & 0xff, n >> 24};
  fwrite(header, 1, 4, stdout);
  fwrite(helloReply, 1, n, stdout);
  fflush(stdout);
}

/* mkdir -p, once. */
static int ensureDirectory(char* path) {
  static int ready = 0;
  for (char* p = path + 1; !ready; ++p) {
    if (*p != '/' && *p != '\0') continue;
    const char c = *p;
    *p = '\0';
    const int failed = mkdir(path, 0755) != 0 && errno != EEXIST;
    *p = c;
    if (failed) return -1;
    ready = c == '\0';
  }
  return 0;
}

static void persist(char* directory, const char* target, const char* payload, size_t size) {
  char temporary[4200];
  snprintf(temporary, sizeof temporary, "%s/.browser-link.json.XXXXXX", directory);
  const int fd = ensureDirectory(directory) == 0 ? mkstemp(temporary) : -1;
  if (fd < 0) {
    fprintf(stderr, "floor: couldn't create a file in %s: %s\n", directory, strerror(errno));
    return;
  }
  int failed = 0;
  for (size_t done = 0; done < size && !failed;) {
    const ssize_t n = write(fd, payload + done, size - done);
    failed = n < 0 && errno != EINTR;
    done += n > 0 ? (size_t)n : 0;
  }
  failed |= close(fd) != 0;
  if (failed || rename(temporary, target) != 0) {
    fprintf(stderr, "floor: couldn't write %s: %s\n", target, strerror(errno));
    unlink(temporary);
  }
}

int main(void) {
  const char* home = getenv("HOME");
  char directory[4096];
  char target[4200];
  if (home == NULL || home[0] == '\0' ||
      snprintf(directory, sizeof directory, "%s/Library/Application Support/Quillbeam", home) >=
          (int)sizeof directory) {
    fprintf(stderr, "floor: HOME is not set or too long\n");
    return 1;
  }
  snprintf(target, sizeof target, "%s/browser-link.json", directory);
  static char readBuffer[64 * 1024];
  setvbuf(stdin, readBuffer, _IOFBF, sizeof readBuffer);

  char* payload = NULL;
  size_t capacity = 0;
  unsigned char h[4];
  while (fread(h, 1, 4, stdin) == 4) {
    const uint32_t length =
        (uint32_t)h[0] | (uint32_t)h[1] << 8 | (uint32_t)h[2] << 16 | (uint32_t)h[3] << 24;
    if (length > maxIncoming) break;
    if (length > capacity) {
      char* grown = realloc(payload, length);
      if (grown == NULL) {
        fprintf(stderr, "floor: out of memory\n");
        break;
      }
      payload = grown;
      capacity = length;
    }
    if (fread(payload, 1, length, stdin) != length) break;
    if (length > 0 && memmem(payload, length, helloMarker, sizeof helloMarker - 1) != NULL) {
      sendHello();
    } else {
      persist(directory, target, payload, length);
    }
  }
  free(payload);
  return 0;
}
