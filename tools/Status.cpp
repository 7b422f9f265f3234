#include "tools/Status.h"

#include "capture/CaptureAdapter.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace marlobex {

namespace {

// "0100007F:0FA1": the address as the kernel stores it (network order read as a host word).
bool parse_endpoint(const std::string& text, std::string& address, unsigned& port) {
  const std::size_t colon = text.find(':');
  if (colon != 8 || text.size() != 13) return false;
  // Both texts must outlive the end pointers that strtoul leaves in them.
  const std::string address_text = text.substr(0, 8);
  const std::string port_text = text.substr(9);
  char* end = nullptr;
  const unsigned long raw = std::strtoul(address_text.c_str(), &end, 16);
  if (*end) return false;
  address = format_ipv4(static_cast<std::uint32_t>(raw));
  port = static_cast<unsigned>(std::strtoul(port_text.c_str(), &end, 16));
  return *end == '\0';
}

const char* const kEventMarks[] = {"Starting Marlobex", "Accepted connection", "Rejected connection",
                                   "Write failed",      "Error",               "failed",
                                   "Exiting",           "not keeping up",      "Listening on"};

bool is_event(const std::string& line) {
  for (const char* mark : kEventMarks) {
    if (line.find(mark) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::vector<TcpSocket> parse_proc_net_tcp(const std::string& text) {
  std::vector<TcpSocket> sockets;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    TcpSocket socket;
    if (!parse_endpoint(local, socket.local_address, socket.local_port)) continue;
    if (!parse_endpoint(remote, socket.remote_address, socket.remote_port)) continue;
    socket.state = static_cast<unsigned>(std::strtoul(state.c_str(), nullptr, 16));
    sockets.push_back(socket);
  }
  return sockets;
}

pid_t lock_holder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  // lockf locks from the current offset, the start, to the end of the file.
  const int result = ::fcntl(fd, F_GETLK, &query);
  ::close(fd);
  if (result != 0 || query.l_type == F_UNLCK) return 0;
  return query.l_pid;
}

std::vector<pid_t> processes_running(const std::string& executable) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end || pid <= 0 || pid == ::getpid()) continue;
    char target[4096];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    if (std::string(target, static_cast<std::size_t>(length)) == executable) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return found;
}

std::vector<LinkStatus> link_statuses(const std::vector<CheckedLink>& links,
                                      const std::vector<TcpSocket>& sockets) {
  std::vector<LinkStatus> statuses;
  for (const CheckedLink& link : links) {
    LinkStatus status{link, false, false};
    for (const TcpSocket& socket : sockets) {
      if (socket.local_port != link.port) continue;
      if (socket.state == kTcpListen) status.listening = true;
      if (socket.state == kTcpEstablished && !link.entry.RecorderAddress.empty() &&
          socket.remote_address == link.entry.RecorderAddress) {
        status.recorder_connected = true;
      }
    }
    statuses.push_back(status);
  }
  return statuses;
}

std::vector<std::string> recent_log_events(const std::string& log_text, std::size_t count) {
  std::vector<std::string> events;
  std::istringstream lines(log_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (is_event(line)) events.push_back(line);
  }
  if (events.size() > count) events.erase(events.begin(), events.end() - static_cast<long>(count));
  return events;
}

}  // namespace marlobex
