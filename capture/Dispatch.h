#pragma once

#include "capture/PacketDecoder.h"
#include "relay/TerminalLink.h"

#include <cstdint>

namespace marlobex {

/// The first link in key order whose four texts each are empty or equal the packet's; or null.
const TerminalLink* find_terminal_link(const TerminalTable& terminals, const DecodedPacket& packet);

/// Decodes one captured frame and hands its payload to the first matching link's server.
void dispatch_packet(const TerminalTable& terminals, const unsigned char* frame,
                     std::uint32_t captured_length);

}  // namespace marlobex
