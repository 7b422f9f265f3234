#include "tools/EscapedText.h"

#include "log/Log.h"

namespace marlobex {

namespace {

std::string escaped(const char* bytes, std::size_t length, bool keep_line_breaks) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if ((byte >= 0x20 && byte < 0x7F) || (keep_line_breaks && (byte == '\t' || byte == '\n'))) {
      out += static_cast<char>(byte);
    } else {
      append_hex_escape(out, byte);
    }
  }
  return out;
}

}  // namespace

std::string escaped_text(const char* bytes, std::size_t length) { return escaped(bytes, length, true); }

std::string escaped_line(const std::string& text) { return escaped(text.data(), text.size(), false); }

}  // namespace marlobex
