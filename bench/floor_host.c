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

enum { maxIncoming = 8388608, readSize = 64 * 1024 };

static const char helloMarker[] = "\"type\":\"hello\"";
static const char helloReply[] = "{\"type\":\"hello\",\"protocol\":1,\"appVersion\":\"floor\"}";

struct Buffer {
  char* bytes;
  size_t start; /* first byte not yet consumed */
  size_t end;   /* one past the last byte read */
  size_t capacity;
};

struct Paths {
  char directory[4096];
  char target[4200];
  char pattern[4200];
  int directoryReady;
};

static int writeAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    bytes += n;
    size -= (size_t)n;
  }
  return 0;
}

static void sendHello(void) {
  char frame[4 + sizeof helloReply];
  uint32_t n = (uint32_t)(sizeof helloReply - 1);
  frame[0] = (char)(n & 0xff);
  frame[1] = (char)((n >> 8) & 0xff);
  frame[2] = (char)((n >> 16) & 0xff);
  frame[3] = (char)((n >> 24) & 0xff);
  memcpy(frame + 4, helloReply, n);
  (void)writeAll(STDOUT_FILENO, frame, 4 + n);
}

/* mkdir -p of the shared directory, once. */
static int ensureDirectory(struct Paths* paths) {
  if (paths->directoryReady) return 0;
  for (char* p = paths->directory + 1; *p != '\0'; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    int failed = mkdir(paths->directory, 0755) != 0 && errno != EEXIST;
    *p = '/';
    if (failed) return -1;
  }
  if (mkdir(paths->directory, 0755) != 0 && errno != EEXIST) return -1;
  paths->directoryReady = 1;
  return 0;
}

static void persist(struct Paths* paths, const char* payload, size_t size) {
  if (ensureDirectory(paths) != 0) {
    fprintf(stderr, "floor: couldn't create %s: %s\n", paths->directory, strerror(errno));
    return;
  }
  char temporary[sizeof paths->pattern];
  memcpy(temporary, paths->pattern, sizeof temporary);
  int fd = mkstemp(temporary);
  if (fd < 0) {
    fprintf(stderr, "floor: couldn't create a temporary file: %s\n", strerror(errno));
    return;
  }
  int failed = writeAll(fd, payload, size) != 0;
  failed |= close(fd) != 0;
  if (failed || rename(temporary, paths->target) != 0) {
    fprintf(stderr, "floor: couldn't write %s: %s\n", paths->target, strerror(errno));
    unlink(temporary);
  }
}

static int setUpPaths(struct Paths* paths) {
  const char* home = getenv("HOME");
  if (home == NULL || home[0] == '\0') return -1;
  int n = snprintf(paths->directory, sizeof paths->directory,
                   "%s/Library/Application Support/Quillbeam", home);
  if (n < 0 || (size_t)n >= sizeof paths->directory) return -1;
  snprintf(paths->target, sizeof paths->target, "%s/browser-link.json", paths->directory);
  snprintf(paths->pattern, sizeof paths->pattern, "%s/.browser-link.json.XXXXXX", paths->directory);
  paths->directoryReady = 0;
  return 0;
}

/* Makes room for at least `want` more bytes after `end`, moving unread bytes to the front. */
static int reserve(struct Buffer* buffer, size_t want) {
  if (buffer->start > 0) {
    memmove(buffer->bytes, buffer->bytes + buffer->start, buffer->end - buffer->start);
    buffer->end -= buffer->start;
    buffer->start = 0;
  }
  if (buffer->capacity - buffer->end >= want) return 0;
  size_t capacity = buffer->capacity ? buffer->capacity : readSize;
  while (capacity - buffer->end < want) capacity *= 2;
  char* grown = realloc(buffer->bytes, capacity);
  if (grown == NULL) return -1;
  buffer->bytes = grown;
  buffer->capacity = capacity;
  return 0;
}

int main(void) {
  struct Paths paths;
  if (setUpPaths(&paths) != 0) {
    fprintf(stderr, "floor: HOME is not set\n");
    return 1;
  }
  struct Buffer buffer = {NULL, 0, 0, 0};
  size_t need = 4; /* bytes the frame at `start` needs before it can be handled */
  for (;;) {
    if (reserve(&buffer, need > readSize ? need : readSize) != 0) {
      fprintf(stderr, "floor: out of memory\n");
      break;
    }
    ssize_t n = read(STDIN_FILENO, buffer.bytes + buffer.end, buffer.capacity - buffer.end);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.end += (size_t)n;

    int broken = 0;
    while (buffer.end - buffer.start >= 4) {
      const unsigned char* h = (const unsigned char*)buffer.bytes + buffer.start;
      uint32_t length =
          (uint32_t)h[0] | (uint32_t)h[1] << 8 | (uint32_t)h[2] << 16 | (uint32_t)h[3] << 24;
      if (length > maxIncoming) {
        broken = 1;
        break;
      }
      if (buffer.end - buffer.start < 4 + (size_t)length) {
        need = 4 + (size_t)length - (buffer.end - buffer.start);
        break;
      }
      const char* payload = buffer.bytes + buffer.start + 4;
      if (memmem(payload, length, helloMarker, sizeof helloMarker - 1) != NULL) {
        sendHello();
      } else {
        persist(&paths, payload, length);
      }
      buffer.start += 4 + (size_t)length;
      need = 4;
    }
    if (broken) break;
  }
  free(buffer.bytes);
  return 0;
}
