// Any bytes as a captured frame: the first two bytes give the captured length (little endian),
// the rest are the frame, copied into a buffer of exactly that size so that any read past the
// captured bytes is caught. The decoded packet is matched against a small table of real links
// and dispatched to their servers (no recorder is connected, so nothing is sent).
#include "capture/Dispatch.h"
#include "capture/PacketDecoder.h"
#include "relay/IoService.h"
#include "relay/TerminalLink.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Table {
  marlobex::IoService io;
  marlobex::TerminalTable terminals;

  Table() {
    add("192.168.1.101", "", "", "9100");
    add("192.168.1.102", "10.0.0.5", "", "");
    add("", "", "40000", "");
    add("10.0.0.5", "", "9100", "");
  }
  void add(const char* src, const char* dst, const char* src_port, const char* dst_port) {
    // NvrPort "0": every server listens on a port of the system's choosing.
    auto link = std::make_unique<marlobex::TerminalLink>(io, src, dst, src_port, dst_port,
                                                         "127.0.0.1", "0");
    terminals.emplace(link->key(src, src_port, dst, dst_port), std::move(link));
  }
};

Table& table() {
  static Table instance;
  return instance;
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void decode_and_match(const std::vector<unsigned char>& frame, std::uint32_t captured_length) {
  const std::optional<marlobex::DecodedPacket> packet = marlobex::decode_frame(frame.data(), captured_length);
  if (packet) {
    check(packet->payload_length >= 1);
    check(packet->payload >= frame.data());
    check(packet->payload + packet->payload_length <= frame.data() + captured_length);
    // The dispatch's walk prints texts only as it needs them; it must find the same link.
    const std::optional<marlobex::PacketFields> fields = marlobex::decode_fields(frame.data(), captured_length);
    check(fields.has_value());
    marlobex::PacketTexts texts(*fields);
    check(marlobex::find_terminal_link(table().terminals, texts) ==
          marlobex::find_terminal_link(table().terminals, *packet));
  } else {
    check(!marlobex::decode_fields(frame.data(), captured_length));
  }
  marlobex::dispatch_packet(table().terminals, frame.data(), captured_length, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  table();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint32_t given = static_cast<std::uint32_t>(data[0] | data[1] << 8);
  const std::vector<unsigned char> frame(data + 2, data + size);
  const std::uint32_t whole = static_cast<std::uint32_t>(frame.size());
  decode_and_match(frame, whole);
  if (given < whole) {
    // A shorter captured length over the same bytes: the buffer is cut to it.
    decode_and_match(std::vector<unsigned char>(frame.begin(), frame.begin() + given), given);
  }
  return 0;
}
