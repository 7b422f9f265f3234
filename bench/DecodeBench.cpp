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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <new>
#include <string>
#include <vector>

// Counts every heap allocation of the process, so that a benchmark can report allocations per frame.
namespace {
std::size_t allocations = 0;
}

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace marlobex;

// Allocations made by the loop body, per iteration.
class AllocationCounter {
 public:
  AllocationCounter() : start_(allocations) {}
  void report(benchmark::State& state) const {
    state.counters["allocs_per_frame"] = static_cast<double>(allocations - start_) /
                                         static_cast<double>(state.iterations());
  }

 private:
  std::size_t start_;
};

std::vector<unsigned char> tcp_frame(const unsigned char src[4], unsigned short dst_port, size_t payload) {
  std::vector<unsigned char> f(14 + 20 + 20 + payload, 'x');
  // Headers start zeroed: flags and fragment offset 0, so the frame is a first fragment.
  std::fill(f.begin(), f.begin() + 14 + 20 + 20, 0);
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
  IoService io{kSingleThreaded};
  TerminalTable terminals;
  explicit Table(int links) {
    for (int i = 0; i < links; ++i) {
      const std::string till = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
      add_link(terminals, io, TerminalEntry{till, "10.0.0.5", "", "9100", "", "abc"});
    }
  }
};

// 1000 links spread over the 15 combinations of wildcards that leave some field exact, each with
// values of its own: a frame that matches none, or only the last link, takes 15 hash lookups. A
// configuration gives at most 12, since it refuses a link without either address.
struct MixedTable {
  IoService io{kSingleThreaded};
  TerminalTable terminals;
  MixedTable() {
    for (int i = 0; i < 1000; ++i) {
      const unsigned exact = static_cast<unsigned>(i % 15 + 1);
      auto text = [exact](unsigned field, const std::string& value) {
        return exact & field ? value : std::string();
      };
      const std::string octets = std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
      const std::string src = text(1, "10.1." + octets), dst = text(2, "10.2." + octets);
      const std::string src_port = text(4, std::to_string(40000 + i));
      const std::string dst_port = text(8, std::to_string(9100 + i));
      add_link(terminals, io, TerminalEntry{src, dst, src_port, dst_port, "", "abc"});
    }
  }
};

// Rewrites the addresses and ports of a frame made by tcp_frame; an empty text leaves its field.
void set_endpoints(std::vector<unsigned char>& frame, const TerminalLink& terminal) {
  const TerminalEntry& link = terminal.texts();
  auto put = [&frame](std::size_t at, unsigned value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) frame[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value);
  };
  if (!link.src_address.empty()) inet_pton(AF_INET, link.src_address.c_str(), &frame[14 + 12]);
  if (!link.dst_address.empty()) inet_pton(AF_INET, link.dst_address.c_str(), &frame[14 + 16]);
  if (!link.src_port.empty()) put(14 + 20, static_cast<unsigned>(std::stoi(link.src_port)), 2);
  if (!link.dst_port.empty()) put(14 + 22, static_cast<unsigned>(std::stoi(link.dst_port)), 2);
}

constexpr const char* kDecodeAndMatch = "BM_DecodeAndMatch";

// Decode and first match as the dispatch does them, without the hand-off; the frame matches the
// link that sorts last (a walk in key order would try all others first) or none.
void decode_and_match(benchmark::State& state, const TerminalTable& terminals,
                      const std::vector<unsigned char>& frame, bool matching) {
  const TerminalMatcher matcher(terminals);
  const TerminalLink* last = std::prev(terminals.end())->second.get();
  if (matcher.first_match(*decode_frame(frame.data(), static_cast<uint32_t>(frame.size()))) !=
      (matching ? last : nullptr)) {
    state.SkipWithError("the frame does not match as intended");
    return;
  }
  AllocationCounter counter;
  for (auto _ : state) {
    const auto packet = decode_frame(frame.data(), static_cast<uint32_t>(frame.size()));
    benchmark::DoNotOptimize(matcher.first_match(*packet));
  }
  counter.report(state);
}

void BM_DecodeAndMatch(benchmark::State& state) {
  Table table(static_cast<int>(state.range(0)));
  const bool matching = state.range(1) != 0;
  const unsigned char stranger[4] = {10, 9, 9, 9};
  std::vector<unsigned char> frame = tcp_frame(stranger, 9100, 220);
  if (matching) set_endpoints(frame, *std::prev(table.terminals.end())->second);
  decode_and_match(state, table.terminals, frame, matching);
}
BENCHMARK(BM_DecodeAndMatch)->ArgsProduct({{1, 10, 100, 1000}, {0, 1}})->ArgNames({"links", "matching"});

void BM_DecodeAndMatchMixedWildcards(benchmark::State& state) {
  MixedTable table;
  const bool matching = state.range(0) != 0;
  const unsigned char stranger[4] = {10, 9, 9, 9};
  std::vector<unsigned char> frame = tcp_frame(stranger, 1, 220);
  if (matching) set_endpoints(frame, *std::prev(table.terminals.end())->second);
  decode_and_match(state, table.terminals, frame, matching);
}
BENCHMARK(BM_DecodeAndMatchMixedWildcards)->ArgNames({"matching"})->Arg(0)->Arg(1);

// Decode, first match and the duplicate check of a matching frame, with suppression off and on;
// every frame is another packet (its identification counts up), as a till's stream is.
void BM_DecodeMatchAndTake(benchmark::State& state) {
  Table table(1000);
  const bool suppress = state.range(0) != 0;
  const unsigned char stranger[4] = {10, 9, 9, 9};
  std::vector<unsigned char> frame = tcp_frame(stranger, 9100, 220);
  set_endpoints(frame, *std::prev(table.terminals.end())->second);
  TerminalMatcher matcher(table.terminals, suppress);
  std::int64_t at = 0;
  unsigned identification = 0;
  AllocationCounter counter;
  for (auto _ : state) {
    ++identification;
    frame[14 + 4] = static_cast<unsigned char>(identification >> 8);
    frame[14 + 5] = static_cast<unsigned char>(identification);
    const auto packet = decode_frame(frame.data(), static_cast<uint32_t>(frame.size()));
    benchmark::DoNotOptimize(matcher.taker(*packet, at += 100));
  }
  counter.report(state);
  if (std::prev(table.terminals.end())->second->server().counters().duplicate_frames != 0) {
    state.SkipWithError("a distinct packet was taken for a duplicate");
  }
}
BENCHMARK(BM_DecodeMatchAndTake)->ArgNames({"suppress"})->Arg(0)->Arg(1);

void BM_DecodeOnly(benchmark::State& state) {
  const unsigned char src[4] = {10, 1, 0, 1};
  const std::vector<unsigned char> frame = tcp_frame(src, 9100, 220);
  for (auto _ : state) benchmark::DoNotOptimize(decode_frame(frame.data(), static_cast<uint32_t>(frame.size())));
}
BENCHMARK(BM_DecodeOnly);

void BM_SendPayloadLoopback(benchmark::State& state) {
  IoService io{kSingleThreaded};
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
  AllocationCounter counter;
  std::size_t n = 0;
  for (auto _ : state) {
    server.send_payload(payload.data(), static_cast<int32_t>(payload.size()), 0);
    server.send_gathered();
    // As for the plain send below, the recorder drains every 64 payloads (not timed).
    if (++n % 64 == 0) {
      state.PauseTiming();
      io.poll();
      while (::recv(client, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
      }
      state.ResumeTiming();
    }
  }
  counter.report(state);
  ::close(client);
}
BENCHMARK(BM_SendPayloadLoopback);

// A connected recorder on loopback, accepted by `server`; -1 if the connection failed.
int connect_recorder(IoService& io, TerminalServer& server) {
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(server.local_port());
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
  while (server.state() != TerminalServer::State::Connected) io.poll();
  return client;
}

// The daemon's steady state for one matching frame: dispatch to the link's connected recorder, its
// send and one pass of the I/O service; the recorder drains every 64 frames (not timed).
void BM_DispatchMatchingSteadyState(benchmark::State& state) {
  IoService io{kSingleThreaded};
  IoWorkGuard work(io);
  TerminalTable terminals;
  add_link(terminals, io, TerminalEntry{"10.1.0.1", "10.0.0.5", "", "9100", "127.0.0.1", "abc"});
  TerminalMatcher table(terminals);
  const int recorder = connect_recorder(io, terminals.begin()->second->server());
  if (recorder < 0) {
    state.SkipWithError("connect failed");
    return;
  }
  const unsigned char src[4] = {10, 1, 0, 1};
  const std::vector<unsigned char> frame = tcp_frame(src, 9100, 220);
  std::vector<char> sink(1 << 20);
  double received = 0;
  auto drain = [&] {
    ssize_t got;
    while ((got = ::recv(recorder, sink.data(), sink.size(), MSG_DONTWAIT)) > 0) {
      received += static_cast<double>(got);
    }
  };
  for (int warm = 0; warm < 1000; ++warm) {
    dispatch_packet(table, frame.data(), static_cast<uint32_t>(frame.size()), 0);
    table.send_gathered();
    io.poll();
    drain();
  }
  AllocationCounter counter;
  std::size_t n = 0;
  for (auto _ : state) {
    dispatch_packet(table, frame.data(), static_cast<uint32_t>(frame.size()), 0);
    table.send_gathered();
    io.poll();
    if (++n % 64 == 0) {
      state.PauseTiming();
      drain();
      state.ResumeTiming();
    }
  }
  counter.report(state);
  drain();
  state.counters["bytes_per_frame"] = received / static_cast<double>(state.iterations() + 1000);
  ::close(recorder);
}
BENCHMARK(BM_DispatchMatchingSteadyState);

// One pass of the I/O service with nothing to do but listening servers: what every pass costs.
void BM_IoServicePollIdle(benchmark::State& state) {
  Table table(static_cast<int>(state.range(0)));
  IoWorkGuard work(table.io);
  AllocationCounter counter;
  for (auto _ : state) table.io.poll();
  counter.report(state);
}
BENCHMARK(BM_IoServicePollIdle)->Arg(1)->Arg(100);

// A plain send of 220 bytes on loopback TCP, for scale; the receiver drains every 64 sends.
void BM_PlainSendLoopback(benchmark::State& state) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const int receiver = ::socket(AF_INET, SOCK_STREAM, 0);
  if (::connect(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    state.SkipWithError("connect failed");
    return;
  }
  const int sender = ::accept(listener, nullptr, nullptr);
  std::vector<char> payload(220, 'r'), sink(1 << 20);
  std::size_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::send(sender, payload.data(), payload.size(), 0));
    if (++n % 64 == 0) {
      state.PauseTiming();
      while (::recv(receiver, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
      }
      state.ResumeTiming();
    }
  }
  ::close(sender);
  ::close(receiver);
  ::close(listener);
}
BENCHMARK(BM_PlainSendLoopback);

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

// Shows every run as the chosen format does, and keeps the decode-and-match times so that the
// run ends with the cost of 1000 links held against that of 1.
class ScalingCheck : public benchmark::BenchmarkReporter {
 public:
  static constexpr double kLimit = 1.5;

  explicit ScalingCheck(benchmark::BenchmarkReporter* display) : display_(display) {}
  bool ReportContext(const Context& context) override { return display_->ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred ||
          run.run_name.function_name != kDecodeAndMatch) {
        continue;
      }
      // CPU time, which other processes on the machine disturb less than the wall clock; of
      // repeated runs, the quickest.
      const double time = run.GetAdjustedCPUTime();
      auto known = times_.find(run.run_name.args);
      if (known == times_.end() || time < known->second) times_[run.run_name.args] = time;
    }
    display_->ReportRuns(runs);
  }
  void Finalize() override { display_->Finalize(); }

  // "links:1000/matching:1 is 1.04x links:1/matching:1 in CPU time (limit 1.5x): within it";
  // false when over.
  bool report(std::ostream& out) const {
    bool within = true;
    for (const char* matching : {"0", "1"}) {
      const auto one = times_.find(std::string("links:1/matching:") + matching);
      const auto many = times_.find(std::string("links:1000/matching:") + matching);
      if (one == times_.end() || many == times_.end()) continue;
      const double ratio = many->second / one->second;
      char line[160];
      std::snprintf(line, sizeof line, "%s: links:1000/matching:%s is %.2fx links:1/matching:%s in CPU time (limit %.1fx): %s\n",
                    kDecodeAndMatch, matching, ratio, matching, kLimit,
                    ratio <= kLimit ? "within it" : "over it");
      out << line;
      within = within && ratio <= kLimit;
    }
    return within;
  }

 private:
  benchmark::BenchmarkReporter* display_;
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::BenchmarkReporter* display = benchmark::CreateDefaultDisplayReporter();
  ScalingCheck check(display);
  benchmark::RunSpecifiedBenchmarks(&check);
  benchmark::Shutdown();
  // Below the console's table; kept off standard output when that output is CSV or JSON.
  const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display) != nullptr;
  return check.report(console ? std::cout : std::cerr) ? 0 : 1;
}
