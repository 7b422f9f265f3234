#include "tools/HexDump.h"

#include <cstdio>

namespace marlobex {

void HexDump::add(const unsigned char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    pending_ += static_cast<char>(bytes[i]);
    if (pending_.size() == 16) write_line();
  }
}

void HexDump::finish() {
  if (!pending_.empty()) write_line();
}

void HexDump::write_line() {
  char text[96];
  int at = std::snprintf(text, sizeof text, "%08llx ", offset_);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 8) text[at++] = ' ';
    if (i < pending_.size()) {
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), " %02x",
                          static_cast<unsigned char>(pending_[i]));
    } else {
      at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), "   ");
    }
  }
  out_ << text << "  |";
  for (char c : pending_) out_ << (c >= 0x20 && c < 0x7f ? c : '.');
  out_ << "|\n";
  offset_ += pending_.size();
  pending_.clear();
}

}  // namespace marlobex
