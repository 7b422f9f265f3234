/* The benchmark's matching payload, shared by the generator and the recorder: a header with a
 * sequence number, the payload length and the send time, then filler that depends on both. */
#pragma once
#include <stdint.h>
#include <string.h>

#define BENCH_MAGIC 0x3142584du /* "MXB1" */
#define BENCH_HEADER 20

static inline uint8_t bench_filler(uint32_t seq, uint32_t i) { return (uint8_t)(seq * 31u + i * 7u + 0x41u); }

static inline void bench_put32(uint8_t* p, uint32_t v) { memcpy(p, &v, 4); }
static inline uint32_t bench_get32(const uint8_t* p) { uint32_t v; memcpy(&v, p, 4); return v; }
static inline void bench_put64(uint8_t* p, uint64_t v) { memcpy(p, &v, 8); }
static inline uint64_t bench_get64(const uint8_t* p) { uint64_t v; memcpy(&v, p, 8); return v; }

/* magic(4) seq(4) length(4) send_ns(8) filler(length - 20) */
static inline void bench_fill_payload(uint8_t* p, uint32_t seq, uint32_t length, uint64_t send_ns) {
  bench_put32(p, BENCH_MAGIC);
  bench_put32(p + 4, seq);
  bench_put32(p + 8, length);
  bench_put64(p + 12, send_ns);
  for (uint32_t i = BENCH_HEADER; i < length; ++i) p[i] = bench_filler(seq, i);
}
