#pragma once

#include "config/Configuration.h"
#include "relay/IoService.h"
#include "relay/TerminalServer.h"

#include <map>
#include <memory>
#include <string>

namespace marlobex {

/// One configured terminal link: its texts exactly as configured (the empty text matches any
/// value) and the relay server it owns.
class TerminalLink {
 public:
  /// Keeps the texts and creates the link's server, which logs, binds and listens at once.
  TerminalLink(IoService& io, TerminalEntry texts)
      : texts_(std::move(texts)), server_(new TerminalServer(io, texts_.recorder_address, texts_.nvr_port)) {}
  TerminalLink(const TerminalLink&) = delete;
  TerminalLink& operator=(const TerminalLink&) = delete;

  const TerminalEntry& texts() const { return texts_; }
  TerminalServer& server() const { return *server_; }

 private:
  const TerminalEntry texts_;
  const std::unique_ptr<TerminalServer> server_;
};

/// The terminal links by key, in byte-wise ascending key order; the table owns its links.
using TerminalTable = std::map<std::string, std::unique_ptr<TerminalLink>>;

/// Creates the link of `texts` under its key, unless the table has that key already.
inline void add_link(TerminalTable& terminals, IoService& io, const TerminalEntry& texts) {
  const std::string key = texts.key();
  if (terminals.count(key) == 0) terminals.emplace(key, std::make_unique<TerminalLink>(io, texts));
}

}  // namespace marlobex
