/* A plain i386 reader to measure the module against: it fetches a file
 * over FTP in active mode, receives the data in 64 KiB reads, cuts records
 * (lines with memchr, fixed lengths, or S370V descriptor words) and copies
 * each one into a record buffer, as any careful C program would. It prints
 * one JSON line like ftpam_bench: the time from the data connection's accept
 * to its end (elapsed and processor), the records and their bytes.
 *
 *   ref_reader ADDRESS USER PASSWORD REMOTE lines|fixed|s370v [LRECL]
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { RECV_SIZE = 65536, REPLY_MAX = 4096 };

static int control = -1;

static void die(const char* what) {
  perror(what);
  exit(1);
}

/* Reads one reply (multi-line replies whole) and returns its code. */
static int reply(void) {
  char line[REPLY_MAX];
  int code = 0;
  for (;;) {
    size_t n = 0;
    char c = 0;
    while (n + 1 < sizeof line && read(control, &c, 1) == 1 && c != '\n') line[n++] = c;
    if (c != '\n') die("reply");
    line[n] = '\0';
    if (n >= 4 && line[3] == ' ' && (code == 0 || atoi(line) == code)) return atoi(line);
    if (code == 0 && n >= 4 && line[3] == '-') code = atoi(line);
  }
}

static int command(const char* format, const char* argument) {
  char text[512];
  int n = snprintf(text, sizeof text, format, argument);
  if (n < 0 || (size_t)n >= sizeof text || write(control, text, (size_t)n) != n) die("command");
  return reply();
}

/* The record buffer is never read again, so without this the compiler would
 * leave out the copies this reader is here to make. */
static inline void keep(const char* record) { __asm__ __volatile__("" : : "r"(record) : "memory"); }

static double cpu(void) {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: ref_reader ADDRESS USER PASSWORD REMOTE lines|fixed|s370v [LRECL]\n");
    return 2;
  }
  const char* mode = argv[5];
  const size_t lrecl = argc > 6 ? (size_t)atol(argv[6]) : 80;
  const int lines = strcmp(mode, "lines") == 0, s370v = strcmp(mode, "s370v") == 0;

  struct sockaddr_in server = {0};
  server.sin_family = AF_INET;
  server.sin_port = htons(21);
  if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) die("address");
  control = socket(AF_INET, SOCK_STREAM, 0);
  if (control < 0 || connect(control, (struct sockaddr*)&server, sizeof server) != 0)
    die("connect");
  if (reply() != 220 || command("USER %s\r\n", argv[2]) / 100 != 3 ||
      command("PASS %s\r\n", argv[3]) != 230 ||
      command("TYPE %s\r\n", lines ? "A" : "I") != 200)
    die("log-in");

  struct sockaddr_in local;
  socklen_t length = sizeof local;
  if (getsockname(control, (struct sockaddr*)&local, &length) != 0) die("getsockname");
  local.sin_port = 0;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  length = sizeof local;
  if (listener < 0 || bind(listener, (struct sockaddr*)&local, sizeof local) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr*)&local, &length) != 0)
    die("listen");
  unsigned char* a = (unsigned char*)&local.sin_addr;
  unsigned port = ntohs(local.sin_port);
  char port_text[64];
  snprintf(port_text, sizeof port_text, "%u,%u,%u,%u,%u,%u", a[0], a[1], a[2], a[3], port >> 8,
           port & 255);
  if (command("PORT %s\r\n", port_text) != 200 || command("RETR %s\r\n", argv[4]) / 100 != 1)
    die("RETR");
  int data = accept(listener, NULL, NULL);
  if (data < 0) die("accept");

  const size_t capacity = 2 * RECV_SIZE + lrecl + 4;
  char* buffer = malloc(capacity);
  char* record = malloc(lrecl);
  if (!buffer || !record) die("malloc");
  long records = 0;
  long long bytes = 0;
  size_t held = 0;
  const double start = now(), cpu_start = cpu();
  for (;;) {
    if (capacity - held < RECV_SIZE) die("a line longer than the buffer");
    ssize_t n = recv(data, buffer + held, RECV_SIZE, 0);
    if (n < 0) die("recv");
    if (n == 0) break;
    held += (size_t)n;
    size_t at = 0;
    for (;;) {
      size_t take, skip;
      if (lines) {
        const char* lf = memchr(buffer + at, '\n', held - at);
        if (!lf) break;
        take = (size_t)(lf - (buffer + at));
        skip = take + 1;
        if (take > 0 && lf[-1] == '\r') --take;
      } else if (s370v) {
        if (held - at < 4) break;
        const unsigned char* w = (const unsigned char*)buffer + at;
        size_t total = (size_t)w[0] * 256 + w[1];
        if (total < 4) die("descriptor");
        if (held - at < total) break;
        take = total - 4;
        skip = total;
        at += 4;
        skip -= 4;
      } else {
        if (held - at < lrecl) break;
        take = skip = lrecl;
      }
      memcpy(record, buffer + at, take < lrecl ? take : lrecl);
      keep(record);
      ++records;
      bytes += (long long)take;
      at += skip;
    }
    memmove(buffer, buffer + at, held - at);
    held -= at;
  }
  if (held > 0) { /* a last record without its end */
    memcpy(record, buffer, held < lrecl ? held : lrecl);
    keep(record);
    ++records;
    bytes += (long long)held;
  }
  const double seconds = now() - start, cpu_seconds = cpu() - cpu_start;
  close(data);
  close(listener);
  reply();
  command("QUIT\r\n", "");
  printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"records\": %ld, \"bytes\": %lld}\n",
         seconds, cpu_seconds, records, bytes);
  free(buffer);
  free(record);
  return 0;
}
