#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace marlobex {

/// What the match and the hand-off need of one captured TCP segment or UDP datagram.
struct DecodedPacket {
  std::string source_address;       ///< "%d.%d.%d.%d" of the source address
  std::string destination_address;  ///< the same for the destination
  std::string source_port;          ///< "%d" of the source port
  std::string destination_port;     ///< the same for the destination port
  const unsigned char* payload = nullptr;  ///< first byte after the transport header
  std::int32_t payload_length = 0;         ///< from the IPv4 total length; always at least 1
};

/// Decodes one Ethernet frame of `captured_length` bytes: IPv4 (untagged, or behind one 802.1Q tag)
/// carrying TCP or UDP with payload. Anything else, and anything whose headers or payload run past
/// the captured bytes, gives nothing. Reads no byte at or past `captured_length`.
std::optional<DecodedPacket> decode_frame(const unsigned char* frame, std::uint32_t captured_length);

/// Appends the decimal text of `value` to `out`, as "%d" would print it.
void append_decimal(std::string& out, unsigned value);

}  // namespace marlobex
