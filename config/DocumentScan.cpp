#include "config/DocumentScan.h"

#include <algorithm>
#include <cstring>

namespace marlobex {

namespace {

// TinyXML's character classes in the C locale; every byte from 127 up counts as a letter.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_letter(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte >= 127 || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool starts_name(char c) { return is_letter(c) || c == '_'; }
bool continues_name(char c) {
  return is_letter(c) || is_digit(c) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool starts_with(const char* at, const char* prefix) {
  return std::strncmp(at, prefix, std::strlen(prefix)) == 0;
}
bool starts_with_any_case(const char* at, const char* prefix) {
  for (; *prefix; ++at, ++prefix) {
    const char lower = (*at >= 'A' && *at <= 'Z') ? static_cast<char>(*at - 'A' + 'a') : *at;
    if (lower != *prefix) return false;
  }
  return true;
}

// The length TinyXML gives a UTF-8 sequence by its lead byte, in a document it reads as UTF-8.
int sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

// Byte order marks and the two non-characters that TinyXML skips as white space in a UTF-8
// document, but reads as name or text bytes in any other.
bool is_skipped_mark(const char* at) {
  return starts_with(at, "\xEF\xBB\xBF") || starts_with(at, "\xEF\xBF\xBE") ||
         starts_with(at, "\xEF\xBF\xBF");
}

// How TinyXML reads the bytes: a document starts Unknown, and Unknown and Legacy read byte by byte.
// A leading byte order mark makes it UTF-8; otherwise the first declaration at the top level does:
// UTF-8 when it names no encoding or one that begins with "UTF-8" or "UTF8" (in any case), Legacy
// for any other name.
enum class Encoding { Unknown, Utf8, Legacy };

Encoding declared_encoding(const std::string& name) {
  // A character reference would be decoded first; reading it as UTF-8 is the safe guess.
  if (name.empty() || name.find('&') != std::string::npos) return Encoding::Utf8;
  const char* text = name.c_str();
  return starts_with_any_case(text, "utf-8") || starts_with_any_case(text, "utf8") ? Encoding::Utf8
                                                                                   : Encoding::Legacy;
}

class DocumentScan {
 public:
  explicit DocumentScan(const char* text) : start_(text), at_(text) {}

  std::string run(int& line) {
    if (starts_with(at_, "\xEF\xBB\xBF")) encoding_ = Encoding::Utf8;
    skip_space(at_);
    // One pass in document order, as TinyXML reads: outside the root element it stops at anything
    // but markup; inside, it reads text up to the next "<".
    while (*at_ && problem_.empty()) {
      if (*at_ != '<') {
        if (depth_ == 0 || !text(at_, '<')) break;
      } else if (depth_ > 0 && at_[1] == '/') {
        if (!skip_past(at_ + 2, ">")) break;
        --depth_;
      } else if (!markup()) {
        break;
      }
      skip_space(at_);
    }
    line = problem_.empty() ? 0 : line_of(problem_at_);
    return problem_;
  }

 private:
  // A construct that begins with "<", as TinyXML tells them apart. False when reading ends.
  bool markup() {
    if (starts_with_any_case(at_, "<?xml")) {
      std::string name;
      if (!declaration(name)) return false;
      // Only at the top level, and only while neither a byte order mark nor an earlier
      // declaration has decided.
      if (depth_ == 0 && encoding_ == Encoding::Unknown) encoding_ = declared_encoding(name);
      return true;
    }
    if (starts_with(at_, "<!--")) return skip_past(at_ + 4, "-->");
    if (starts_with(at_, "<![CDATA[")) return skip_past(at_ + 9, "]]>");
    if (at_[1] == '!' || !starts_name(at_[1])) return skip_past(at_ + 1, ">");
    return start_tag();
  }

  bool start_tag() {
    const char* const tag = at_;
    const char* at = at_ + 1;
    // TinyXML skips white space here; in UTF-8 a mark before the name is white space.
    skip_space(at);
    if (!starts_name(*at)) return false;
    while (continues_name(*at)) ++at;
    // An empty element is a level too: TinyXML parses and destroys it one call deeper.
    if (depth_ + 1 > kMaxElementDepth) return refuse(tag, "elements nested more than 64 deep");
    for (;;) {
      skip_space(at);
      if (*at == '/') {
        if (at[1] != '>') return false;
        at_ = at + 2;
        return true;
      }
      if (*at == '>') {
        at_ = at + 1;
        ++depth_;
        return true;
      }
      if (!attribute(at) || !*at) return false;
    }
  }

  // TinyXML reads its version, encoding and standalone values like attributes, skips any other
  // word, and ends at the first ">" outside those values. `encoding` is the last encoding value.
  bool declaration(std::string& encoding) {
    const char* at = at_ + 5;
    while (*at) {
      if (*at == '>') {
        at_ = at + 1;
        return true;
      }
      skip_space(at);
      const bool names_encoding = starts_with_any_case(at, "encoding");
      if (starts_with_any_case(at, "version") || names_encoding || starts_with_any_case(at, "standalone")) {
        const char* value = nullptr;
        if (!attribute(at, &value)) return false;
        if (names_encoding) encoding = quoted_value(value, at);
      } else {
        while (*at && *at != '>' && !is_space(*at)) ++at;
      }
    }
    return false;
  }

  // `value`, when given, is set to where the value starts, at its opening quote if it has one.
  bool attribute(const char*& at, const char** value = nullptr) {
    if (!starts_name(*at)) return false;
    while (continues_name(*at)) ++at;
    skip_space(at);
    if (*at != '=') return false;
    ++at;
    skip_space(at);
    if (value) *value = at;
    if (*at == '"' || *at == '\'') {
      const char quote = *at++;
      if (!text(at, quote)) return false;
      ++at;
      return true;
    }
    // An unquoted value ends at white space, "/" or ">"; a quote in it is an error.
    for (; *at && !is_space(*at) && *at != '/' && *at != '>'; ++at) {
      if (*at == '"' || *at == '\'') return false;
    }
    return *at != '\0';
  }

  // A text or a quoted value up to `end`, where TinyXML reads a character reference or a UTF-8
  // sequence as one unit: each must be whole, or TinyXML could step over markup that this scan
  // sees. False when the text does not end before the document does.
  bool text(const char*& at, char end) {
    while (*at && *at != end) {
      if (at[0] == '&' && at[1] == '#') {
        if (!skip_character_reference(at)) return refuse(at, "a malformed character reference");
        continue;
      }
      const int length =
          encoding_ == Encoding::Utf8 ? sequence_length(static_cast<unsigned char>(*at)) : 1;
      for (int i = 1; i < length; ++i) {
        if (static_cast<unsigned char>(at[i]) < 0x80) {
          return refuse(at, "an incomplete UTF-8 sequence");
        }
      }
      ++at;
    }
    return *at != '\0';
  }

  // The text of a value from `start` to `end` (just past it), without its quotes.
  static std::string quoted_value(const char* start, const char* end) {
    const bool quoted = *start == '"' || *start == '\'';
    return quoted ? std::string(start + 1, end - 1) : std::string(start, end);
  }

  static bool skip_character_reference(const char*& at) {
    const bool hex = at[2] == 'x';
    const char* digits = at + (hex ? 3 : 2);
    const char* end = digits;
    while (hex ? is_hex_digit(*end) : is_digit(*end)) ++end;
    if (end == digits || *end != ';') return false;
    at = end + 1;
    return true;
  }

  // Moves past the first `marker` from `from` on; false when there is none.
  bool skip_past(const char* from, const char* marker) {
    const char* found = std::strstr(from, marker);
    if (!found) return false;
    at_ = found + std::strlen(marker);
    return true;
  }

  // As TinyXML skips white space: in a UTF-8 document the marks as well.
  void skip_space(const char*& at) const {
    for (;;) {
      if (is_space(*at)) {
        ++at;
      } else if (encoding_ == Encoding::Utf8 && is_skipped_mark(at)) {
        at += 3;
      } else {
        return;
      }
    }
  }

  bool refuse(const char* at, const char* reason) {
    if (problem_.empty()) {
      problem_ = reason;
      problem_at_ = at;
    }
    return false;
  }

  int line_of(const char* at) const {
    int line = 1;
    for (const char* p = start_; p < at; ++p) line += *p == '\n';
    return line;
  }

  const char* const start_;
  const char* at_;
  Encoding encoding_ = Encoding::Unknown;
  int depth_ = 0;
  std::string problem_;
  const char* problem_at_ = nullptr;
};

}  // namespace

std::string document_hazard(const std::string& text, int& line) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    const auto end = text.begin() + static_cast<std::ptrdiff_t>(nul);
    line = 1 + static_cast<int>(std::count(text.begin(), end, '\n'));
    return "a NUL byte";
  }
  return DocumentScan(text.c_str()).run(line);
}

}  // namespace marlobex
