#include "tools/EscapedText.h"

#include "log/Log.h"

namespace marlobex {

std::string escaped_text(const char* bytes, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n') {
      out += static_cast<char>(byte);
    } else {
      append_hex_escape(out, byte);
    }
  }
  return out;
}

}  // namespace marlobex
