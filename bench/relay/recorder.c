/* recorder PORT [PROGRESS_FILE]: connects to the daemon's NvrPort on 127.0.0.1, takes the byte stream apart into
 * the generator's payloads and verifies each (magic, length, filler), their order, and the
 * latency from the send time in the payload to its arrival. Runs until SIGTERM or the end of the
 * connection. Prints: delivered corrupt reordered p50_us p99_us. With PROGRESS_FILE, it also
 * rewrites that file about once a second with "delivered corrupt reordered bytes".
 * BENCH_RECORDER_PAUSE_US=N makes it pause N µs after each read that emptied the socket, as a
 * recorder on another machine takes bytes off the wire without the sender waking it for each
 * payload; the latency run leaves it unset and reads at once. */
#define _GNU_SOURCE
#include "frames.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop;
static void on_signal(int s) { (void)s; stop = 1; }

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static int compare(const void* a, const void* b) {
  const uint64_t x = *(const uint64_t*)a, y = *(const uint64_t*)b;
  return x < y ? -1 : x > y;
}

/* Written beside and renamed over, so a reader never sees half a line. */
static void write_progress(const char* path, uint64_t delivered, uint64_t corrupt, uint64_t reordered,
                           uint64_t bytes) {
  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.new", path);
  FILE* out = fopen(temporary, "w");
  if (!out) return;
  fprintf(out, "%llu %llu %llu %llu\n", (unsigned long long)delivered, (unsigned long long)corrupt,
          (unsigned long long)reordered, (unsigned long long)bytes);
  fclose(out);
  rename(temporary, path);
}

#define LATENCIES (1u << 22)

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) { fprintf(stderr, "usage: recorder PORT [PROGRESS_FILE]\n"); return 2; }
  const char* progress = argc == 3 ? argv[2] : NULL;
  struct sigaction action = {0};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in daemon = {0};
  daemon.sin_family = AF_INET;
  daemon.sin_port = htons((uint16_t)atoi(argv[1]));
  daemon.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&daemon, sizeof daemon) != 0) { perror("connect"); return 1; }
  int size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  /* Wakes up at least once a second, so the progress file is fresh even when nothing arrives. */
  struct timeval wake = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  fprintf(stderr, "recorder connected\n");

  const char* pause_text = getenv("BENCH_RECORDER_PAUSE_US");
  const long pause_us = pause_text ? atol(pause_text) : 0;
  const struct timespec pause = {0, pause_us * 1000};
  static uint8_t buffer[1 << 20];
  static uint64_t latencies[LATENCIES];
  size_t have = 0, latency_count = 0;
  uint64_t delivered = 0, corrupt = 0, reordered = 0, bytes = 0, reported_at = 0;
  int64_t last_seq = -1;
  while (!stop && !corrupt) {
    const size_t space = sizeof buffer - have;
    const ssize_t got = recv(fd, buffer + have, space, 0);
    const uint64_t arrived = now_ns();
    if (progress && arrived - reported_at >= 1000000000ull) {
      write_progress(progress, delivered, corrupt, reordered, bytes);
      reported_at = arrived;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    bytes += (uint64_t)got;
    have += (size_t)got;
    size_t at = 0;
    while (have - at >= BENCH_HEADER) {
      const uint8_t* p = buffer + at;
      const uint32_t length = bench_get32(p + 8);
      if (bench_get32(p) != BENCH_MAGIC || length < BENCH_HEADER || length > 1500) { ++corrupt; break; }
      if (have - at < length) break;
      const uint32_t seq = bench_get32(p + 4);
      for (uint32_t i = BENCH_HEADER; i < length; ++i) {
        if (p[i] != bench_filler(seq, i)) { ++corrupt; break; }
      }
      if (corrupt) break;
      if ((int64_t)seq <= last_seq) ++reordered;
      last_seq = seq;
      ++delivered;
      if (latency_count < LATENCIES) latencies[latency_count++] = arrived - bench_get64(p + 12);
      at += length;
    }
    memmove(buffer, buffer + at, have - at);
    have -= at;
    if (pause_us > 0 && (size_t)got < space) nanosleep(&pause, NULL);
  }
  if (progress) write_progress(progress, delivered, corrupt, reordered, bytes);
  double p50 = 0, p99 = 0;
  if (latency_count) {
    qsort(latencies, latency_count, sizeof latencies[0], compare);
    p50 = (double)latencies[latency_count / 2] / 1000.0;
    p99 = (double)latencies[latency_count * 99 / 100] / 1000.0;
  }
  printf("%llu %llu %llu %.1f %.1f\n", (unsigned long long)delivered, (unsigned long long)corrupt,
         (unsigned long long)reordered, p50, p99);
  return 0;
}
