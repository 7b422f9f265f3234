// Any bytes as a captured frame: the first two bytes give the captured length (little endian),
// the rest are the frame, copied into a buffer of exactly that size so that any read past the
// captured bytes is caught. The frame is decoded, and dispatched to a small table of links whose
// texts include wildcards, the edge ports and forms that never match (no recorder is connected,
// so nothing is sent). The unit tests hold the match itself to a walk over the printed texts.
#include "capture/Dispatch.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace marlobex {
namespace {

TerminalMatcher& table_matcher() {
  static IoService io;
  static TerminalTable terminals;
  const std::array<const char*, 4> links[] = {{"192.168.1.101", "", "", "9100"}, {"", "10.0.0.5", "0", "65535"},
                                              {"10.0.0.05", "", "40000", ""}, {"", "255.255.255.255", "09100", ""}};
  for (const auto& l : links) {
    // NvrPort "0": every server listens on a port of the system's choosing.
    add_link(terminals, io, TerminalEntry{l[0], l[1], l[2], l[3], "127.0.0.1", "0"});
  }
  // Duplicates suppressed, so that every fingerprint is taken over the decoded bytes too.
  static TerminalMatcher matcher(terminals, true);
  return matcher;
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void decode_and_dispatch(const std::vector<unsigned char>& frame) {
  static TerminalMatcher& matcher = table_matcher();
  const auto length = static_cast<std::uint32_t>(frame.size());
  if (const std::optional<DecodedPacket> packet = decode_frame(frame.data(), length)) {
    check(packet->payload_length >= 1 && packet->payload >= frame.data());
    check(packet->payload + packet->payload_length <= frame.data() + length);
  }
  dispatch_packet(matcher, frame.data(), length, 0);
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
