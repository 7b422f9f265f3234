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

/// Where the values of one captured TCP segment or UDP datagram lie, before any is printed.
struct PacketFields {
  const unsigned char* source_address = nullptr;       ///< 4 bytes in wire order, in the frame
  const unsigned char* destination_address = nullptr;  ///< the same for the destination
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  const unsigned char* payload = nullptr;  ///< first byte after the transport header
  std::int32_t payload_length = 0;         ///< from the IPv4 total length; always at least 1
};

/// The checks of decode_frame without the texts: the same frames give a value, the same give none.
std::optional<PacketFields> decode_fields(const unsigned char* frame, std::uint32_t captured_length);

/// Decodes one Ethernet frame of `captured_length` bytes: IPv4 (untagged, or behind one 802.1Q tag)
/// carrying TCP or UDP with payload. Anything else, and anything whose headers or payload run past
/// the captured bytes, gives nothing. Reads no byte at or past `captured_length`.
std::optional<DecodedPacket> decode_frame(const unsigned char* frame, std::uint32_t captured_length);

/// The four texts of one packet, each printed ("%d.%d.%d.%d", "%d") the first time it is asked
/// for: a walk over the links that turns a frame away on its source address prints nothing else.
class PacketTexts {
 public:
  /// Prints from `fields`, which must outlive this object.
  explicit PacketTexts(const PacketFields& fields);
  /// Hands out the texts of an already decoded packet, which must outlive this object.
  explicit PacketTexts(const DecodedPacket& packet);
  PacketTexts(const PacketTexts&) = delete;
  PacketTexts& operator=(const PacketTexts&) = delete;

  const std::string& source_address() { return text(kSourceAddress); }
  const std::string& destination_address() { return text(kDestinationAddress); }
  const std::string& source_port() { return text(kSourcePort); }
  const std::string& destination_port() { return text(kDestinationPort); }

 private:
  enum Text { kSourceAddress, kDestinationAddress, kSourcePort, kDestinationPort };
  const std::string& text(Text which) { return printed_[which] ? *printed_[which] : print(which); }
  const std::string& print(Text which);

  const PacketFields* fields_ = nullptr;
  const std::string* printed_[4] = {};
  std::string storage_[4];
};

/// Appends the decimal text of `value` to `out`, as "%d" would print it.
void append_decimal(std::string& out, unsigned value);

}  // namespace marlobex
