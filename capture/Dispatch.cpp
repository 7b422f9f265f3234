#include "capture/Dispatch.h"

namespace marlobex {

namespace {

// An empty configured text stands for any value; otherwise the texts must be the same bytes.
inline bool matches(const std::string& configured, const std::string& seen) {
  return configured.empty() || configured == seen;
}

inline bool link_matches(const TerminalLink& link, const DecodedPacket& packet) {
  return matches(link.SrcAddress, packet.source_address) &&
         matches(link.DstAddress, packet.destination_address) &&
         matches(link.SrcPort, packet.source_port) &&
         matches(link.DstPort, packet.destination_port);
}

}  // namespace

const TerminalLink* find_terminal_link(const TerminalTable& terminals, const DecodedPacket& packet) {
  for (const auto& entry : terminals) {
    if (link_matches(*entry.second, packet)) return entry.second.get();
  }
  return nullptr;
}

void dispatch_packet(const TerminalTable& terminals, const unsigned char* frame,
                     std::uint32_t captured_length) {
  const std::optional<DecodedPacket> packet = decode_frame(frame, captured_length);
  if (!packet) return;
  // The first match takes the payload even when its recorder is not connected.
  const TerminalLink* link = find_terminal_link(terminals, *packet);
  if (link) link->server->send_payload(packet->payload, packet->payload_length);
}

}  // namespace marlobex
