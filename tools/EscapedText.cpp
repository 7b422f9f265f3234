#include "tools/EscapedText.h"

namespace marlobex {

std::string escaped_text(const char* bytes, std::size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n') {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kDigits[byte >> 4];
      out += kDigits[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace marlobex
