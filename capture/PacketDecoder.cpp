#include "capture/PacketDecoder.h"

#include "capture/FrameLayout.h"

namespace marlobex {

namespace {

using namespace frame;

// A captured frame: every read is checked against the captured length, and the checks subtract
// from the end so that no sum can overflow.
class Frame {
 public:
  Frame(const unsigned char* bytes, std::uint32_t length) : bytes_(bytes), length_(length) {}
  bool has(std::uint32_t offset, std::uint32_t width) const {
    return offset <= length_ && length_ - offset >= width;
  }
  unsigned char u8(std::uint32_t offset) const { return bytes_[offset]; }
  std::uint16_t u16(std::uint32_t offset) const {
    return static_cast<std::uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
  }
  std::uint32_t u32(std::uint32_t offset) const {
    return static_cast<std::uint32_t>(u16(offset)) << 16 | u16(offset + 2);
  }
  const unsigned char* at(std::uint32_t offset) const { return bytes_ + offset; }

 private:
  const unsigned char* bytes_;
  std::uint32_t length_;
};

// Where the IPv4 header begins, or 0 when the frame does not carry IPv4.
std::uint32_t ipv4_offset(const Frame& frame) {
  if (!frame.has(kEtherType, 2)) return 0;
  std::uint32_t type_offset = kEtherType;
  if (frame.u16(kEtherType) == kEtherTypeVlan) type_offset += kVlanTag;
  if (!frame.has(type_offset, 2) || frame.u16(type_offset) != kEtherTypeIPv4) return 0;
  return type_offset + 2;
}

}  // namespace

std::optional<DecodedPacket> decode_frame(const unsigned char* bytes, std::uint32_t captured_length) {
  const Frame frame(bytes, captured_length);
  const std::uint32_t ip = ipv4_offset(frame);
  if (ip == 0 || !frame.has(ip, kIPv4MinHeader)) return std::nullopt;
  if ((frame.u8(ip) >> 4) != 4) return std::nullopt;
  const std::uint32_t ip_header = 4u * (frame.u8(ip) & 0x0Fu);
  const std::uint32_t total_length = frame.u16(ip + 2);
  // A later fragment starts with data, not with a transport header.
  if ((frame.u16(ip + 6) & kFragmentOffset) != 0) return std::nullopt;
  if (ip_header < kIPv4MinHeader || total_length < ip_header) return std::nullopt;
  // The whole datagram, as its total length claims it, must have been captured.
  if (!frame.has(ip, total_length)) return std::nullopt;

  const unsigned char protocol = frame.u8(ip + 9);
  const std::uint32_t transport = ip + ip_header;
  const std::uint32_t transport_length = total_length - ip_header;
  std::uint32_t transport_header = 0;
  if (protocol == kProtocolTcp) {
    if (transport_length < kTcpMinHeader) return std::nullopt;
    transport_header = 4u * (frame.u8(transport + 12) >> 4);
    if (transport_header < kTcpMinHeader) return std::nullopt;
  } else if (protocol == kProtocolUdp) {
    transport_header = kUdpHeader;
  } else {
    return std::nullopt;
  }
  if (transport_length <= transport_header) return std::nullopt;

  DecodedPacket packet;
  packet.source_address = frame.u32(ip + 12);
  packet.destination_address = frame.u32(ip + 16);
  packet.source_port = frame.u16(transport);
  packet.destination_port = frame.u16(transport + 2);
  packet.ipv4 = frame.at(ip);
  packet.ipv4_header_length = ip_header;
  packet.payload = frame.at(transport + transport_header);
  packet.payload_length = static_cast<std::int32_t>(transport_length - transport_header);
  return packet;
}

FrameOutline outline_frame(const unsigned char* bytes, std::uint32_t captured_length) {
  const Frame frame(bytes, captured_length);
  FrameOutline outline;
  outline.tagged = frame.has(kEtherType, 2) && frame.u16(kEtherType) == kEtherTypeVlan;
  const std::uint32_t ip = ipv4_offset(frame);
  outline.ipv4 = ip != 0;
  outline.fragment = ip != 0 && frame.has(ip + 6, 2) &&
                     (frame.u16(ip + 6) & (kMoreFragments | kFragmentOffset)) != 0;
  return outline;
}

}  // namespace marlobex
