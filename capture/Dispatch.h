#pragma once

#include "capture/LinkMatcher.h"
#include "capture/PacketDecoder.h"
#include "relay/TerminalLink.h"

#include <cstdint>
#include <ctime>
#include <vector>

namespace marlobex {

/// The links of a filled table in key order, with the matcher compiled from their texts. The table
/// must stay as it is and outlive this object.
class TerminalMatcher {
 public:
  explicit TerminalMatcher(const TerminalTable& terminals);
  TerminalMatcher(const TerminalMatcher&) = delete;
  TerminalMatcher& operator=(const TerminalMatcher&) = delete;

  /// The first link in key order whose four texts each are empty or are the packet's value as
  /// printed; null when there is none.
  const TerminalLink* first_match(const DecodedPacket& packet) const;

  /// The links' compiled rules, in key order.
  const std::vector<MatchRule>& rules() const { return rules_; }

 private:
  std::vector<const TerminalLink*> links_;
  std::vector<MatchRule> rules_;
  LinkMatcher matcher_;
};

/// Decodes one captured frame and hands its payload to the first matching link's server.
void dispatch_packet(const TerminalMatcher& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::time_t captured_at);

}  // namespace marlobex
