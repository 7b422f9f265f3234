#pragma once

// The match as the table's texts define it, done the slow way: print the packet's four values
// and walk the links in key order, comparing each configured text byte for byte. The tests and
// the decode fuzzer hold the indexed match to it. Header only, so the fuzzer needs no test library.
#include "capture/LinkMatcher.h"
#include "capture/PacketDecoder.h"
#include "relay/TerminalLink.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace marlobex::test {

/// A link's four match texts as configured.
struct LinkTexts {
  std::string src_address, dst_address, src_port, dst_port;
  std::string key() const { return TerminalLink::key(src_address, src_port, dst_address, dst_port); }
  MatchRule rule() const { return MatchRule::compile(src_address, dst_address, src_port, dst_port); }
};

/// One link per key, the first given kept, in key order: what the table holds.
inline std::vector<LinkTexts> in_key_order(const std::vector<LinkTexts>& links) {
  std::map<std::string, LinkTexts> table;
  for (const LinkTexts& link : links) table.emplace(link.key(), link);
  std::vector<LinkTexts> ordered;
  for (const auto& entry : table) ordered.push_back(entry.second);
  return ordered;
}

inline std::vector<MatchRule> rules_of(const std::vector<LinkTexts>& links) {
  std::vector<MatchRule> rules;
  for (const LinkTexts& link : links) rules.push_back(link.rule());
  return rules;
}

inline std::string address_text(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(address >> 24),
                static_cast<int>(address >> 16 & 0xFF), static_cast<int>(address >> 8 & 0xFF),
                static_cast<int>(address & 0xFF));
  return text;
}

inline std::string port_text(std::uint16_t port) {
  char text[8];
  std::snprintf(text, sizeof text, "%d", static_cast<int>(port));
  return text;
}

/// The position in `links` (in key order) of the first link whose texts are each empty or equal
/// to the packet's printed value; LinkMatcher::kNoMatch when there is none.
inline std::size_t reference_first_match(const std::vector<LinkTexts>& links, const DecodedPacket& packet) {
  const std::string src_address = address_text(packet.source_address);
  const std::string dst_address = address_text(packet.destination_address);
  const std::string src_port = port_text(packet.source_port);
  const std::string dst_port = port_text(packet.destination_port);
  auto matches = [](const std::string& configured, const std::string& printed) {
    return configured.empty() || configured == printed;
  };
  for (std::size_t i = 0; i < links.size(); ++i) {
    const LinkTexts& link = links[i];
    if (matches(link.src_address, src_address) && matches(link.dst_address, dst_address) &&
        matches(link.src_port, src_port) && matches(link.dst_port, dst_port)) {
      return i;
    }
  }
  return LinkMatcher::kNoMatch;
}

}  // namespace marlobex::test
