#include "capture/DuplicateWindow.h"

#include <cstring>

namespace marlobex {

namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  hash ^= value * kMultiplier;
  hash = (hash << 27 | hash >> 37) * 0xC2B2AE3D27D4EB4Full;
  return hash;
}

// Eight bytes at a time, the tail zero-padded; the length goes in first so that padding cannot
// make two lengths alike.
std::uint64_t hash_bytes(std::uint64_t hash, const unsigned char* bytes, std::size_t length) {
  hash = mix(hash, length);
  std::size_t at = 0;
  for (; length - at >= 8; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    hash = mix(hash, word);
  }
  if (at < length) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + at, length - at);
    hash = mix(hash, word);
  }
  return hash;
}

std::uint64_t finish(std::uint64_t hash) {
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

}  // namespace

std::uint64_t packet_fingerprint(const DecodedPacket& packet) {
  const unsigned char* ip = packet.ipv4;
  // Identification, flags and fragment offset (bytes 4-7); protocol (9); both addresses (12-19).
  std::uint64_t hash = hash_bytes(0, ip + 4, 4);
  hash = mix(hash, ip[9]);
  hash = hash_bytes(hash, ip + 12, 8);
  const unsigned char* transport = ip + packet.ipv4_header_length;
  const unsigned char* end = packet.payload + packet.payload_length;
  return finish(hash_bytes(hash, transport, static_cast<std::size_t>(end - transport)));
}

bool DuplicateWindow::seen_again(std::uint64_t fingerprint, std::int64_t at) {
  for (std::size_t i = 0; i < count_; ++i) {
    const Taken& taken = taken_[i];
    if (taken.fingerprint == fingerprint && at >= taken.at && at - taken.at <= kWindowMicroseconds) {
      return true;
    }
  }
  taken_[next_] = Taken{fingerprint, at};
  next_ = (next_ + 1) % kRemembered;
  if (count_ < kRemembered) ++count_;
  return false;
}

}  // namespace marlobex
