// Marlobex-recorder HOST PORT [--bind ADDRESS] [--hex | --raw]: a minimal recorder client.
// Connects to a link's port, prints what arrives (as escaped text, as a hex dump, or raw), and says
// when the connection ends. Any host on the mirrored segment can forge a till's bytes, so by
// default none of them reaches the operator's terminal as a control.
#include "tools/EscapedText.h"
#include "tools/HexDump.h"
#include "tools/ToolOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const char* const kUsage =
    "Usage: Marlobex-recorder HOST PORT [--bind ADDRESS] [--hex | --raw]\n"
    "Connects to the daemon's NvrPort PORT on HOST (an IPv4 address), from ADDRESS if given (the\n"
    "daemon admits only the recorder address of the link's Network), and prints what it receives:\n"
    "as text with every byte but printable ASCII, tab and line feed written as \\xHH; with --hex\n"
    "as a hex dump; with --raw exactly as it comes, controls included. Status lines go to standard\n"
    "error.\n"
    "Exit status: 0 the daemon closed the connection, 1 no connection or a failed read, 2 bad usage.\n";

struct Options {
  std::string host;
  unsigned port = 0;
  std::string bind_address;
  bool hex = false;
  bool raw = false;
};

bool parse_port(const char* text, unsigned& port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end || value < 1 || value > 65535) return false;
  port = static_cast<unsigned>(value);
  return true;
}

bool parse(int argc, char** argv, Options& options) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hex" && !options.raw) {
      options.hex = true;
    } else if (arg == "--raw" && !options.hex) {
      options.raw = true;
    } else if (arg == "--bind" && i + 1 < argc) {
      options.bind_address = argv[++i];
    } else if (positional == 0) {
      options.host = arg;
      ++positional;
    } else if (positional == 1 && parse_port(argv[i], options.port)) {
      ++positional;
    } else {
      return false;
    }
  }
  return positional == 2;
}

bool make_address(const std::string& text, unsigned port, sockaddr_in& address) {
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

std::string endpoint_text(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

// The connected socket, or -1 after saying why.
int connect_recorder(const Options& options) {
  sockaddr_in remote{}, local{};
  if (!make_address(options.host, options.port, remote)) {
    std::cerr << "Marlobex-recorder: " << options.host << " is not an IPv4 address\n";
    return -1;
  }
  if (!options.bind_address.empty() && !make_address(options.bind_address, 0, local)) {
    std::cerr << "Marlobex-recorder: " << options.bind_address << " is not an IPv4 address\n";
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!options.bind_address.empty() &&
      ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::cerr << "Marlobex-recorder: cannot bind " << options.bind_address << ": "
              << std::strerror(errno) << "\n";
    ::close(fd);
    return -1;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
    std::cerr << "Marlobex-recorder: cannot connect to " << endpoint_text(remote) << ": "
              << std::strerror(errno) << "\n";
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  std::cerr << "Connected to " << endpoint_text(remote) << " from " << endpoint_text(local) << "\n";
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int early = marlobex::read_tool_options(argc, argv, kUsage, 2, options, parse);
  if (early >= 0) return early;
  const int fd = connect_recorder(options);
  if (fd < 0) return 1;
  marlobex::HexDump dump(std::cout);
  unsigned long long total = 0;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (options.hex) dump.finish();
      std::cout.flush();
      if (got < 0) {
        std::cerr << "Read failed after " << total << " bytes: " << std::strerror(errno) << "\n";
      } else {
        std::cerr << "Connection closed by the daemon after " << total << " bytes\n";
      }
      ::close(fd);
      return got < 0 ? 1 : 0;
    }
    total += static_cast<unsigned long long>(got);
    if (options.hex) {
      dump.add(reinterpret_cast<const unsigned char*>(buffer), static_cast<std::size_t>(got));
    } else if (options.raw) {
      std::cout.write(buffer, got);
    } else {
      std::cout << marlobex::escaped_text(buffer, static_cast<std::size_t>(got));
    }
    std::cout.flush();
  }
}
