#include "capture/LinkMatcher.h"

#include <algorithm>

namespace marlobex {

namespace {

constexpr std::uint32_t kMaxOctet = 255;
constexpr std::uint32_t kMaxPort = 65535;

// The fields a rule compares exactly; the others are wildcards.
constexpr unsigned kSourceAddress = 1;
constexpr unsigned kDestinationAddress = 2;
constexpr unsigned kSourcePort = 4;
constexpr unsigned kDestinationPort = 8;

constexpr FieldRule kNever{FieldRule::Kind::Never, 0};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads at `at` the digits that "%d" prints for a number up to `limit`: at least one digit and
// no leading zero. Leaves `at` after them.
bool read_printed_number(const std::string& text, std::size_t& at, std::uint32_t limit,
                         std::uint32_t& value) {
  const std::size_t start = at;
  value = 0;
  for (; at < text.size() && is_digit(text[at]); ++at) {
    if (at > start && text[start] == '0') return false;
    value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
    if (value > limit) return false;
  }
  return at > start;
}

unsigned exact_fields(const MatchRule& rule) {
  auto exact = [](const FieldRule& field, unsigned bit) {
    return field.kind == FieldRule::Kind::Exactly ? bit : 0u;
  };
  return exact(rule.source_address, kSourceAddress) |
         exact(rule.destination_address, kDestinationAddress) |
         exact(rule.source_port, kSourcePort) | exact(rule.destination_port, kDestinationPort);
}

std::uint64_t addresses_of(std::uint32_t source, std::uint32_t destination) {
  return static_cast<std::uint64_t>(source) << 32 | destination;
}

std::uint32_t ports_of(std::uint32_t source, std::uint32_t destination) {
  return source << 16 | destination;
}

}  // namespace

FieldRule compile_address(const std::string& text) {
  if (text.empty()) return FieldRule{};
  std::uint32_t address = 0;
  std::size_t at = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && (at >= text.size() || text[at++] != '.')) return kNever;
    std::uint32_t value = 0;
    if (!read_printed_number(text, at, kMaxOctet, value)) return kNever;
    address = address << 8 | value;
  }
  if (at != text.size()) return kNever;
  return FieldRule{FieldRule::Kind::Exactly, address};
}

FieldRule compile_port(const std::string& text) {
  if (text.empty()) return FieldRule{};
  std::size_t at = 0;
  std::uint32_t port = 0;
  if (!read_printed_number(text, at, kMaxPort, port) || at != text.size()) return kNever;
  return FieldRule{FieldRule::Kind::Exactly, port};
}

MatchRule MatchRule::compile(const std::string& src_address, const std::string& dst_address,
                             const std::string& src_port, const std::string& dst_port) {
  return MatchRule{compile_address(src_address), compile_address(dst_address),
                   compile_port(src_port), compile_port(dst_port)};
}

bool MatchRule::can_match() const {
  const FieldRule::Kind never = FieldRule::Kind::Never;
  return source_address.kind != never && destination_address.kind != never &&
         source_port.kind != never && destination_port.kind != never;
}

LinkMatcher::Combination::Combination(unsigned exact, std::size_t rules) {
  if (exact & kSourceAddress) address_mask_ |= addresses_of(0xFFFFFFFFu, 0);
  if (exact & kDestinationAddress) address_mask_ |= addresses_of(0, 0xFFFFFFFFu);
  if (exact & kSourcePort) port_mask_ |= ports_of(0xFFFFu, 0);
  if (exact & kDestinationPort) port_mask_ |= ports_of(0, 0xFFFFu);
  std::size_t size = 2;
  while (size < 2 * rules) size *= 2;
  slots_.resize(size);
}

std::size_t LinkMatcher::Combination::slot_of(std::uint64_t addresses, std::uint32_t ports) const {
  std::uint64_t hash = addresses ^ (static_cast<std::uint64_t>(ports) * 0x9E3779B97F4A7C15u);
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9u;
  hash ^= hash >> 32;
  return static_cast<std::size_t>(hash) & (slots_.size() - 1);
}

void LinkMatcher::Combination::insert(const MatchRule& rule, std::uint32_t position) {
  const std::uint64_t addresses =
      addresses_of(rule.source_address.value, rule.destination_address.value) & address_mask_;
  const std::uint32_t ports =
      ports_of(rule.source_port.value, rule.destination_port.value) & port_mask_;
  first_position_ = std::min(first_position_, position);
  for (std::size_t i = slot_of(addresses, ports);; i = (i + 1) & (slots_.size() - 1)) {
    Slot& slot = slots_[i];
    if (slot.position == kNone) {
      slot = Slot{addresses, ports, position};
      return;
    }
    // The same values again: the rule that comes first keeps them.
    if (slot.addresses == addresses && slot.ports == ports) {
      slot.position = std::min(slot.position, position);
      return;
    }
  }
}

std::uint32_t LinkMatcher::Combination::find(const DecodedPacket& packet) const {
  const std::uint64_t addresses =
      addresses_of(packet.source_address, packet.destination_address) & address_mask_;
  const std::uint32_t ports = ports_of(packet.source_port, packet.destination_port) & port_mask_;
  // At most half the slots are taken, so the probe ends at an empty one.
  for (std::size_t i = slot_of(addresses, ports);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& slot = slots_[i];
    if (slot.position == kNone) return kNone;
    if (slot.addresses == addresses && slot.ports == ports) return slot.position;
  }
}

LinkMatcher::LinkMatcher(const std::vector<MatchRule>& rules) {
  std::size_t rules_with[16] = {};
  for (const MatchRule& rule : rules) {
    if (rule.can_match()) ++rules_with[exact_fields(rule)];
  }
  std::size_t combination_of[16] = {};
  for (unsigned exact = 0; exact < 16; ++exact) {
    if (rules_with[exact] == 0) continue;
    combination_of[exact] = combinations_.size();
    combinations_.emplace_back(exact, rules_with[exact]);
  }
  // A rule with a text that never matches is left out: no packet can reach it.
  for (std::size_t position = 0; position < rules.size(); ++position) {
    const MatchRule& rule = rules[position];
    if (!rule.can_match()) continue;
    combinations_[combination_of[exact_fields(rule)]].insert(rule,
                                                             static_cast<std::uint32_t>(position));
  }
  std::sort(combinations_.begin(), combinations_.end(), [](const Combination& a, const Combination& b) {
    return a.first_position() < b.first_position();
  });
}

std::size_t LinkMatcher::first_match(const DecodedPacket& packet) const {
  std::uint32_t first = kNone;
  for (const Combination& combination : combinations_) {
    // The combinations come by their first rule: none from here on can give an earlier one.
    if (combination.first_position() >= first) break;
    first = std::min(first, combination.find(packet));
  }
  return first == kNone ? kNoMatch : first;
}

}  // namespace marlobex
