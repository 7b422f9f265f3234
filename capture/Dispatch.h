#pragma once

#include "capture/DuplicateWindow.h"
#include "capture/LinkMatcher.h"
#include "capture/PacketDecoder.h"
#include "relay/TerminalLink.h"

#include <cstdint>
#include <ctime>
#include <vector>

namespace marlobex {

/// The links of a filled table in key order, with the matcher compiled from their texts, when
/// duplicates are suppressed each link's window of packets taken, and the servers whose payloads
/// wait to be sent. The table must stay as it is and outlive this object.
class TerminalMatcher {
 public:
  explicit TerminalMatcher(const TerminalTable& terminals, bool suppress_duplicates = false);
  TerminalMatcher(const TerminalMatcher&) = delete;
  TerminalMatcher& operator=(const TerminalMatcher&) = delete;

  /// The first link in key order whose four texts each are empty or are the packet's value as
  /// printed; null when there is none.
  const TerminalLink* first_match(const DecodedPacket& packet) const;

  /// The first matching link, unless duplicates are suppressed and that link took the same packet
  /// within the window before `at` (capture time in microseconds): then the copy is counted on the
  /// link and null is returned, as when no link matches.
  const TerminalLink* taker(const DecodedPacket& packet, std::int64_t at);

  /// Hands the packet's payload, captured at `at`, to the link's server, which gathers it for
  /// send_gathered().
  void hand_off(const TerminalLink& link, const DecodedPacket& packet, std::int64_t at);

  /// Has each server that gathered payloads since the last call send them, in one send each.
  void send_gathered();

  /// The links' compiled rules, in key order.
  const std::vector<MatchRule>& rules() const { return rules_; }

 private:
  std::vector<const TerminalLink*> links_;
  std::vector<MatchRule> rules_;
  LinkMatcher matcher_;
  std::vector<DuplicateWindow> windows_;  // by position; empty when duplicates are relayed
  std::vector<TerminalServer*> gathering_;  // owed a send: listed when a first payload waits
};

/// Decodes one captured frame, captured at `at` (microseconds since the Unix epoch), and hands its
/// payload to the link that takes it; it is sent with the next send_gathered().
void dispatch_packet(TerminalMatcher& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::int64_t at);

}  // namespace marlobex
