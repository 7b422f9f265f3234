// Any bytes as a captured frame: the first two bytes give the captured length (little endian),
// the rest are the frame, copied into a buffer of exactly that size so that any read past the
// captured bytes is caught. A decoded packet is matched, through the index and through the walk
// over printed texts, against a small table of real links and against links made of its own
// values; then it is dispatched to the table's servers (no recorder is connected, so nothing is
// sent).
#include "capture/Dispatch.h"
#include "capture/LinkMatcher.h"
#include "capture/PacketDecoder.h"
#include "relay/IoService.h"
#include "relay/TerminalLink.h"
#include "tests/support/ReferenceWalk.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using marlobex::test::LinkTexts;

struct Table {
  marlobex::IoService io;
  marlobex::TerminalTable terminals;
  std::unique_ptr<marlobex::TerminalMatcher> matcher;
  std::vector<const marlobex::TerminalLink*> links;  // in key order
  std::vector<LinkTexts> texts;                      // the same

  Table() {
    add("192.168.1.101", "", "", "9100");
    add("192.168.1.102", "10.0.0.5", "", "");
    add("", "", "40000", "");
    add("10.0.0.5", "", "9100", "");
    add("", "10.0.0.5", "0", "65535");
    add("10.0.0.05", "", "", "");
    add("", "255.255.255.255", "09100", "");
    matcher.reset(new marlobex::TerminalMatcher(terminals));
    for (const auto& entry : terminals) {
      const marlobex::TerminalLink& link = *entry.second;
      links.push_back(&link);
      texts.push_back({link.SrcAddress, link.DstAddress, link.SrcPort, link.DstPort});
    }
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

// A configured text for a printed value, chosen by two bits: any, the value itself, the value in a
// form that never matches, or another value.
std::string text_for(const std::string& printed, unsigned choice, bool address) {
  switch (choice & 3) {
    case 0: return "";
    case 1: return printed;
    case 2: return "0" + printed;
    default: return address ? printed + ".1" : printed + "1";
  }
}

// Eight links made of the packet's own values, their forms chosen by the payload's bytes.
void check_links_of_own_values(const marlobex::DecodedPacket& packet) {
  using marlobex::test::address_text;
  using marlobex::test::port_text;
  std::vector<LinkTexts> given;
  for (std::int32_t i = 0; i < 8; ++i) {
    const unsigned choice = packet.payload[i % packet.payload_length] ^ static_cast<unsigned>(i * 0x5B);
    given.push_back({text_for(address_text(packet.source_address), choice, true),
                     text_for(address_text(packet.destination_address), choice >> 2, true),
                     text_for(port_text(packet.source_port), choice >> 4, false),
                     text_for(port_text(packet.destination_port), choice >> 6, false)});
  }
  const std::vector<LinkTexts> links = marlobex::test::in_key_order(given);
  const marlobex::LinkMatcher matcher(marlobex::test::rules_of(links));
  check(matcher.first_match(packet) == marlobex::test::reference_first_match(links, packet));
}

void decode_and_match(const std::vector<unsigned char>& frame, std::uint32_t captured_length) {
  const std::optional<marlobex::DecodedPacket> packet = marlobex::decode_frame(frame.data(), captured_length);
  if (packet) {
    check(packet->payload_length >= 1);
    check(packet->payload >= frame.data());
    check(packet->payload + packet->payload_length <= frame.data() + captured_length);
    const std::size_t expected = marlobex::test::reference_first_match(table().texts, *packet);
    const marlobex::TerminalLink* found = table().matcher->first_match(*packet);
    check(expected == marlobex::LinkMatcher::kNoMatch ? found == nullptr : found == table().links[expected]);
    check_links_of_own_values(*packet);
  }
  marlobex::dispatch_packet(*table().matcher, frame.data(), captured_length, 0);
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
