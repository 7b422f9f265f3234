#pragma once

#include <cstddef>
#include <string>

namespace marlobex {

/// `length` bytes as text that is safe on a terminal: printable ASCII, tab and line feed as they
/// are, every other byte (escape sequences, carriage returns, bytes from 0x80 up) as \xHH with two
/// upper-case hex digits. Pieces can be escaped one by one: no byte depends on its neighbours.
std::string escaped_text(const char* bytes, std::size_t length);

/// `text` with every byte but printable ASCII as \xHH, tab and line feed too: a configured text or
/// a log line printed for an operator stays on its own line and moves no cursor.
std::string escaped_line(const std::string& text);

}  // namespace marlobex
