#pragma once

#include <string>

namespace marlobex {

/// Elements may be nested this deep, the root element counting as 1, and no deeper.
constexpr int kMaxElementDepth = 64;

/// Why `text` must not be given to TinyXML, which recurses once per level of nesting both while it
/// parses and while it destroys the document: elements nested deeper than kMaxElementDepth, or
/// bytes that TinyXML reads otherwise than this scan does (a NUL byte, a byte order mark after the
/// start, a malformed character reference, an incomplete UTF-8 sequence in a text or a value).
/// Empty when there is no such reason; `line` is then 0, otherwise the line concerned.
///
/// The scan follows TinyXML 2.6's own reading: comments to "-->", CDATA sections to "]]>", other
/// "<!" and "<?" constructs to the first ">", quoted attribute values (which may hold "<" and ">"),
/// self-closing elements, end tags; and it stops where TinyXML stops reading.
std::string document_hazard(const std::string& text, int& line);

}  // namespace marlobex
