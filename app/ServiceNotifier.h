#pragma once

#include "app/CountersFile.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace marlobex {

/// The sums that the status line reports, taken from the same owners as the counters file.
struct StatusTotals {
  std::size_t links = 0;
  std::size_t listening = 0;
  std::size_t connected = 0;
  std::uint64_t relayed = 0;  ///< payloads handed to a connected recorder
  std::uint64_t dropped = 0;  ///< payloads not delivered, whatever the reason
  std::uint64_t kernel_drops = 0;
  bool adapter_open = false;
};

/// The totals of `view`, the view the counters file is written from.
StatusTotals status_totals(const CountersView& view);

/// One line for `systemctl status`: the links and recorders as they are now, and what was relayed
/// and dropped between `earlier` and `now`, `seconds` apart; with no `earlier`, since the start.
std::string status_line(const StatusTotals& now, const StatusTotals* earlier,
                        std::int64_t seconds);

/// The daemon's side of systemd's notification protocol: readiness, the watchdog's keep-alive and
/// the status line. Without NOTIFY_SOCKET (a start from a shell) it sends nothing.
class ServiceNotifier {
 public:
  using Clock = std::chrono::steady_clock;

  ServiceNotifier();

  /// Start-up is complete: `systemctl start` returns and the unit becomes active.
  void ready() const;
  /// The main loop has turned. Sent at most once a quarter of the watchdog's timeout, and only
  /// from the loop, so that a loop that stops turning stops the keep-alives with it.
  void keep_alive(Clock::time_point now);
  /// Replaces the status line with one made from `view`'s counters.
  void report(Clock::time_point now, const CountersView& view);

 private:
  bool notifying_;
  Clock::duration keep_alive_interval_{};  // zero without a watchdog
  Clock::time_point last_keep_alive_;
  StatusTotals last_totals_;
  Clock::time_point last_report_;
  bool reported_ = false;
};

}  // namespace marlobex
