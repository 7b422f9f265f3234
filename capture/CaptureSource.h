#pragma once

#include "capture/KernelFilter.h"

#include <pcap.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

namespace marlobex {

/// What the capture has done since start-up, across every reopening of the adapter.
struct CaptureCounters {
  std::uint64_t frames = 0;        ///< frames read
  std::uint64_t kernel_drops = 0;  ///< ps_drop + ps_ifdrop, as running totals
  std::uint64_t read_errors = 0;   ///< failed reads
};

/// One frame as the ring holds it: valid until the next read.
struct CapturedFrame {
  const unsigned char* bytes = nullptr;
  std::uint32_t captured_length = 0;
  std::int64_t microseconds = 0;  ///< capture time, microseconds since the Unix epoch
};

/// The live capture on the adapter that holds the configured address, for the whole run: it reads
/// frames, reports failed reads, closes a handle whose reads keep failing and opens the adapter
/// again once a second, and folds the kernel's drop counts into running totals. The main loop only
/// asks it for frames.
class CaptureSource {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Read { Frame, Empty, End };

  /// Failed reads in a row after which the handle is given up and the adapter opened again.
  static constexpr int kFailuresBeforeReopen = 3;
  static constexpr std::chrono::seconds kReopenInterval{1};
  static constexpr std::chrono::seconds kStatisticsInterval{10};
  static constexpr std::chrono::seconds kDropReportInterval{60};

  /// Takes over `handle`, opened at start-up on the adapter that holds `adapter_address`.
  CaptureSource(std::string adapter_address, pcap_t* handle);
  ~CaptureSource();
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  /// The next frame if one is ready, without waiting. A failed read is logged (the same text at
  /// most once a second) and gives Empty; End only for an end of capture.
  Read next(CapturedFrame& frame);

  /// Waits at most the read timeout for a frame. After a failed read, or while the adapter is
  /// closed, it pauses for the read timeout instead, and tries to open the adapter once a second.
  void wait();

  /// Reads the kernel's statistics every 10 s and logs grown drops at most once a minute.
  void check_statistics(Clock::time_point now);

  /// Builds the kernel filter from the links' rules and attaches it now and after every opening
  /// of the adapter again. Says in the log when only the coarse program could be used.
  void filter_for(const std::vector<MatchRule>& rules);

  /// Closes the handle for good (the end of the run).
  void close();

  bool is_open() const { return handle_ != nullptr; }
  const CaptureCounters& counters() const { return counters_; }
  /// The handle's error text (for an end of capture).
  std::string error_text() const;

 private:
  void read_failed();
  void close_for_reopen();
  void try_reopen();
  void attach_filter();
  void fold_statistics();
  void report_drops(Clock::time_point now);

  std::string adapter_address_;
  pcap_t* handle_;
  KernelFilter filter_;  // empty until the links are built
  CaptureCounters counters_;
  int failures_ = 0;
  std::string last_error_;
  Clock::time_point last_error_logged_;
  Clock::time_point last_open_attempt_;
  // The handle's own drop count when last read: pcap_stats counts from the handle's opening.
  std::uint32_t handle_drops_ = 0;
  Clock::time_point last_statistics_;
  std::uint64_t reported_drops_ = 0;
  Clock::time_point last_drop_report_;
};

}  // namespace marlobex
