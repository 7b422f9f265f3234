#include "tools/Probe.h"

#include "capture/PacketDecoder.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace marlobex {

namespace {

std::string shown(const std::string& text) { return text.empty() ? std::string("*") : text; }

std::vector<MatchRule> rules_of(const std::vector<CheckedLink>& links) {
  return compile_rules(links, [](const CheckedLink& link) -> const TerminalEntry& { return link.entry; });
}

// "%d.%d.%d.%d:%d", as the daemon's texts would read.
std::string endpoint_text(std::uint32_t address, unsigned port) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address >> 24, address >> 16 & 0xFF,
                address >> 8 & 0xFF, address & 0xFF, port);
  return text;
}

}  // namespace

ProbeCounter::ProbeCounter(std::vector<CheckedLink> links)
    : links_(std::move(links)), matcher_(rules_of(links_)), per_link_(links_.size()),
      windows_(links_.size()) {
  // An address in a form that never matches is no packet's address either.
  for (const MatchRule& rule : rules_of(links_)) {
    for (const FieldRule& address : {rule.source_address, rule.destination_address}) {
      if (address.kind == FieldRule::Kind::Exactly) configured_addresses_.insert(address.value);
    }
  }
}

// Totals of what the decoder leaves out.
void ProbeCounter::classify(const unsigned char* frame, std::uint32_t captured_length) {
  const FrameOutline outline = outline_frame(frame, captured_length);
  if (outline.tagged) ++tagged_;
  if (!outline.ipv4) ++non_ipv4_;
  if (outline.fragment) ++fragments_;
}

void ProbeCounter::count_frame(const unsigned char* frame, std::uint32_t captured_length,
                               std::int64_t at) {
  ++frames_;
  classify(frame, captured_length);
  const std::optional<DecodedPacket> packet = decode_frame(frame, captured_length);
  if (!packet) return;
  ++decoded_;
  const std::size_t link = matcher_.first_match(*packet);
  if (link != LinkMatcher::kNoMatch) {
    Count& count = per_link_[link];
    ++count.frames;
    count.payload_bytes += static_cast<std::uint64_t>(packet->payload_length);
    if (windows_[link].seen_again(packet_fingerprint(*packet), at)) ++count.duplicates;
    return;
  }
  if (configured_addresses_.count(packet->source_address) == 0 &&
      configured_addresses_.count(packet->destination_address) == 0) {
    return;
  }
  const std::string conversation = endpoint_text(packet->source_address, packet->source_port) +
                                   " -> " +
                                   endpoint_text(packet->destination_address, packet->destination_port);
  auto found = unmatched_.find(conversation);
  if (found == unmatched_.end() && unmatched_.size() < kUnmatchedLimit) {
    found = unmatched_.emplace(conversation, Count()).first;
  }
  Count& count = found != unmatched_.end() ? found->second : untabled_;
  ++count.frames;
  count.payload_bytes += static_cast<std::uint64_t>(packet->payload_length);
}

std::string ProbeCounter::format(const std::string& adapter, double seconds,
                                 std::size_t busiest) const {
  std::ostringstream out;
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f s", seconds);
  if (frames_ == 0) {
    out << adapter << " saw no traffic at all in " << duration
        << ": check the cable, the switch's mirror port and the adapter.\n";
  } else {
    out << adapter << " saw traffic: " << frames_ << " frames in " << duration << ".\n";
  }
  out << "Links in key order (frames and payload bytes each would relay):\n";
  std::uint64_t duplicates = 0;
  for (std::size_t i = 0; i < links_.size(); ++i) {
    const TerminalEntry& link = links_[i].entry;
    const Count& count = per_link_[i];
    out << "  line " << links_[i].line << ": " << shown(link.src_address) << ":" << shown(link.src_port)
        << " -> " << shown(link.dst_address) << ":" << shown(link.dst_port) << "  port "
        << links_[i].port << "  " << count.frames << " frames, " << count.payload_bytes << " bytes";
    if (count.duplicates > 0) out << ", " << count.duplicates << " of them twice within 50 ms";
    out << "\n";
    duplicates += count.duplicates;
  }
  if (duplicates > 0) {
    out << "Frames arrived twice: the mirror port copies them (from two ports, two directions or two"
           " VLANs).\nSuppressDuplicates=\"yes\" on the Network element relays each of them once.\n";
  }
  std::vector<std::pair<std::string, Count>> others(unmatched_.begin(), unmatched_.end());
  std::stable_sort(others.begin(), others.end(), [](const auto& a, const auto& b) {
    return a.second.frames > b.second.frames;
  });
  if (others.size() > busiest) others.resize(busiest);
  out << "Busiest conversations of configured addresses that match no link: "
      << (others.empty() ? "none" : "") << "\n";
  for (const auto& other : others) {
    out << "  " << other.first << "  " << other.second.frames << " frames, "
        << other.second.payload_bytes << " bytes\n";
  }
  if (untabled_.frames > 0) {
    out << "  and more conversations than the table holds (" << kUnmatchedLimit
        << "): " << untabled_.frames << " frames, " << untabled_.payload_bytes << " bytes\n";
  }
  out << "Frames: " << frames_ << " in all, " << decoded_ << " TCP/UDP with payload over IPv4, "
      << tagged_ << " 802.1Q-tagged, " << fragments_ << " IPv4 fragments, " << non_ipv4_
      << " not IPv4.\n";
  return out.str();
}

}  // namespace marlobex
