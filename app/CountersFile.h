#pragma once

#include "capture/CaptureSource.h"
#include "relay/TerminalLink.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

namespace marlobex {

/// What the counters file reports, read from its owners when it is written.
struct CountersView {
  std::time_t start_time = 0;
  const CaptureSource& capture;
  const TerminalTable& terminals;
};

/// Writes every counter in the Prometheus text exposition format (0.0.4). Returns false when a
/// write failed.
bool write_counters(std::FILE* out, const CountersView& view);

/// Label values are cut to this many bytes, so that no configured text can make the file large.
constexpr std::size_t kMaxLabelValueBytes = 256;

/// `text` when it fits in kMaxLabelValueBytes; otherwise its start, "..." and the 16 hex digits of
/// a hash of the whole text, kMaxLabelValueBytes bytes in all: two texts that differ only past the
/// cut still give two series.
std::string bounded_label_value(const std::string& text);

/// A label value with backslash, double quote and line feed escaped as the format requires.
std::string escape_label_value(const std::string& text);

/// "Marlobex.prom" in a directory, replaced as a whole: a reader sees the old file or the new one,
/// never a part. Written every 10 s and at an orderly stop; a failure is logged once per episode.
class CountersFile {
 public:
  static constexpr std::chrono::seconds kInterval{10};

  /// `directory` ends with "/".
  explicit CountersFile(const std::string& directory);

  /// Writes the file when the interval has passed since the last write; true when it did.
  bool update(std::chrono::steady_clock::time_point now, const CountersView& view);
  /// Writes the file now.
  void write(const CountersView& view);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string temporary_path_;
  std::chrono::steady_clock::time_point last_write_;
  bool written_once_ = false;
  bool failing_ = false;
};

}  // namespace marlobex
