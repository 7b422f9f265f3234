// Any bytes as a captured frame: the first two bytes give the captured length (little endian),
// the rest are the frame, copied into a buffer of exactly that size so that any read past the
// captured bytes is caught. The frame is decoded, and dispatched to a small table of links whose
// texts include wildcards, the edge ports and forms that never match (no recorder is connected,
// so nothing is sent). The unit tests hold the match itself to a walk over the printed texts.
#include "capture/Dispatch.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace marlobex {
namespace {

struct Table {
  IoService io;
  TerminalTable terminals;
  std::unique_ptr<TerminalMatcher> matcher;

  Table() {
    add("192.168.1.101", "", "", "9100");
    add("", "10.0.0.5", "0", "65535");
    add("10.0.0.05", "", "40000", "");
    add("", "255.255.255.255", "09100", "");
    matcher = std::make_unique<TerminalMatcher>(terminals);
  }
  void add(const char* src, const char* dst, const char* src_port, const char* dst_port) {
    // NvrPort "0": every server listens on a port of the system's choosing.
    terminals.emplace(TerminalLink::key(src, src_port, dst, dst_port),
                      std::make_unique<TerminalLink>(io, src, dst, src_port, dst_port, "127.0.0.1", "0"));
  }
};

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void decode_and_dispatch(const std::vector<unsigned char>& frame) {
  static Table table;
  const auto length = static_cast<std::uint32_t>(frame.size());
  if (const std::optional<DecodedPacket> packet = decode_frame(frame.data(), length)) {
    check(packet->payload_length >= 1 && packet->payload >= frame.data());
    check(packet->payload + packet->payload_length <= frame.data() + length);
  }
  dispatch_packet(*table.matcher, frame.data(), length, 0);
}

}  // namespace
}  // namespace marlobex

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t given = static_cast<std::size_t>(data[0] | data[1] << 8);
  marlobex::decode_and_dispatch(std::vector<unsigned char>(data + 2, data + size));
  // A shorter captured length over the same bytes: the buffer is cut to it.
  if (given < size - 2) marlobex::decode_and_dispatch(std::vector<unsigned char>(data + 2, data + 2 + given));
  return 0;
}
