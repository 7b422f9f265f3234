#include "capture/Dispatch.h"

namespace marlobex {

namespace {

std::vector<const TerminalLink*> in_key_order(const TerminalTable& terminals) {
  std::vector<const TerminalLink*> links;
  links.reserve(terminals.size());
  for (const auto& entry : terminals) links.push_back(entry.second.get());
  return links;
}

std::vector<MatchRule> rules_of(const std::vector<const TerminalLink*>& links) {
  std::vector<MatchRule> rules;
  rules.reserve(links.size());
  for (const TerminalLink* link : links) {
    rules.push_back(MatchRule::compile(link->SrcAddress, link->DstAddress, link->SrcPort, link->DstPort));
  }
  return rules;
}

// The first match takes the payload even when its recorder is not connected.
void hand_off(const TerminalLink& link, const DecodedPacket& packet, std::time_t captured_at) {
  link.server->send_payload(packet.payload, packet.payload_length, captured_at);
}

}  // namespace

TerminalMatcher::TerminalMatcher(const TerminalTable& terminals)
    : links_(in_key_order(terminals)), rules_(rules_of(links_)), matcher_(rules_) {}

const TerminalLink* TerminalMatcher::first_match(const DecodedPacket& packet) const {
  const std::size_t position = matcher_.first_match(packet);
  return position == LinkMatcher::kNoMatch ? nullptr : links_[position];
}

void dispatch_packet(const TerminalMatcher& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::time_t captured_at) {
  const std::optional<DecodedPacket> packet = decode_frame(frame, captured_length);
  if (!packet) return;
  const TerminalLink* link = terminals.first_match(*packet);
  if (link) hand_off(*link, *packet, captured_at);
}

}  // namespace marlobex
