#include "capture/PacketDecoder.h"

namespace marlobex {

namespace {

constexpr std::uint16_t kEtherTypeIPv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint32_t kVlanTag = 4;
constexpr std::uint32_t kIPv4MinHeader = 20;
constexpr std::uint32_t kTcpMinHeader = 20;
constexpr std::uint32_t kUdpHeader = 8;
constexpr unsigned char kProtocolTcp = 6;
constexpr unsigned char kProtocolUdp = 17;

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
  const unsigned char* at(std::uint32_t offset) const { return bytes_ + offset; }

 private:
  const unsigned char* bytes_;
  std::uint32_t length_;
};

// Writes the decimal digits of `value` so that they end just before `end`; returns the first.
char* decimal_before(char* end, unsigned value) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

// The dotted text is built backwards in a local buffer and appended in one piece.
void append_ipv4(std::string& out, const unsigned char* address) {
  char text[15];
  char* const end = text + sizeof text;
  char* first = end;
  for (int i = 3; i >= 0; --i) {
    first = decimal_before(first, address[i]);
    if (i != 0) *--first = '.';
  }
  out.append(first, static_cast<std::size_t>(end - first));
}

// Where the IPv4 header begins, or 0 when the frame does not carry IPv4.
std::uint32_t ipv4_offset(const Frame& frame) {
  if (!frame.has(12, 2)) return 0;
  std::uint32_t type_offset = 12;
  if (frame.u16(12) == kEtherTypeVlan) type_offset += kVlanTag;
  if (!frame.has(type_offset, 2) || frame.u16(type_offset) != kEtherTypeIPv4) return 0;
  return type_offset + 2;
}

}  // namespace

void append_decimal(std::string& out, unsigned value) {
  char digits[10];
  char* const end = digits + sizeof digits;
  const char* first = decimal_before(end, value);
  out.append(first, static_cast<std::size_t>(end - first));
}

std::optional<PacketFields> decode_fields(const unsigned char* bytes, std::uint32_t captured_length) {
  const Frame frame(bytes, captured_length);
  const std::uint32_t ip = ipv4_offset(frame);
  if (ip == 0 || !frame.has(ip, kIPv4MinHeader)) return std::nullopt;
  if ((frame.u8(ip) >> 4) != 4) return std::nullopt;
  const std::uint32_t ip_header = 4u * (frame.u8(ip) & 0x0Fu);
  const std::uint32_t total_length = frame.u16(ip + 2);
  // A later fragment starts with data, not with a transport header.
  if ((frame.u16(ip + 6) & 0x1FFFu) != 0) return std::nullopt;
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

  PacketFields fields;
  fields.source_address = frame.at(ip + 12);
  fields.destination_address = frame.at(ip + 16);
  fields.source_port = frame.u16(transport);
  fields.destination_port = frame.u16(transport + 2);
  fields.payload = frame.at(transport + transport_header);
  fields.payload_length = static_cast<std::int32_t>(transport_length - transport_header);
  return fields;
}

std::optional<DecodedPacket> decode_frame(const unsigned char* bytes, std::uint32_t captured_length) {
  const std::optional<PacketFields> fields = decode_fields(bytes, captured_length);
  if (!fields) return std::nullopt;
  // Built in place and returned as it is: the four texts are not copied on the way out.
  std::optional<DecodedPacket> result(std::in_place);
  DecodedPacket& packet = *result;
  append_ipv4(packet.source_address, fields->source_address);
  append_ipv4(packet.destination_address, fields->destination_address);
  append_decimal(packet.source_port, fields->source_port);
  append_decimal(packet.destination_port, fields->destination_port);
  packet.payload = fields->payload;
  packet.payload_length = fields->payload_length;
  return result;
}

PacketTexts::PacketTexts(const PacketFields& fields) : fields_(&fields) {}

PacketTexts::PacketTexts(const DecodedPacket& packet)
    : printed_{&packet.source_address, &packet.destination_address, &packet.source_port,
               &packet.destination_port} {}

const std::string& PacketTexts::print(Text which) {
  std::string& out = storage_[which];
  switch (which) {
    case kSourceAddress: append_ipv4(out, fields_->source_address); break;
    case kDestinationAddress: append_ipv4(out, fields_->destination_address); break;
    case kSourcePort: append_decimal(out, fields_->source_port); break;
    case kDestinationPort: append_decimal(out, fields_->destination_port); break;
  }
  printed_[which] = &out;
  return out;
}

}  // namespace marlobex
