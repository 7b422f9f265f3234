#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace marlobex {

/// A hex dump in the layout of `hexdump -C`, written a whole line of 16 bytes at a time, with the
/// offset running on across pieces.
class HexDump {
 public:
  explicit HexDump(std::ostream& out) : out_(out) {}
  void add(const unsigned char* bytes, std::size_t length);
  /// Writes the last, partial line.
  void finish();

 private:
  void write_line();

  std::ostream& out_;
  std::string pending_;
  unsigned long long offset_ = 0;
};

}  // namespace marlobex
