#pragma once

#include <cstdint>
#include <optional>

namespace marlobex {

/// What the match and the hand-off need of one captured TCP segment or UDP datagram.
struct DecodedPacket {
  std::uint32_t source_address = 0;       ///< the four bytes in wire order, the first highest
  std::uint32_t destination_address = 0;  ///< the same for the destination
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  const unsigned char* ipv4 = nullptr;     ///< first byte of the IPv4 header
  std::uint32_t ipv4_header_length = 0;    ///< from its header length field, options included
  const unsigned char* payload = nullptr;  ///< first byte after the transport header
  std::int32_t payload_length = 0;         ///< from the IPv4 total length; always at least 1
};

/// Decodes one Ethernet frame of `captured_length` bytes: IPv4 (untagged, or behind one 802.1Q tag)
/// carrying TCP or UDP with payload. Anything else, and anything whose headers or payload run past
/// the captured bytes, gives nothing. Reads no byte at or past `captured_length`.
std::optional<DecodedPacket> decode_frame(const unsigned char* frame, std::uint32_t captured_length);

/// What a frame is as far as the decoder looks, for counting what decode_frame leaves out.
struct FrameOutline {
  bool tagged = false;    ///< one 802.1Q tag stands before the EtherType
  bool ipv4 = false;      ///< the EtherType, behind the tag if any, says IPv4
  bool fragment = false;  ///< an IPv4 fragment, the first one of a datagram included
};

/// Outlines one Ethernet frame of `captured_length` bytes; reads no byte past them.
FrameOutline outline_frame(const unsigned char* frame, std::uint32_t captured_length);

}  // namespace marlobex
