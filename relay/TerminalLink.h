#pragma once

#include "relay/IoService.h"
#include "relay/TerminalServer.h"

#include <map>
#include <memory>
#include <string>

namespace marlobex {

/// One configured terminal link: the four match texts exactly as configured (the empty text
/// matches any value), its recorder address and NvrPort, and the relay server it owns.
class TerminalLink {
 public:
  /// Copies the texts and creates the link's server, which logs, binds and listens at once.
  TerminalLink(IoService& io, const std::string& src_address, const std::string& dst_address,
               const std::string& src_port, const std::string& dst_port,
               const std::string& recorder_address, const std::string& nvr_port);
  TerminalLink(const TerminalLink&) = delete;
  TerminalLink& operator=(const TerminalLink&) = delete;

  /// The table key: SrcAddress ":" SrcPort ":" DstAddress ":" DstPort.
  static std::string key(const std::string& src_address, const std::string& src_port,
                         const std::string& dst_address, const std::string& dst_port);

  const std::unique_ptr<TerminalServer> server;
  const std::string SrcAddress;
  const std::string DstAddress;
  const std::string SrcPort;
  const std::string DstPort;
  const std::string RecorderAddress;
  const std::string NvrPort;
};

/// The terminal links by key, in byte-wise ascending key order; the table owns its links.
using TerminalTable = std::map<std::string, std::unique_ptr<TerminalLink>>;

}  // namespace marlobex
