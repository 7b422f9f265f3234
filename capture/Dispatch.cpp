#include "capture/Dispatch.h"

namespace marlobex {

const TerminalLink* find_terminal_link(const TerminalTable& terminals, PacketTexts& packet) {
  for (const auto& entry : terminals) {
    const TerminalLink& link = *entry.second;
    if (link_texts_match(link.SrcAddress, link.DstAddress, link.SrcPort, link.DstPort, packet)) {
      return &link;
    }
  }
  return nullptr;
}

const TerminalLink* find_terminal_link(const TerminalTable& terminals, const DecodedPacket& packet) {
  PacketTexts texts(packet);
  return find_terminal_link(terminals, texts);
}

void dispatch_packet(const TerminalTable& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::time_t captured_at) {
  const std::optional<PacketFields> packet = decode_fields(frame, captured_length);
  if (!packet) return;
  // The texts are printed as the walk needs them; the result is that of printing all four first.
  PacketTexts texts(*packet);
  // The first match takes the payload even when its recorder is not connected.
  const TerminalLink* link = find_terminal_link(terminals, texts);
  if (link) link->server->send_payload(packet->payload, packet->payload_length, captured_at);
}

}  // namespace marlobex
