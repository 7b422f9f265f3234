#pragma once

#include "config/Configuration.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace marlobex {

/// One sample line of a text in the Prometheus exposition format: `name{label="value",...} value`.
struct MetricSample {
  std::string name;
  std::vector<std::pair<std::string, std::string>> labels;  ///< values unescaped, in line order
  double value = 0;
};

/// The samples of a Prometheus text (format 0.0.4), in order. `#` lines are skipped, and so is every
/// line that does not parse, so a foreign or damaged line never stops the reading.
std::vector<MetricSample> parse_metrics(const std::string& text);

/// One link as the daemon's counters file reports it.
struct LinkCounts {
  TerminalEntry texts;  ///< the six labels
  std::uint64_t frames = 0;
  std::uint64_t payload_bytes = 0;
  std::uint64_t dropped[3] = {0, 0, 0};  ///< by reason, in the order of metric::kDropReasons
  bool listening = false;
  bool recorder_connected = false;
  std::time_t last_payload = 0;  ///< Unix time; 0 when none

  std::uint64_t all_dropped() const { return dropped[0] + dropped[1] + dropped[2]; }
  /// "port 4001 (10.0.0.1:::9100)": the port listened on and the link's key.
  std::string name() const;
};

/// What one "Marlobex.prom" says.
struct Counters {
  std::time_t start_time = 0;
  bool capture_open = false;
  std::uint64_t capture_frames = 0;
  std::uint64_t kernel_drops = 0;
  std::uint64_t read_errors = 0;
  std::vector<LinkCounts> links;  ///< in the file's order, the key order
};

/// The daemon's counters among `samples`; other metrics are ignored.
Counters read_counters(const std::vector<MetricSample>& samples);

/// One reading of the counters file, with the identity of the file it came from.
struct CountersSnapshot {
  Counters counters;
  ino_t inode = 0;
  std::time_t written = 0;  ///< the file's modification time
  long written_nanoseconds = 0;

  /// Seconds from `earlier`'s write to this one's.
  double seconds_since(const CountersSnapshot& earlier) const;
};

/// Reads at most 256 MiB of the counters file at `path`, a line at a time; false when it cannot be
/// opened or is not a regular file.
bool read_counters_file(const std::string& path, CountersSnapshot& snapshot);

/// Waits, for at most `limit`, until the file at `path` is no longer the one `snapshot` was read
/// from (the daemon replaces it as a whole). True when it was replaced.
bool wait_for_replacement(const std::string& path, const CountersSnapshot& snapshot,
                          std::chrono::milliseconds limit);

/// A counters file written longer ago than this is not being updated.
constexpr long kStaleSeconds = 30;

/// Something wrong that the counters show: 1 a warning, 2 critical.
struct Problem {
  int level;
  std::string text;
};

/// What the counters say is wrong. `before` is the earlier sample of the same run, or null when
/// there is none (then drops are not judged); `age` is how long ago `latest` was written, `now` the
/// Unix time and `quiet_minutes` the longest silence of a link with its recorder (0: any).
std::vector<Problem> judge_counters(const Counters& latest, const Counters* before, long age,
                                    std::time_t now, long quiet_minutes);

/// The lines describing the capture and each link: since the start, and over `interval` seconds
/// when `before` is given.
std::string format_counters(const Counters& latest, const Counters* before, double interval);

/// The process holding the lock on `path` (as lockf takes it), or 0 when none; -1 if no file (or
/// no regular file).
pid_t lock_holder(const std::string& path);

/// Processes running the installed daemon `executable` (as a service manager starts it, without
/// the lock), other than this one.
std::vector<pid_t> processes_running(const std::string& executable);

/// How much of the log a status reads.
constexpr std::size_t kLogTailBytes = 1024 * 1024;

/// The end of the log, whole lines of at most `limit` bytes: from the end of the file at
/// `log_path` and, when that one is shorter, from the end of the older one at `old_path` before
/// it. However far the files have grown, no more is read.
std::string read_log_tail(const std::string& log_path, const std::string& old_path, std::size_t limit);

/// The last `count` lines of the log about connections, rejections, failures, starts and ends.
std::vector<std::string> recent_log_events(const std::string& log_text, std::size_t count);

}  // namespace marlobex
