#pragma once

#include "capture/PacketDecoder.h"
#include "config/Configuration.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marlobex {

/// One configured match text, compiled once. A packet's values are compared as the texts that
/// "%d.%d.%d.%d" and "%d" print, so a configured text either stands for any value (empty), is the
/// printed text of exactly one value, or can never equal a printed text at all.
struct FieldRule {
  enum class Kind : std::uint8_t { Any, Exactly, Never };
  Kind kind = Kind::Any;
  std::uint32_t value = 0;  ///< for Exactly: the address (first octet highest) or the port
};

/// An address text: Exactly when it is four octets 0..255 in decimal without leading zeros,
/// joined by dots and with nothing around them.
FieldRule compile_address(const std::string& text);

/// A port text: Exactly when it is a decimal 0..65535 without leading zeros, sign or blanks.
FieldRule compile_port(const std::string& text);

/// The four rules of one link.
struct MatchRule {
  FieldRule source_address;
  FieldRule destination_address;
  FieldRule source_port;
  FieldRule destination_port;

  /// Compiles a link's four configured texts.
  static MatchRule compile(const std::string& src_address, const std::string& dst_address,
                           const std::string& src_port, const std::string& dst_port);
  static MatchRule compile(const TerminalEntry& link) {
    return compile(link.src_address, link.dst_address, link.src_port, link.dst_port);
  }
  /// False when some text can never match, so that the link never receives anything.
  bool can_match() const;
};

/// Compiles the texts of each of `links`, in order; `texts_of` gives a link's configured texts.
template <typename Link, typename TextsOf>
std::vector<MatchRule> compile_rules(const std::vector<Link>& links, TextsOf texts_of) {
  std::vector<MatchRule> rules;
  rules.reserve(links.size());
  for (const Link& link : links) rules.push_back(MatchRule::compile(texts_of(link)));
  return rules;
}

/// Finds the first of a list of rules that matches a packet, with a cost that does not grow with
/// the number of rules: one hash lookup per combination of wildcard fields in use (at most 16).
/// Each lookup gives the first rule of its combination with the packet's values; the first of
/// those is the answer. Lookups allocate nothing.
class LinkMatcher {
 public:
  static constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

  /// `rules` in the order of the match (the links' key order).
  explicit LinkMatcher(const std::vector<MatchRule>& rules);

  /// The position of the first rule that matches `packet`, or kNoMatch.
  std::size_t first_match(const DecodedPacket& packet) const;

 private:
  static constexpr std::uint32_t kNone = static_cast<std::uint32_t>(-1);

  // The rules of one combination of wildcards, by the values of their exact fields.
  class Combination {
   public:
    Combination(unsigned exact_fields, std::size_t rules);
    void insert(const MatchRule& rule, std::uint32_t position);
    std::uint32_t find(const DecodedPacket& packet) const;
    std::uint32_t first_position() const { return first_position_; }

   private:
    struct Slot {
      std::uint64_t addresses = 0;
      std::uint32_t ports = 0;
      std::uint32_t position = kNone;
    };
    std::size_t slot_of(std::uint64_t addresses, std::uint32_t ports) const;

    std::uint64_t address_mask_ = 0;
    std::uint32_t port_mask_ = 0;
    std::uint32_t first_position_ = kNone;
    std::vector<Slot> slots_;  // open addressing, a power of two at most half full
  };

  std::vector<Combination> combinations_;  // by the position of their first rule
};

}  // namespace marlobex
