#include "relay/TerminalServer.h"

#include "tests/support/TestSupport.h"
#include "relay/IoService.h"

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using marlobex::IoService;
using marlobex::TerminalServer;

const std::string kLogPath = marlobex::test::log_directory() + "Marlobex.log";

// Runs one handler at a time until `done` holds; false when `ms` milliseconds pass first.
bool poll_until(IoService& io, const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (io.poll_one() == 0) ::usleep(200);
  }
  return true;
}

// A client socket bound to `from` and connected to 127.0.0.1:port; -1 on failure.
int connect_from(const std::string& from, unsigned short port) {
  namespace ip = boost::asio::ip;
  static boost::asio::io_context io;  // made once: its own descriptors stay below every client's
  ip::tcp::socket socket(io, ip::tcp::endpoint(ip::make_address(from), 0));
  boost::system::error_code error;
  socket.connect({ip::make_address("127.0.0.1"), port}, error);
  return error ? -1 : socket.release();
}

// Reads up to `count` bytes while the service runs; fewer on EOF or when `ms` milliseconds pass.
std::string read_bytes(IoService& io, int fd, std::size_t count, int ms = 5000) {
  std::string out;
  char buf[65536];
  poll_until(io, [&] {
    const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), MSG_DONTWAIT);
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
    return out.size() >= count || n == 0;
  }, ms);
  return out;
}

// True when the peer closes the connection (EOF or reset) in time.
bool sees_eof(IoService& io, int fd) {
  char c;
  return poll_until(io, [&] {
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  });
}

// Hands one payload over and, unless it is to be gathered with later ones, sends it when owed.
void send_text(TerminalServer& server, const std::string& text, bool gather = false) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (server.send_payload(bytes, static_cast<std::int32_t>(text.size()), 0) && !gather) server.send_gathered();
}

class TerminalServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }
  int client() {
    fds_.push_back(connect_from("127.0.0.1", server_.local_port()));
    return fds_.back();
  }
  bool connected() {
    return poll_until(io_, [&] { return server_.state() == TerminalServer::State::Connected; });
  }
  // The log lines written since the test began, without their stamps.
  std::vector<std::string> log_lines() {
    std::istringstream in(marlobex::test::read_file(kLogPath).substr(log_start_));
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(" ] ") + 3));
    return out;
  }
  int log_count(const std::string& line) {
    const auto all = log_lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }

  const std::size_t log_start_ = marlobex::test::read_file(kLogPath).size();
  IoService io_;
  marlobex::IoWorkGuard work_{io_};
  TerminalServer server_{io_, "127.0.0.1", "0"};
  std::vector<int> fds_;
};

TEST_F(TerminalServerTest, RejectsStrangersLoggingEachAddressOnceUpToTheLimit) {
  // 127.0.0.2 twice, then as many other strangers as the limit: one of them too many to log.
  for (int n = -2; n < static_cast<int>(TerminalServer::kRejectedLimit); ++n) {
    const std::string from = "127.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
    const int fd = connect_from(n < 0 ? "127.0.0.2" : from, server_.local_port());
    ASSERT_GE(fd, 0) << n;
    EXPECT_TRUE(sees_eof(io_, fd)) << n;
    ::close(fd);
  }
  const auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1 + TerminalServer::kRejectedLimit);
  EXPECT_EQ(lines[1], "Rejected connection from address: 127.0.0.2 on port 0");
  EXPECT_EQ(lines[2], "Rejected connection from address: 127.1.0.1 on port 0");
  EXPECT_EQ(lines.back(), "Rejected connection from address: 127.1.4.23 on port 0");
}

TEST_F(TerminalServerTest, SendsExactCappedPayloadsToOneRecorderAtATime) {
  send_text(server_, "no recorder yet");
  const int first = client();
  ASSERT_TRUE(connected());
  const std::size_t admitted_at = log_lines().size();
  // A recorder that only stops sending is kept: a stranger is rejected, and five connections from
  // its address that give up before they are taken replace nothing.
  ASSERT_EQ(::send(first, "status?", 7, 0), 7);
  ::shutdown(first, SHUT_WR);
  ASSERT_TRUE(poll_until(io_, [&] { return server_.state() == TerminalServer::State::Finished; }));
  fds_.push_back(connect_from("127.0.0.2", server_.local_port()));
  for (int i = 0; i < 5; ++i) ::close(connect_from("127.0.0.1", server_.local_port()));
  send_text(server_, "one");
  poll_until(io_, [] { return false; }, 100);
  send_text(server_, "two");
  EXPECT_EQ(read_bytes(io_, first, 6), "onetwo");
  EXPECT_EQ(server_.state(), TerminalServer::State::Finished);
  // The recorder back on a new connection replaces the finished one at once.
  const int live = client();
  ASSERT_TRUE(connected());
  EXPECT_TRUE(sees_eof(io_, first));
  const auto lines = log_lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(admitted_at), lines.end()),
            (std::vector<std::string>{
      "Rejected connection from address: 127.0.0.2 on port 0",
      "Terminal port 127.0.0.1:0 Recorder closed the connection.",
      "Accepted connection from NVR address: 127.0.0.1 Port: 0"}));
  std::string huge(70000, '\0');
  for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<char>(i * 13 + (i >> 8));
  send_text(server_, huge);
  send_text(server_, "#");
  EXPECT_EQ(read_bytes(io_, live, 65536), huge.substr(0, 65535) + "#");
  EXPECT_EQ(server_.counters().sent_bytes, 6u + 65536u);
  EXPECT_EQ(server_.counters().recorder_connections, 2u);
}

// The n-th 1000-byte payload of a flood: n in its first four bytes, then n's low byte repeated.
std::string numbered(std::uint32_t n) {
  std::string payload(1000, static_cast<char>(n));
  std::memcpy(&payload[0], &n, 4);
  return payload;
}

// Hands `count` numbered payloads from `seq` on, sixteen to a send, to a recorder that does not
// read, then reads until the queue is empty and quiet: whole payloads must arrive, numbered
// upwards from `last`.
void flood_and_drain(IoService& io, TerminalServer& server, int fd, int count, std::uint32_t& seq,
                     std::uint32_t& last) {
  for (int i = 0; i < count; ++i, ++seq) {
    send_text(server, numbered(seq), true);
    ASSERT_LE(server.queued_bytes(), TerminalServer::kQueueLimit);
    if (seq % 16 == 0 || i + 1 == count) server.send_gathered(), io.poll();  // a turn of the main loop
  }
  std::string data;
  poll_until(io, [&] {
    const std::string got = read_bytes(io, fd, 1 << 20, 300);
    data += got;
    return got.empty() && server.queued_bytes() == 0;
  }, 30000);
  ASSERT_EQ(data.size() % 1000, 0u) << "partial payload";
  for (std::size_t off = 0; off < data.size(); off += 1000) {
    std::uint32_t n;
    std::memcpy(&n, data.data() + off, 4);
    ASSERT_TRUE(last == UINT32_MAX || n > last) << "at offset " << off;
    ASSERT_EQ(data.compare(off, 1000, numbered(n)), 0) << "at offset " << off;
    last = n;
  }
}

TEST_F(TerminalServerTest, SlowRecorderLosesWholePayloadsReportedOncePerEpisode) {
  const int fd = client();
  ASSERT_TRUE(connected());
  const std::string drop = "Terminal port 127.0.0.1:0 Recorder is not keeping up. Dropping data.";
  std::uint32_t seq = 0;
  std::uint32_t last = UINT32_MAX;
  flood_and_drain(io_, server_, fd, 20000, seq, last);
  EXPECT_EQ(log_count(drop), 1);
  EXPECT_LT(last, seq - 1) << "the newest payloads were dropped, not queued";
  flood_and_drain(io_, server_, fd, 12000, seq, last);
  EXPECT_EQ(log_count(drop), 2);
  EXPECT_EQ(server_.state(), TerminalServer::State::Connected);
}

TEST_F(TerminalServerTest, ClosedOrResetRecorderIsReplaced) {
  const int gone = connect_from("127.0.0.1", server_.local_port());
  ASSERT_TRUE(connected());
  ::close(gone);
  ASSERT_TRUE(poll_until(io_, [&] {
    send_text(server_, "x");
    return server_.state() == TerminalServer::State::Listening;
  }));
  EXPECT_EQ(log_lines().back().rfind("Terminal port 127.0.0.1:0 Write failed: ", 0), 0u);

  const int reset = connect_from("127.0.0.1", server_.local_port());
  ASSERT_TRUE(connected());
  const linger abort_on_close{1, 0};
  ::setsockopt(reset, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  ::close(reset);
  ASSERT_TRUE(poll_until(io_, [&] { return server_.state() == TerminalServer::State::Listening; }));
  EXPECT_EQ(log_count("Terminal port 127.0.0.1:0 Recorder closed the connection."), 1);
}

TEST_F(TerminalServerTest, AcceptWithoutDescriptorsIsRetried) {
  // The connection waits in the listen queue; every descriptor number above it is over the limit.
  const int fd = client();
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit tight{static_cast<rlim_t>(fd + 1), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  poll_until(io_, [] { return false; }, 350);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  // Reading the log takes a descriptor too: look only once the limit is back.
  EXPECT_EQ(log_count("Terminal port 0 Accept failed: Too many open files"), 1);
  ASSERT_TRUE(connected());
  send_text(server_, "late");
  EXPECT_EQ(read_bytes(io_, fd, 4), "late");
}

}  // namespace
