#pragma once

#include "tools/ConfigurationCheck.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace marlobex {

/// One line of /proc/net/tcp: addresses in dotted decimal, ports in host order.
struct TcpSocket {
  std::string local_address;
  unsigned local_port = 0;
  std::string remote_address;
  unsigned remote_port = 0;
  unsigned state = 0;  ///< 0x01 established, 0x0A listening
};

constexpr unsigned kTcpEstablished = 0x01;
constexpr unsigned kTcpListen = 0x0A;

/// The sockets of a /proc/net/tcp text; lines that do not parse are left out.
std::vector<TcpSocket> parse_proc_net_tcp(const std::string& text);

/// The process holding the lock on `path` (as lockf takes it), or 0 when none; -1 if no file.
pid_t lock_holder(const std::string& path);

/// Processes running the installed daemon `executable` (as a service manager starts it, without
/// the lock), other than this one.
std::vector<pid_t> processes_running(const std::string& executable);

/// Per link: does its port listen, and is a recorder connected from its recorder address?
struct LinkStatus {
  CheckedLink link;
  bool listening = false;
  bool recorder_connected = false;
};

std::vector<LinkStatus> link_statuses(const std::vector<CheckedLink>& links,
                                      const std::vector<TcpSocket>& sockets);

/// The last `count` lines of the log about connections, rejections, failures, starts and ends.
std::vector<std::string> recent_log_events(const std::string& log_text, std::size_t count);

}  // namespace marlobex
