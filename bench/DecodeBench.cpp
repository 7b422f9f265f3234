// Micro-benchmarks: decode and first match against tables of 1 to 1000 links, send_payload to a
// recorder on loopback, one log line, and the machine's own costs to read them against.
#include "capture/Dispatch.h"
#include "capture/PacketDecoder.h"
#include "log/Log.h"
#include "relay/TerminalLink.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace marlobex;

std::vector<unsigned char> tcp_frame(const unsigned char src[4], unsigned short dst_port, size_t payload) {
  std::vector<unsigned char> f(14 + 20 + 20 + payload, 'x');
  f[12] = 0x08; f[13] = 0x00;
  unsigned char* ip = &f[14];
  ip[0] = 0x45;
  const unsigned total = static_cast<unsigned>(40 + payload);
  ip[2] = static_cast<unsigned char>(total >> 8); ip[3] = static_cast<unsigned char>(total);
  ip[9] = 6;
  std::memcpy(ip + 12, src, 4);
  const unsigned char dst[4] = {10, 0, 0, 5};
  std::memcpy(ip + 16, dst, 4);
  unsigned char* tcp = ip + 20;
  tcp[0] = 0x9c; tcp[1] = 0x40;
  tcp[2] = static_cast<unsigned char>(dst_port >> 8); tcp[3] = static_cast<unsigned char>(dst_port);
  tcp[12] = 0x50;
  return f;
}

// Links for tills 10.1.x.y sending to 10.0.0.5:9100; the matching frame's till is the last key.
struct Table {
  IoService io;
  TerminalTable terminals;
  explicit Table(int links) {
    for (int i = 0; i < links; ++i) {
      const std::string till = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
      terminals.emplace(TerminalLink::key(till, "", "10.0.0.5", "9100"),
                        std::unique_ptr<TerminalLink>(new TerminalLink(io, till, "10.0.0.5", "", "9100", "", "abc")));
    }
  }
};

void BM_DecodeAndMatch(benchmark::State& state) {
  Table table(static_cast<int>(state.range(0)));
  const bool matching = state.range(1) != 0;
  // The till that sorts last in key order: the worst case of the linear walk.
  const std::string& last = std::prev(table.terminals.end())->second->SrcAddress;
  unsigned char src[4] = {10, 9, 9, 9};
  if (matching) inet_pton(AF_INET, last.c_str(), src);
  const std::vector<unsigned char> frame = tcp_frame(src, 9100, 220);
  for (auto _ : state) {
    auto packet = decode_frame(frame.data(), static_cast<uint32_t>(frame.size()));
    benchmark::DoNotOptimize(find_terminal_link(table.terminals, *packet));
  }
}
BENCHMARK(BM_DecodeAndMatch)->ArgsProduct({{1, 10, 100, 1000}, {0, 1}})->ArgNames({"links", "matching"});

void BM_DecodeOnly(benchmark::State& state) {
  const unsigned char src[4] = {10, 1, 0, 1};
  const std::vector<unsigned char> frame = tcp_frame(src, 9100, 220);
  for (auto _ : state) benchmark::DoNotOptimize(decode_frame(frame.data(), static_cast<uint32_t>(frame.size())));
}
BENCHMARK(BM_DecodeOnly);

void BM_SendPayloadLoopback(benchmark::State& state) {
  IoService io;
  IoWorkGuard work(io);
  TerminalServer server(io, "127.0.0.1", "abc");
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  while (server.state() != TerminalServer::State::Connected) io.poll();
  std::vector<unsigned char> payload(220, 'r');
  std::vector<char> sink(1 << 20);
  for (auto _ : state) {
    server.send_payload(payload.data(), static_cast<int32_t>(payload.size()));
    io.poll();
    // The recorder drains what is there so the kernel queue never fills.
    while (::recv(client, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
    }
  }
  ::close(client);
}
BENCHMARK(BM_SendPayloadLoopback);

void BM_LogLine(benchmark::State& state) {
  char dir[] = "/tmp/marlobex-bench-XXXXXX";
  if (!::mkdtemp(dir)) return;
  Log log(std::string(dir) + "/");
  for (auto _ : state) log.line() << "Short message " << 42 << std::endl;
  std::remove(log.log_path().c_str());
  std::remove(log.old_path().c_str());
  ::rmdir(dir);
}
BENCHMARK(BM_LogLine);

void BM_EpollWaitZero(benchmark::State& state) {
  const int ep = ::epoll_create1(0);
  epoll_event events[8];
  for (auto _ : state) benchmark::DoNotOptimize(::epoll_wait(ep, events, 8, 0));
  ::close(ep);
}
BENCHMARK(BM_EpollWaitZero);

void BM_PlainSystemCall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(::getppid());
}
BENCHMARK(BM_PlainSystemCall);

}  // namespace

BENCHMARK_MAIN();
