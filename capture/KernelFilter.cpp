#include "capture/KernelFilter.h"

#include "capture/CaptureAdapter.h"
#include "capture/FrameLayout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <utility>

namespace marlobex {

namespace {

using namespace frame;

// What a program returns for a frame that passes: the bytes to keep, all that the handle captures.
constexpr std::uint32_t kPass = kSnapshotLength;
constexpr std::size_t kLongestJump = 255;
// Values tested one by one at most; a longer list is halved by a comparison first.
constexpr std::size_t kRunLength = 8;

// The packet's values in scratch memory, each at the index of its field in a rule: source address,
// destination address, source port, destination port.
constexpr std::uint32_t kFields = 4;
using Values = std::array<std::uint32_t, kFields>;

// Classic BPF jumps forward only, a conditional jump by at most 255 instructions: a farther target
// is reached through an unconditional jump placed right behind the conditional one.
class Assembler {
 public:
  using Label = std::size_t;

  Label label() {
    labels_.push_back(0);
    return labels_.size() - 1;
  }
  /// The label names the next instruction.
  void bind(Label label) { labels_[label] = ops_.size(); }
  void statement(std::uint16_t code, std::uint32_t k = 0) { ops_.push_back(Op{code, k, 0, 0}); }
  /// BPF_JEQ, BPF_JGT or BPF_JSET of A against `k`.
  void jump(std::uint16_t test, std::uint32_t k, Label yes, Label no) {
    ops_.push_back(Op{static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), k, yes, no, true});
  }
  void go(Label target) { ops_.push_back(Op{BPF_JMP | BPF_JA, 0, target, 0}); }
  std::vector<bpf_insn> assemble();

 private:
  struct Op {
    std::uint16_t code;
    std::uint32_t k;
    Label yes, no;
    bool conditional = false;
    bool far_yes = false, far_no = false;
    std::size_t size() const { return 1u + far_yes + far_no; }
  };
  std::vector<std::size_t> addresses() const;

  std::vector<Op> ops_;
  std::vector<std::size_t> labels_;  // index of the op each label names
};

std::vector<std::size_t> Assembler::addresses() const {
  std::vector<std::size_t> at(ops_.size() + 1, 0);
  for (std::size_t i = 0; i < ops_.size(); ++i) at[i + 1] = at[i] + ops_[i].size();
  return at;
}

std::vector<bpf_insn> Assembler::assemble() {
  // Each jump made far moves what follows it: repeat until every short jump reaches its target.
  std::vector<std::size_t> at = addresses();
  for (bool grew = true; grew; at = addresses()) {
    grew = false;
    for (std::size_t i = 0; i < ops_.size(); ++i) {
      Op& op = ops_[i];
      if (!op.conditional) continue;
      if (!op.far_yes && at[labels_[op.yes]] - (at[i] + 1) > kLongestJump) op.far_yes = grew = true;
      if (!op.far_no && at[labels_[op.no]] - (at[i] + 1) > kLongestJump) op.far_no = grew = true;
    }
  }
  std::vector<bpf_insn> program;
  program.reserve(at.back());
  // The distance from the instruction about to be appended to the label's.
  auto from_next = [&](Label target) {
    return static_cast<std::uint32_t>(at[labels_[target]] - (program.size() + 1));
  };
  for (const Op& op : ops_) {
    if (!op.conditional) {
      program.push_back(bpf_insn{op.code, 0, 0, op.code == (BPF_JMP | BPF_JA) ? from_next(op.yes) : op.k});
      continue;
    }
    const auto jt = static_cast<std::uint8_t>(op.far_yes ? 0 : from_next(op.yes));
    const auto jf = static_cast<std::uint8_t>(op.far_no ? op.far_yes : from_next(op.no));
    program.push_back(bpf_insn{op.code, jt, jf, op.k});
    if (op.far_yes) program.push_back(bpf_insn{BPF_JMP | BPF_JA, 0, 0, from_next(op.yes)});
    if (op.far_no) program.push_back(bpf_insn{BPF_JMP | BPF_JA, 0, 0, from_next(op.no)});
  }
  return program;
}

using Label = Assembler::Label;

// Puts the packet's four values in scratch memory, and rejects for the cheap reasons that
// decode_frame has: another EtherType, IP version or protocol, a later fragment. Lengths are left
// to the decoder, since the kernel runs the program on the whole frame, before the snapshot
// length cuts it; a field that lies past the frame's end rejects it.
void load_packet_values(Assembler& code, Label reject) {
  const Label tagged = code.label(), untagged = code.label(), ipv4_tagged = code.label();
  const Label ipv4_untagged = code.label(), ipv4 = code.label(), version_4 = code.label();
  const Label first_fragment = code.label(), not_tcp = code.label(), transport = code.label();
  code.statement(BPF_LD | BPF_H | BPF_ABS, kEtherType);
  code.jump(BPF_JEQ, kEtherTypeVlan, tagged, untagged);
  code.bind(untagged);
  code.jump(BPF_JEQ, kEtherTypeIPv4, ipv4_untagged, reject);
  code.bind(tagged);
  code.statement(BPF_LD | BPF_H | BPF_ABS, kEtherType + kVlanTag);
  code.jump(BPF_JEQ, kEtherTypeIPv4, ipv4_tagged, reject);
  code.bind(ipv4_tagged);
  code.statement(BPF_LDX | BPF_W | BPF_IMM, kVlanTag);
  code.go(ipv4);
  code.bind(ipv4_untagged);
  code.statement(BPF_LDX | BPF_W | BPF_IMM, 0);
  // From here on the IPv4 header begins at [x + 14].
  code.bind(ipv4);
  code.statement(BPF_LD | BPF_B | BPF_IND, kIPv4Header);
  code.statement(BPF_ALU | BPF_AND | BPF_K, 0xF0);
  code.jump(BPF_JEQ, 0x40, version_4, reject);
  code.bind(version_4);
  code.statement(BPF_LD | BPF_H | BPF_IND, kIPv4Header + 6);
  code.jump(BPF_JSET, kFragmentOffset, reject, first_fragment);
  code.bind(first_fragment);
  code.statement(BPF_LD | BPF_B | BPF_IND, kIPv4Header + 9);
  code.jump(BPF_JEQ, kProtocolTcp, transport, not_tcp);
  code.bind(not_tcp);
  code.jump(BPF_JEQ, kProtocolUdp, transport, reject);
  code.bind(transport);
  code.statement(BPF_LD | BPF_W | BPF_IND, kIPv4Header + 12);
  code.statement(BPF_ST, 0);
  code.statement(BPF_LD | BPF_W | BPF_IND, kIPv4Header + 16);
  code.statement(BPF_ST, 1);
  // X += 4 x IHL: the transport header begins at [x + 14].
  code.statement(BPF_LD | BPF_B | BPF_IND, kIPv4Header);
  code.statement(BPF_ALU | BPF_AND | BPF_K, 0x0F);
  code.statement(BPF_ALU | BPF_LSH | BPF_K, 2);
  code.statement(BPF_ALU | BPF_ADD | BPF_X);
  code.statement(BPF_MISC | BPF_TAX);
  code.statement(BPF_LD | BPF_H | BPF_IND, kIPv4Header);
  code.statement(BPF_ST, 2);
  code.statement(BPF_LD | BPF_H | BPF_IND, kIPv4Header + 2);
  code.statement(BPF_ST, 3);
}

bool is_exact(const FieldRule& field) { return field.kind == FieldRule::Kind::Exactly; }

// The rules that compare the same fields exactly, as tuples of their values in the order that the
// program tests them: the field with the fewest distinct values first, so that tuples share tests.
struct Group {
  std::vector<std::uint32_t> fields;
  std::vector<Values> tuples;  // sorted, unique; tuple[i] is the value of fields[i]
};

Group group_of(unsigned exact_fields, const std::vector<Values>& rules) {
  std::vector<std::pair<std::size_t, std::uint32_t>> distinct;  // (values, field)
  for (std::uint32_t field = 0; field < kFields; ++field) {
    if (!(exact_fields & 1u << field)) continue;
    std::vector<std::uint32_t> column;
    for (const Values& rule : rules) column.push_back(rule[field]);
    std::sort(column.begin(), column.end());
    distinct.emplace_back(static_cast<std::size_t>(std::unique(column.begin(), column.end()) - column.begin()), field);
  }
  std::sort(distinct.begin(), distinct.end());
  Group group;
  for (const auto& entry : distinct) group.fields.push_back(entry.second);
  for (const Values& rule : rules) {
    Values tuple{};
    for (std::size_t i = 0; i < group.fields.size(); ++i) tuple[i] = rule[group.fields[i]];
    group.tuples.push_back(tuple);
  }
  std::sort(group.tuples.begin(), group.tuples.end());
  group.tuples.erase(std::unique(group.tuples.begin(), group.tuples.end()), group.tuples.end());
  return group;
}

// By the fields they compare exactly; a rule of wildcards only comes first. A rule with a text
// that never matches is left out: no packet reaches it.
std::vector<Group> groups_of(const std::vector<MatchRule>& rules) {
  std::map<unsigned, std::vector<Values>> by_fields;
  for (const MatchRule& rule : rules) {
    if (!rule.can_match()) continue;
    const FieldRule fields[kFields] = {rule.source_address, rule.destination_address, rule.source_port,
                                       rule.destination_port};
    unsigned exact = 0;
    Values values{};
    for (std::uint32_t field = 0; field < kFields; ++field) {
      if (!is_exact(fields[field])) continue;
      exact |= 1u << field;
      values[field] = fields[field].value;
    }
    by_fields[exact].push_back(values);
  }
  std::vector<Group> groups;
  for (const auto& entry : by_fields) groups.push_back(group_of(entry.first, entry.second));
  return groups;
}

// The tests of one group: at each level the value of one field, against the values that the
// group's tuples have there after the values tested above.
class GroupWriter {
 public:
  GroupWriter(Assembler& code, const Group& group, Label fail, Label pass)
      : code_(code), group_(group), fail_(fail), pass_(pass) {}

  /// Tuples [begin, end), which share their first `depth` values.
  void level(std::size_t begin, std::size_t end, std::size_t depth) {
    code_.statement(BPF_LD | BPF_MEM, group_.fields[depth]);
    std::vector<std::size_t> starts;  // where each distinct value's tuples begin, then the end
    for (std::size_t i = begin; i < end; ++i) {
      if (i == begin || group_.tuples[i][depth] != group_.tuples[i - 1][depth]) starts.push_back(i);
    }
    starts.push_back(end);
    values(starts, 0, starts.size() - 1, depth);
  }

 private:
  std::uint32_t value(const std::vector<std::size_t>& starts, std::size_t v, std::size_t depth) const {
    return group_.tuples[starts[v]][depth];
  }

  // The distinct values [first, last) of a level, with A holding the packet's value.
  void values(const std::vector<std::size_t>& starts, std::size_t first, std::size_t last, std::size_t depth) {
    if (last - first > kRunLength) {
      const std::size_t middle = first + (last - first) / 2;
      const Label above = code_.label(), below = code_.label();
      code_.jump(BPF_JGT, value(starts, middle - 1, depth), above, below);
      code_.bind(below);
      values(starts, first, middle, depth);
      code_.bind(above);
      values(starts, middle, last, depth);
      return;
    }
    const bool last_level = depth + 1 == group_.fields.size();
    const Label hit = code_.label();
    for (std::size_t v = first; v < last; ++v) {
      const Label next = code_.label(), below = last_level ? hit : code_.label();
      code_.jump(BPF_JEQ, value(starts, v, depth), below, v + 1 < last ? next : fail_);
      if (!last_level) {
        code_.bind(below);
        level(starts[v], starts[v + 1], depth + 1);
      }
      code_.bind(next);
    }
    if (last_level) {
      code_.bind(hit);
      code_.go(pass_);
    }
  }

  Assembler& code_;
  const Group& group_;
  const Label fail_;
  const Label pass_;
};

void match_packet_values(Assembler& code, const std::vector<MatchRule>& rules, Label pass, Label reject) {
  const std::vector<Group> groups = groups_of(rules);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (groups[i].fields.empty()) {
      code.go(pass);
      return;
    }
    const Label next_group = i + 1 < groups.size() ? code.label() : reject;
    GroupWriter(code, groups[i], next_group, pass).level(0, groups[i].tuples.size(), 0);
    if (next_group != reject) code.bind(next_group);
  }
}

}  // namespace

KernelFilter build_kernel_filter(const std::vector<MatchRule>& rules) {
  Assembler code;
  const Label pass = code.label(), reject = code.label();
  load_packet_values(code, reject);
  match_packet_values(code, rules, pass, reject);
  code.bind(reject);
  code.statement(BPF_RET | BPF_K, 0);
  code.bind(pass);
  code.statement(BPF_RET | BPF_K, kPass);
  KernelFilter filter{code.assemble(), false};
  if (filter.program.size() > kKernelFilterLimit) return coarse_kernel_filter();
  return filter;
}

KernelFilter coarse_kernel_filter() {
  KernelFilter filter = build_kernel_filter({MatchRule{}});
  filter.coarse = true;
  return filter;
}

}  // namespace marlobex
