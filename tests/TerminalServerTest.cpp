#include "relay/TerminalServer.h"

#include "tests/support/TestSupport.h"
#include "relay/IoService.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using marlobex::IoService;
using marlobex::IoWorkGuard;
using marlobex::TerminalServer;
using Clock = std::chrono::steady_clock;

const std::string kLogPath = marlobex::test::log_directory() + "Marlobex.log";
const std::string kOldPath = marlobex::test::log_directory() + "Marlobex.log.old";

std::string read_from(const std::string& path, std::streamoff offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  in.seekg(offset);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::streamoff file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// The log lines appended after construction, each with its stamp prefix removed.
class LogTail {
 public:
  LogTail() {
    offset_ = file_size(kLogPath);
  }
  std::vector<std::string> lines() const {
    std::string text;
    if (file_size(kLogPath) < offset_) {
      text = read_from(kOldPath, offset_) + read_from(kLogPath, 0);  // rotated meanwhile
    } else {
      text = read_from(kLogPath, offset_);
    }
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t end = line.find(" ] ");
      out.push_back(line.rfind("[ ", 0) == 0 && end != std::string::npos ? line.substr(end + 3)
                                                                         : line);
    }
    return out;
  }
  int count(const std::string& exact) const {
    const auto all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), exact));
  }
  // Lines that mention the given text anywhere (other processes may share the log).
  std::vector<std::string> mentioning(const std::string& text) const {
    std::vector<std::string> out;
    for (const auto& l : lines())
      if (l.find(text) != std::string::npos) out.push_back(l);
    return out;
  }

 private:
  std::streamoff offset_ = 0;
};

// Polls the I/O service until `done` holds or five seconds pass.
bool poll_until(IoService& io, const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    if (io.poll() == 0) ::usleep(200);
  }
  return true;
}

void poll_passes(IoService& io, int passes) {
  for (int i = 0; i < passes; ++i) io.poll();
}

std::string free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return std::to_string(ntohs(a.sin_port));
}

// A plain client socket bound to `from` and connected to 127.0.0.1:port; -1 on failure.
int connect_from(const std::string& from, unsigned short port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return ::close(fd), -1;
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return ::close(fd), -1;
  return fd;
}

// Reads exactly `count` bytes while polling the service; fewer if EOF or time runs out.
std::string read_bytes(IoService& io, int fd, std::size_t count, int ms = 5000) {
  std::string out;
  char buf[65536];
  poll_until(
      io,
      [&] {
        const ssize_t n =
            ::recv(fd, buf, std::min(sizeof buf, count - out.size()), MSG_DONTWAIT);
        if (n > 0) out.append(buf, static_cast<std::size_t>(n));
        return out.size() >= count || n == 0;
      },
      ms);
  return out;
}

// True when the peer has closed the connection (EOF or reset) within the time allowed.
bool sees_eof(IoService& io, int fd) {
  char c;
  return poll_until(io, [&] {
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  });
}

// True when nothing arrives on fd for `ms` milliseconds of polling.
bool stays_quiet(IoService& io, int fd, int ms = 200) {
  char c;
  return !poll_until(io, [&] { return ::recv(fd, &c, 1, MSG_DONTWAIT) > 0; }, ms);
}

constexpr std::time_t kCapturedAt = 1765000000;

void send_text(TerminalServer& server, const std::string& text) {
  server.send_payload(reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<std::int32_t>(text.size()), kCapturedAt);
}

std::string closed_line(const std::string& port) {
  return "Terminal port 127.0.0.1:" + port + " Recorder closed the connection.";
}

std::string write_failed_prefix(const std::string& port) {
  return "Terminal port 127.0.0.1:" + port + " Write failed: ";
}

// Sends payloads until the server logs that a write failed; true when it did.
bool send_until_write_fails(IoService& io, TerminalServer& server, const LogTail& log,
                            const std::string& port) {
  const auto failed = [&] {
    for (const auto& l : log.mentioning(write_failed_prefix(port)))
      if (l.rfind(write_failed_prefix(port), 0) == 0 && l.size() > write_failed_prefix(port).size())
        return true;
    return false;
  };
  return poll_until(io, [&] {
    if (server.state() == TerminalServer::State::Connected) send_text(server, "x");
    poll_passes(io, 5);
    return failed();
  });
}

class TerminalServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  int client(const std::string& from, unsigned short port) {
    const int fd = connect_from(from, port);
    fds_.push_back(fd);
    return fd;
  }
  bool connected(TerminalServer& server) {
    return poll_until(io_, [&] { return server.state() == TerminalServer::State::Connected; });
  }

  LogTail log_;
  IoService io_;
  IoWorkGuard work_{io_};
  std::vector<int> fds_;
};

TEST_F(TerminalServerTest, AdmitsOnlyTheRecorderOneAtATime) {
  const std::string port = free_port();
  TerminalServer server(io_, "127.0.0.1", port);
  const unsigned short p = server.local_port();
  ASSERT_EQ(std::to_string(p), port);
  EXPECT_EQ(server.state(), TerminalServer::State::Listening);
  const std::string rejected = "Rejected connection from address: 127.0.0.2 on port " + port;
  const std::string accepted = "Accepted connection from NVR address: 127.0.0.1 Port: " + port;

  const int stranger = client("127.0.0.2", p);
  ASSERT_GE(stranger, 0);
  EXPECT_TRUE(sees_eof(io_, stranger));
  const int again = client("127.0.0.2", p);
  ASSERT_GE(again, 0);
  EXPECT_TRUE(sees_eof(io_, again));
  poll_passes(io_, 50);
  EXPECT_EQ(log_.count(rejected), 1);
  EXPECT_EQ(server.state(), TerminalServer::State::Listening);

  const int first = client("127.0.0.1", p);
  ASSERT_TRUE(connected(server));
  const int second = client("127.0.0.1", p);
  ASSERT_GE(second, 0);
  poll_passes(io_, 200);
  const std::vector<std::string> expected = {"Creating terminal connection: 127.0.0.1:" + port,
                                             rejected, accepted};
  EXPECT_EQ(log_.mentioning(port), expected);

  send_text(server, "one");
  EXPECT_EQ(read_bytes(io_, first, 3), "one");
  EXPECT_TRUE(stays_quiet(io_, second));

  // The recorder closes with a second connection queued: the very next payload reaches that one.
  ::close(first);
  fds_[2] = -1;
  ASSERT_TRUE(poll_until(io_, [&] { return log_.count(accepted) == 2; }));
  EXPECT_EQ(log_.count(closed_line(port)), 1);
  send_text(server, "next");
  send_text(server, "more");
  EXPECT_EQ(read_bytes(io_, second, 8), "nextmore");
}

TEST_F(TerminalServerTest, SendsExactBytesAndCapsThePayload) {
  TerminalServer server(io_, "127.0.0.1", "abc");
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));

  std::string big(1460, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  send_text(server, "A");
  send_text(server, big);
  EXPECT_EQ(read_bytes(io_, fd, 1461), "A" + big);

  std::string huge(70000, '\0');
  for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<char>(i * 13 + (i >> 8));
  send_text(server, huge);
  send_text(server, "#");
  EXPECT_EQ(read_bytes(io_, fd, 65536), huge.substr(0, 65535) + "#");
  EXPECT_TRUE(stays_quiet(io_, fd));
}

TEST_F(TerminalServerTest, DiscardsPayloadWhileNoRecorderIsConnected) {
  TerminalServer server(io_, "127.0.0.1", "abc");
  send_text(server, "early");
  poll_passes(io_, 50);
  EXPECT_EQ(server.queued_bytes(), 0u);
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  send_text(server, "late");
  EXPECT_EQ(read_bytes(io_, fd, 4), "late");
  EXPECT_TRUE(stays_quiet(io_, fd));
}

TEST_F(TerminalServerTest, BindFailureLeavesServerStopped) {
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  fds_.push_back(holder);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 4), 0);
  socklen_t len = sizeof a;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  TerminalServer failed(io_, "127.0.0.1", port);
  EXPECT_EQ(failed.state(), TerminalServer::State::Stopped);
  const std::vector<std::string> expected = {
      "Creating terminal connection: 127.0.0.1:" + port,
      "Acceptor bind failed: Port " + port + " Error: Address already in use"};
  EXPECT_EQ(log_.mentioning(port), expected);
  send_text(failed, "ignored");

  TerminalServer other(io_, "127.0.0.1", "abc");
  const int fd = client("127.0.0.1", other.local_port());
  ASSERT_TRUE(connected(other));
  send_text(other, "ok");
  EXPECT_EQ(read_bytes(io_, fd, 2), "ok");
}

// Floods a recorder that does not read with 1000-byte payloads numbered from `seq` on.
void flood(IoService& io, TerminalServer& server, std::uint32_t& seq, std::size_t bytes) {
  std::vector<unsigned char> payload(1000);
  for (std::size_t sent = 0; sent < bytes; sent += payload.size(), ++seq) {
    std::memcpy(payload.data(), &seq, 4);
    std::fill(payload.begin() + 4, payload.end(), static_cast<unsigned char>(seq));
    server.send_payload(payload.data(), 1000, kCapturedAt);
    ASSERT_LE(server.queued_bytes(), TerminalServer::kQueueLimit);
    if (seq % 16 == 0) io.poll();
  }
}

// Reads until the queue is empty and nothing more arrives; checks whole, increasing payloads.
void drain_and_check(IoService& io, TerminalServer& server, int fd, std::uint32_t& last) {
  std::string data;
  char buf[65536];
  auto quiet_since = Clock::now();
  poll_until(io, [&] {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      data.append(buf, static_cast<std::size_t>(n));
      quiet_since = Clock::now();
    }
    return server.queued_bytes() == 0 && Clock::now() - quiet_since > std::chrono::milliseconds(300);
  }, 30000);
  ASSERT_EQ(server.queued_bytes(), 0u);
  ASSERT_EQ(data.size() % 1000, 0u) << "partial payload";
  for (std::size_t off = 0; off < data.size(); off += 1000) {
    std::uint32_t seq;
    std::memcpy(&seq, data.data() + off, 4);
    ASSERT_TRUE(last == UINT32_MAX || seq > last) << "at offset " << off;
    ASSERT_EQ(data.find_first_not_of(static_cast<char>(seq), off + 4), off + 1000 == data.size()
                                                                           ? std::string::npos
                                                                           : off + 1000);
    last = seq;
  }
}

TEST_F(TerminalServerTest, SlowRecorderDropsWholePayloadsOncePerEpisode) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  const std::string drop = "Terminal port 127.0.0.1:" + server.nvr_port() +
                           " Recorder is not keeping up. Dropping data.";
  std::uint32_t seq = 0;
  std::uint32_t last = UINT32_MAX;

  flood(io_, server, seq, 20u * 1000 * 1000);
  EXPECT_EQ(log_.count(drop), 1);
  drain_and_check(io_, server, fd, last);
  EXPECT_LT(last, seq - 1) << "the newest payloads were dropped, not queued";

  flood(io_, server, seq, 12u * 1000 * 1000);
  EXPECT_EQ(log_.count(drop), 2);
  drain_and_check(io_, server, fd, last);
  EXPECT_EQ(server.state(), TerminalServer::State::Connected);
}

TEST_F(TerminalServerTest, IdleThenClosedRecorderReturnsToListening) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const std::string port = server.nvr_port();
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  poll_passes(io_, 2000);
  ::close(fd);
  fds_[0] = -1;
  poll_passes(io_, 100);
  ASSERT_TRUE(send_until_write_fails(io_, server, log_, port));
  EXPECT_EQ(server.state(), TerminalServer::State::Listening);

  const int next = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  send_text(server, "back");
  EXPECT_EQ(read_bytes(io_, next, 4), "back");
  EXPECT_EQ(log_.count("Accepted connection from NVR address: 127.0.0.1 Port: " + port), 2);
}

TEST_F(TerminalServerTest, ClosedConnectionsQueuedAheadOfTheLiveOneAreSkipped) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const std::string port = server.nvr_port();
  const int gone = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  for (int i = 0; i < 5; ++i) {
    const int stale = connect_from("127.0.0.1", server.local_port());
    ASSERT_GE(stale, 0);
    ::close(stale);
  }
  const int live = client("127.0.0.1", server.local_port());
  ::close(gone);
  fds_[0] = -1;
  ASSERT_TRUE(poll_until(io_, [&] { return log_.count(closed_line(port)) == 6; }));
  std::string expected;
  for (int i = 0; i < 20; ++i) {
    const std::string payload = "receipt " + std::to_string(i) + "\n";
    send_text(server, payload);
    expected += payload;
    poll_passes(io_, 20);
  }
  EXPECT_EQ(read_bytes(io_, live, expected.size()), expected);
  EXPECT_EQ(log_.count("Accepted connection from NVR address: 127.0.0.1 Port: " + port), 7);
}

TEST_F(TerminalServerTest, RecorderThatOnlyStopsSendingKeepsReceiving) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  const char hello[] = "status?";
  ASSERT_EQ(::send(fd, hello, sizeof hello, 0), static_cast<ssize_t>(sizeof hello));
  ::shutdown(fd, SHUT_WR);
  poll_passes(io_, 100);
  send_text(server, "one");
  poll_passes(io_, 100);
  send_text(server, "two");
  EXPECT_EQ(read_bytes(io_, fd, 6), "onetwo");
  EXPECT_EQ(server.state(), TerminalServer::State::Connected);
}

TEST_F(TerminalServerTest, ResetRecorderIsReplacedWithoutAWrite) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const std::string port = server.nvr_port();
  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  ::close(fd);
  fds_[0] = -1;
  ASSERT_TRUE(poll_until(io_, [&] { return server.state() == TerminalServer::State::Listening; }));
  EXPECT_EQ(log_.count(closed_line(port)), 1);
  const int next = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  send_text(server, "back");
  EXPECT_EQ(read_bytes(io_, next, 4), "back");
}

TEST_F(TerminalServerTest, AcceptWithoutDescriptorsIsRetried) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const std::string port = server.nvr_port();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  fds_.push_back(fd);
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  // The lowest free descriptor is the one accept would take: a limit there leaves it none.
  const int lowest_free = ::dup(0);
  ::close(lowest_free);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest_free);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected_to_queue = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  // Reading the log takes a descriptor too: look only once the limit is back.
  poll_until(io_, [] { return false; }, 350);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected_to_queue);
  EXPECT_EQ(log_.count("Terminal port " + port + " Accept failed: Too many open files"), 1);
  ASSERT_TRUE(connected(server));
  send_text(server, "late");
  EXPECT_EQ(read_bytes(io_, fd, 4), "late");
}

// The address 127.1.x.y of the n-th stranger.
std::string stranger_address(int n) {
  return "127.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

TEST_F(TerminalServerTest, RejectedAddressesAreLoggedUpToTheLimit) {
  TerminalServer server(io_, "127.0.0.1", free_port());
  const std::string prefix = "Rejected connection from address: ";
  const int limit = static_cast<int>(TerminalServer::kRejectedLimit);
  for (int n = 0; n <= limit + 1; ++n) {
    const int fd = connect_from(stranger_address(n), server.local_port());
    ASSERT_GE(fd, 0) << stranger_address(n);
    EXPECT_TRUE(sees_eof(io_, fd));
    ::close(fd);
  }
  const int again = client(stranger_address(0), server.local_port());
  EXPECT_TRUE(sees_eof(io_, again));
  const auto lines = log_.mentioning(" on port " + server.nvr_port());
  ASSERT_EQ(static_cast<int>(lines.size()), limit);
  EXPECT_EQ(lines.front(), prefix + stranger_address(0) + " on port " + server.nvr_port());
  EXPECT_EQ(lines.back(), prefix + stranger_address(limit - 1) + " on port " + server.nvr_port());

  const int fd = client("127.0.0.1", server.local_port());
  ASSERT_TRUE(connected(server));
  send_text(server, "still");
  EXPECT_EQ(read_bytes(io_, fd, 5), "still");
}

}  // namespace
