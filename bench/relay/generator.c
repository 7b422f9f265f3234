/* generator IFACE RATE SECONDS MATCH_FILE [FIRST_SEQ [MATCHING_PER_SECOND]]: sends a reproducible mix of
 * Ethernet frames on IFACE with sendmmsg, paced to RATE frames/s (0: as fast as possible) for
 * SECONDS. 10% are TCP segments of the configured link (10.204.0.1:40000 -> 10.204.0.2:9100) with
 * 40-400 byte payloads carrying a sequence number and the send time; 90% are other TCP, UDP, ARP
 * and 802.1Q tagged frames. With MATCHING_PER_SECOND, the link's segments come at that rate
 * instead, among frames that are all of the other kinds (a till among a mirror port's traffic).
 * The destination MAC is nobody's, so the receiving kernel drops every frame and
 * only a promiscuous capture sees it, as on a mirror port. Pinned to CPU 0. Sequence numbers
 * start at FIRST_SEQ (default 0), so that runs one after another make one rising sequence; the
 * next free one is written to MATCH_FILE. Prints: frames_sent matching_sent seconds. */
#define _GNU_SOURCE
#include "frames.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BATCH_MAX 64
#define FRAME_MAX 1514

static uint64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static uint32_t rng_state = 12345;
static uint32_t rng(void) {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 17;
  rng_state ^= rng_state << 5;
  return rng_state;
}

static void put16(uint8_t* p, uint16_t v) { p[0] = (uint8_t)(v >> 8); p[1] = (uint8_t)v; }

/* Ethernet (+ optional tag) + IPv4 + TCP/UDP header + payload; returns the frame length. */
static size_t build_ip(uint8_t* f, int tagged, uint8_t protocol, uint32_t src, uint32_t dst,
                       uint16_t sport, uint16_t dport, uint32_t payload_length) {
  static const uint8_t dst_mac[6] = {0x02, 0, 0, 0, 0, 0x99}, src_mac[6] = {0x02, 0, 0, 0, 0, 0x01};
  memcpy(f, dst_mac, 6);
  memcpy(f + 6, src_mac, 6);
  size_t at = 12;
  if (tagged) { put16(f + at, 0x8100); put16(f + at + 2, 5); at += 4; }
  put16(f + at, 0x0800);
  at += 2;
  const uint32_t transport = protocol == 6 ? 20 : 8;
  uint8_t* ip = f + at;
  memset(ip, 0, 20 + transport);
  ip[0] = 0x45;
  put16(ip + 2, (uint16_t)(20 + transport + payload_length));
  ip[8] = 64;
  ip[9] = protocol;
  memcpy(ip + 12, &src, 4);
  memcpy(ip + 16, &dst, 4);
  uint8_t* t = ip + 20;
  put16(t, sport);
  put16(t + 2, dport);
  if (protocol == 6) { t[12] = 0x50; t[13] = 0x18; } else { put16(t + 4, (uint16_t)(8 + payload_length)); }
  return at + 20 + transport + payload_length;
}

static size_t build_arp(uint8_t* f) {
  memset(f, 0xff, 6);
  memset(f + 6, 0x02, 6);
  put16(f + 12, 0x0806);
  memset(f + 14, 0, 28);
  return 60;
}

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) {
    fprintf(stderr, "usage: generator IFACE RATE SECONDS MATCH_FILE [FIRST_SEQ [MATCHING_PER_SECOND]]\n");
    return 2;
  }
  const double matching_rate = argc == 7 ? atof(argv[6]) : 0;
  const double rate = atof(argv[2]), seconds = atof(argv[3]);
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(0, &cpus);
  sched_setaffinity(0, sizeof cpus, &cpus);
  const int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (fd < 0) { perror("socket"); return 1; }
  struct sockaddr_ll where = {0};
  where.sll_family = AF_PACKET;
  where.sll_ifindex = (int)if_nametoindex(argv[1]);
  where.sll_halen = 6;
  if (bind(fd, (struct sockaddr*)&where, sizeof where) != 0) { perror("bind"); return 1; }

  uint32_t till, host, other;
  inet_pton(AF_INET, "10.204.0.1", &till);
  inet_pton(AF_INET, "10.204.0.2", &host);
  inet_pton(AF_INET, "10.204.0.77", &other);
  static uint8_t frames[BATCH_MAX][FRAME_MAX];
  struct iovec iov[BATCH_MAX];
  struct mmsghdr messages[BATCH_MAX];
  memset(messages, 0, sizeof messages);
  const uint32_t batch = rate <= 0 ? BATCH_MAX : (rate >= 640000 ? BATCH_MAX : (uint32_t)(rate / 10000) + 1);
  const double batch_ns = rate <= 0 ? 0 : 1e9 * batch / rate;
  uint64_t sent = 0, matching = 0;
  uint32_t seq = argc >= 6 ? (uint32_t)strtoul(argv[5], NULL, 10) : 0;
  const uint64_t start = now_ns(), end = start + (uint64_t)(seconds * 1e9);
  uint64_t next = start, next_matching = start;
  while (now_ns() < end) {
    if (rate > 0) {
      struct timespec at = {(time_t)(next / 1000000000ull), (long)(next % 1000000000ull)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL);
      next += (uint64_t)batch_ns;
    }
    const uint64_t stamp = now_ns();
    for (uint32_t i = 0; i < batch; ++i) {
      uint32_t kind = rng() % 10;
      if (matching_rate > 0) {
        kind = stamp >= next_matching ? 0 : 1 + rng() % 9;
        if (kind == 0) next_matching += (uint64_t)(1e9 / matching_rate);
      }
      uint8_t* f = frames[i];
      size_t length;
      if (kind == 0) {
        const uint32_t payload = 40 + rng() % 361;
        length = build_ip(f, 0, 6, till, host, 40000, 9100, payload);
        bench_fill_payload(f + length - payload, seq++, payload, stamp);
        ++matching;
      } else if (kind <= 3) {
        length = build_ip(f, 0, 6, till, host, 40001, 9101, 40 + rng() % 361);  /* another port */
      } else if (kind <= 5) {
        length = build_ip(f, 0, 6, host, till, 9100, 40000, 8);  /* the printer's answers */
      } else if (kind <= 7) {
        length = build_ip(f, 0, 17, other, host, 5353, 5353, 40 + rng() % 200);
      } else if (kind == 8) {
        length = build_arp(f);
      } else {
        length = build_ip(f, 1, 6, other, host, 40002, 9100, 100);
      }
      iov[i].iov_base = f;
      iov[i].iov_len = length;
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    uint32_t done = 0;
    while (done < batch) {
      const int n = sendmmsg(fd, messages + done, batch - done, 0);
      if (n <= 0) { usleep(50); continue; }  /* the device queue is full: try again */
      done += (uint32_t)n;
    }
    sent += batch;
  }
  const double took = (double)(now_ns() - start) / 1e9;
  FILE* out = fopen(argv[4], "w");
  if (out) { fprintf(out, "%u\n", seq); fclose(out); }
  printf("%llu %llu %.3f\n", (unsigned long long)sent, (unsigned long long)matching, took);
  return 0;
}
