#pragma once

#include "capture/DuplicateWindow.h"
#include "capture/LinkMatcher.h"
#include "tools/ConfigurationCheck.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace marlobex {

/// Counts what a capture carries, with the daemon's decoder and its first-match rule, and forwards
/// nothing.
class ProbeCounter {
 public:
  struct Count {
    std::uint64_t frames = 0;
    std::uint64_t payload_bytes = 0;
    std::uint64_t duplicates = 0;  ///< frames whose packet the link took within the window before
  };

  /// The table of unmatched conversations holds at most this many; forged traffic could
  /// otherwise grow it without end.
  static constexpr std::size_t kUnmatchedLimit = 1000;

  /// `links` in key order, as the check builds them.
  explicit ProbeCounter(std::vector<CheckedLink> links);

  /// Counts one frame captured at `at`, in microseconds.
  void count_frame(const unsigned char* frame, std::uint32_t captured_length, std::int64_t at);

  /// The report; its first line says whether the adapter saw any traffic at all.
  std::string format(const std::string& adapter, double seconds, std::size_t busiest = 5) const;

  std::uint64_t frames() const { return frames_; }
  std::uint64_t decoded() const { return decoded_; }
  std::uint64_t tagged() const { return tagged_; }
  std::uint64_t fragments() const { return fragments_; }
  std::uint64_t non_ipv4() const { return non_ipv4_; }
  const std::vector<Count>& per_link() const { return per_link_; }
  /// "src:port -> dst:port" of payloads that involve a configured address but match no link.
  const std::map<std::string, Count>& unmatched() const { return unmatched_; }
  /// Payloads of unmatched conversations that found the table full.
  const Count& untabled() const { return untabled_; }

 private:
  void classify(const unsigned char* frame, std::uint32_t captured_length);

  std::vector<CheckedLink> links_;
  LinkMatcher matcher_;
  std::set<std::uint32_t> configured_addresses_;
  std::vector<Count> per_link_;
  std::vector<DuplicateWindow> windows_;
  std::map<std::string, Count> unmatched_;
  Count untabled_;
  std::uint64_t frames_ = 0;
  std::uint64_t decoded_ = 0;
  std::uint64_t tagged_ = 0;
  std::uint64_t fragments_ = 0;
  std::uint64_t non_ipv4_ = 0;
};

}  // namespace marlobex
