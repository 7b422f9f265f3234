#include "app/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace marlobex {

namespace {

// 3204 as "3,204": the status line is read by people.
std::string grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string counted(std::uint64_t value, const char* noun) {
  return grouped(value) + " " + noun + (value == 1 ? "" : "s");
}

}  // namespace

StatusTotals status_totals(const CountersView& view) {
  StatusTotals totals;
  totals.links = view.terminals.size();
  for (const auto& entry : view.terminals) {
    const TerminalServer& server = entry.second->server();
    const LinkCounters& counters = server.counters();
    totals.listening += server.state() != TerminalServer::State::Stopped;
    totals.connected += server.state() == TerminalServer::State::Connected;
    // A payload that fails later, with its connection, counts here and again among the drops.
    const std::uint64_t refused = counters.dropped_no_recorder + counters.dropped_slow_recorder;
    totals.relayed += counters.frames - refused;
    totals.dropped += refused + counters.dropped_write_failed;
  }
  totals.kernel_drops = view.capture.counters().kernel_drops;
  totals.adapter_open = view.capture.is_open();
  return totals;
}

std::string status_line(const StatusTotals& now, const StatusTotals* earlier,
                        std::int64_t seconds) {
  const StatusTotals zero;
  const StatusTotals& from = earlier ? *earlier : zero;
  const std::string interval =
      earlier ? " in the last " + std::to_string(seconds) + " s" : " since the start";
  return counted(now.links, "link") + ", " + grouped(now.listening) + " listening, " +
         counted(now.connected, "recorder") + " connected; " +
         counted(now.relayed - from.relayed, "payload") + " relayed, " +
         grouped(now.dropped - from.dropped) + " dropped, " +
         counted(now.kernel_drops - from.kernel_drops, "kernel drop") + interval +
         (now.adapter_open ? "; adapter open" : "; adapter closed");
}

// READY=1 starts the watchdog's timeout too: the first keep-alive is due a quarter of it later.
ServiceNotifier::ServiceNotifier()
    : notifying_(std::getenv("NOTIFY_SOCKET") != nullptr), last_keep_alive_(Clock::now()) {
  std::uint64_t timeout_us = 0;
  if (notifying_ && sd_watchdog_enabled(0, &timeout_us) > 0) {
    keep_alive_interval_ = std::chrono::microseconds(timeout_us / 4);
  }
}

// The results of sd_notify are not acted on: a message systemd did not get shows there, as a
// start that times out or a watchdog that fires.
void ServiceNotifier::ready() const {
  if (notifying_) sd_notify(0, "READY=1");
}

void ServiceNotifier::keep_alive(Clock::time_point now) {
  if (keep_alive_interval_ == Clock::duration::zero()) return;
  if (now - last_keep_alive_ < keep_alive_interval_) return;
  last_keep_alive_ = now;
  sd_notify(0, "WATCHDOG=1");
}

void ServiceNotifier::report(Clock::time_point now, const CountersView& view) {
  if (!notifying_) return;
  const StatusTotals totals = status_totals(view);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - last_report_);
  const StatusTotals* earlier = reported_ ? &last_totals_ : nullptr;
  sd_notify(0, ("STATUS=" + status_line(totals, earlier, seconds.count())).c_str());
  last_totals_ = totals;
  last_report_ = now;
  reported_ = true;
}

}  // namespace marlobex
