#pragma once

#include "capture/PacketDecoder.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace marlobex {

/// What tells one IPv4 packet from another when a mirror port shows it twice: the addresses, the
/// protocol, the identification and fragment fields, the transport header and the payload. The
/// link-layer header, tags, TTL and header checksum are left out: a router between the two places
/// the mirror copies from changes them. A retransmitted segment carries another identification.
std::uint64_t packet_fingerprint(const DecodedPacket& packet);

/// The packets one link took lately, so that a second copy of one of them is told apart. Holds a
/// fixed number of fingerprints and allocates nothing.
class DuplicateWindow {
 public:
  /// Copies this far apart are one packet seen twice; a mirror's copies are microseconds apart.
  static constexpr std::int64_t kWindowMicroseconds = 50000;
  static constexpr std::size_t kRemembered = 16;

  /// True when a packet with this fingerprint was taken within the window before `at` (capture
  /// time in microseconds); otherwise the packet is remembered as taken.
  bool seen_again(std::uint64_t fingerprint, std::int64_t at);

 private:
  struct Taken {
    std::uint64_t fingerprint = 0;
    std::int64_t at = 0;
  };
  std::array<Taken, kRemembered> taken_{};
  std::size_t count_ = 0;  // packets taken so far, capped at kRemembered
  std::size_t next_ = 0;   // where the next one goes
};

}  // namespace marlobex
