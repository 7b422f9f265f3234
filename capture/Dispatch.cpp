#include "capture/Dispatch.h"

namespace marlobex {

namespace {

std::vector<const TerminalLink*> in_key_order(const TerminalTable& terminals) {
  std::vector<const TerminalLink*> links;
  links.reserve(terminals.size());
  for (const auto& entry : terminals) links.push_back(entry.second.get());
  return links;
}

constexpr std::int64_t kMicroseconds = 1000000;

}  // namespace

TerminalMatcher::TerminalMatcher(const TerminalTable& terminals, bool suppress_duplicates)
    : links_(in_key_order(terminals)),
      rules_(compile_rules(links_,
                           [](const TerminalLink* link) -> const TerminalEntry& { return link->texts(); })),
      matcher_(rules_),
      windows_(suppress_duplicates ? links_.size() : 0) {}

const TerminalLink* TerminalMatcher::first_match(const DecodedPacket& packet) const {
  const std::size_t position = matcher_.first_match(packet);
  return position == LinkMatcher::kNoMatch ? nullptr : links_[position];
}

const TerminalLink* TerminalMatcher::taker(const DecodedPacket& packet, std::int64_t at) {
  const std::size_t position = matcher_.first_match(packet);
  if (position == LinkMatcher::kNoMatch) return nullptr;
  const TerminalLink* link = links_[position];
  if (!windows_.empty() && windows_[position].seen_again(packet_fingerprint(packet), at)) {
    link->server().count_duplicate();
    return nullptr;
  }
  return link;
}

// The first match takes the payload even when its recorder is not connected.
void TerminalMatcher::hand_off(const TerminalLink& link, const DecodedPacket& packet, std::int64_t at) {
  if (link.server().send_payload(packet.payload, packet.payload_length,
                                static_cast<std::time_t>(at / kMicroseconds))) {
    gathering_.push_back(&link.server());
  }
}

void TerminalMatcher::send_gathered() {
  for (TerminalServer* server : gathering_) server->send_gathered();
  gathering_.clear();
}

void dispatch_packet(TerminalMatcher& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::int64_t at) {
  const std::optional<DecodedPacket> packet = decode_frame(frame, captured_length);
  if (!packet) return;
  const TerminalLink* link = terminals.taker(*packet, at);
  if (link) terminals.hand_off(*link, *packet, at);
}

}  // namespace marlobex
