#pragma once

#include <string>

namespace marlobex {

/// Elements may be nested this deep, the root element counting as 1, and no deeper.
constexpr int kMaxElementDepth = 64;

/// Why `text` must not be given to TinyXML, which recurses once per level of nesting both while it
/// parses and while it destroys the document: elements nested deeper than kMaxElementDepth, or
/// bytes that TinyXML would read past the markup that this scan sees (a NUL byte, a malformed
/// character reference, and in a document read as UTF-8 an incomplete UTF-8 sequence in a text or
/// a value). Empty when there is no such reason; `line` is then 0, otherwise the line concerned.
///
/// The scan follows TinyXML 2.6's own reading: comments to "-->", CDATA sections to "]]>", other
/// "<!" and "<?" constructs to the first ">", quoted attribute values (which may hold "<" and ">"),
/// self-closing elements, end tags; and it stops where TinyXML stops reading. It reads the bytes as
/// TinyXML does: one by one, unless a leading byte order mark or the first declaration at the top
/// level makes the document UTF-8, where byte order marks count as white space.
std::string document_hazard(const std::string& text, int& line);

}  // namespace marlobex
