#pragma once

#include "capture/PacketDecoder.h"
#include "relay/TerminalLink.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace marlobex {

/// Do a link's four configured texts all match the packet? Shared by the relay and the tools.
/// An empty configured text stands for any value; otherwise the texts must be the same bytes.
/// A packet text is printed only when a non-empty configured text is compared with it, and the
/// first text that differs ends the comparison.
inline bool link_texts_match(const std::string& src_address, const std::string& dst_address,
                             const std::string& src_port, const std::string& dst_port,
                             PacketTexts& packet) {
  return (src_address.empty() || src_address == packet.source_address()) &&
         (dst_address.empty() || dst_address == packet.destination_address()) &&
         (src_port.empty() || src_port == packet.source_port()) &&
         (dst_port.empty() || dst_port == packet.destination_port());
}

/// The first link in key order whose four texts each are empty or equal the packet's; or null.
const TerminalLink* find_terminal_link(const TerminalTable& terminals, PacketTexts& packet);
const TerminalLink* find_terminal_link(const TerminalTable& terminals, const DecodedPacket& packet);

/// Decodes one captured frame and hands its payload to the first matching link's server.
void dispatch_packet(const TerminalTable& terminals, const unsigned char* frame,
                     std::uint32_t captured_length, std::time_t captured_at);

}  // namespace marlobex
