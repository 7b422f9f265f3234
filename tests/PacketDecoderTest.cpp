#include "capture/Dispatch.h"
#include "capture/KernelFilter.h"
#include "tests/support/Frames.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <pcap.h>

#include <random>
#include <string>
#include <vector>

namespace marlobex {
namespace {

using test::FrameFields;

std::string address_text(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." + std::to_string(a >> 8 & 0xFF) +
         "." + std::to_string(a & 0xFF);
}

// "SRC:PORT>DST:PORT PAYLOAD" of what decoding `frame` hands over, or "<dropped>".
std::string decoded(const std::vector<unsigned char>& frame) {
  const auto p = decode_frame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  if (!p) return "<dropped>";
  return address_text(p->source_address) + ":" + std::to_string(p->source_port) + ">" +
         address_text(p->destination_address) + ":" + std::to_string(p->destination_port) + " " +
         std::string(reinterpret_cast<const char*>(p->payload), static_cast<std::size_t>(p->payload_length));
}

// A link's four match texts as configured: source address, destination address, source port, destination port.
using LinkTexts = std::vector<std::string>;

// The match done the slow way: the first link whose texts are each empty or the packet's value as printed.
std::size_t reference_first_match(const std::vector<LinkTexts>& links, const DecodedPacket& p) {
  const LinkTexts printed{address_text(p.source_address), address_text(p.destination_address),
                          std::to_string(p.source_port), std::to_string(p.destination_port)};
  for (std::size_t i = 0; i < links.size(); ++i) {
    std::size_t field = 0;
    while (field < 4 && (links[i][field].empty() || links[i][field] == printed[field])) ++field;
    if (field == 4) return i;
  }
  return LinkMatcher::kNoMatch;
}

std::vector<MatchRule> rules_of(const std::vector<LinkTexts>& links) {
  return compile_rules(links, [](const LinkTexts& l) { return TerminalEntry{l[0], l[1], l[2], l[3], "", ""}; });
}

// Links of wildcards, values of the lists as printed and the same values in forms that never match.
std::vector<LinkTexts> random_links(std::mt19937& random, std::size_t count, const std::vector<std::uint32_t>& addresses,
                                    const std::vector<std::uint32_t>& ports) {
  auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  auto configured = [&](const std::string& printed) {
    const std::string forms[] = {"", "", "", printed, printed, printed, "0" + printed, "+" + printed, printed + " ",
                                 printed + "0"};
    return forms[pick(10)];
  };
  std::vector<LinkTexts> links(count);
  for (LinkTexts& link : links) {
    link = {configured(address_text(addresses[pick(addresses.size())])),
            configured(address_text(addresses[pick(addresses.size())])),
            configured(std::to_string(ports[pick(ports.size())])), configured(std::to_string(ports[pick(ports.size())]))};
  }
  return links;
}

// Every truncation of a frame that decodes is dropped.
TEST(DecodeFrameTest, HandsOverThePayloadOfIPv4TcpAndUdpOnly) {
  const std::string from = "192.168.1.101:40000>10.0.0.5:9100 ";
  const struct {
    void (*change)(FrameFields&);
    std::size_t poke_at;  // when not 0, this byte of the built frame is set to `poke`
    unsigned char poke;
    std::string decoded;
  } cases[] = {
      {[](FrameFields& s) { s.tagged = true; }, 0, 0, from + "RECEIPT"},
      {[](FrameFields& s) { s.ip_option_words = 10; s.tcp_option_words = 10; }, 0, 0, from + "RECEIPT"},
      {[](FrameFields& s) { s.payload = "AB"; s.padding = 4; }, 0, 0, from + "AB"},
      {[](FrameFields& s) { s.protocol = 17; s.payload = "UDP LINE"; }, 0, 0, from + "UDP LINE"},
      {[](FrameFields& s) { s.src = {255, 255, 255, 255}; s.src_port = 0; s.dst_port = 65535; }, 0, 0,
       "255.255.255.255:0>10.0.0.5:65535 RECEIPT"},
      // The first fragment of a datagram is decoded on its own; a later one starts with data.
      {[](FrameFields& s) { s.fragment = 0x2000; }, 0, 0, from + "RECEIPT"},
      {[](FrameFields& s) { s.fragment = 0x0010; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.payload = ""; s.padding = 6; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.ether_type = 0x86DD; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.tagged = true; s.ether_type = 0x8100; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.ip_version = 6; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.protocol = 1; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.total_length_delta = 1; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.total_length_delta = -30; }, 0, 0, "<dropped>"},
      {[](FrameFields& s) { s.protocol = 17; }, 14, 0x44, "<dropped>"},  // an IPv4 header of 16 bytes
      {[](FrameFields&) {}, 14 + 20 + 12, 0x40, "<dropped>"},            // a TCP header of 16 bytes
  };
  for (const auto& c : cases) {
    FrameFields s;
    c.change(s);
    std::vector<unsigned char> frame = test::build(s);
    if (c.poke_at) frame[c.poke_at] = c.poke;
    EXPECT_EQ(decoded(frame), c.decoded) << "row " << &c - cases;
    for (std::size_t n = 0; c.decoded != "<dropped>" && n < frame.size() - s.padding; ++n) {
      // Exactly n bytes, so that a read past them is caught by the address sanitizer.
      EXPECT_EQ(decoded(std::vector<unsigned char>(frame.begin(), frame.begin() + n)), "<dropped>") << n;
    }
  }
}

TEST(LinkMatcherTest, CompilesEachTextIntoAnyExactlyOrNever) {
  auto shown = [](const FieldRule& rule) -> std::string {
    if (rule.kind == FieldRule::Kind::Exactly) return std::to_string(rule.value);
    return rule.kind == FieldRule::Kind::Any ? "any" : "never";
  };
  const std::pair<const char*, const char*> addresses[] = {
      {"", "any"}, {"0.0.0.0", "0"}, {"255.255.255.255", "4294967295"}, {"192.168.1.101", "3232235877"},
      {"10.0.0.07", "never"}, {"010.0.0.7", "never"}, {"256.0.0.1", "never"}, {"1.2.3", "never"},
      {"1.2.3.4.5", "never"}, {"1.2.3.4 ", "never"}, {"1..2.3", "never"}, {"+1.2.3.4", "never"},
      {"till.local", "never"}, {"1.2.3.000000000000000000004", "never"}};
  const std::pair<const char*, const char*> ports[] = {
      {"", "any"}, {"0", "0"}, {"65535", "65535"}, {"65536", "never"}, {"01", "never"}, {"-0", "never"},
      {"1 ", "never"}, {"0x23", "never"}, {"99999999999999999999", "never"}};
  for (const auto& c : addresses) EXPECT_EQ(shown(compile_address(c.first)), c.second) << c.first;
  for (const auto& c : ports) EXPECT_EQ(shown(compile_port(c.first)), c.second) << c.first;
}

// Random links of wildcards, values (0 and the highest among them) and the same values in forms
// that never match; every 4th list of 1000 tills' links, whose program halves long lists of values
// and jumps far; every 20th list of 1000 links of four random values, too many for the program,
// which then is coarse. Random frames, mostly of a link's values, of every shape the decoder meets,
// some cut short or with a random byte changed. The matcher finds the link that the text walk finds,
// and libpcap's interpreter runs the kernel filter over each frame.
TEST(LinkMatcherTest, FindsTheLinkThatTheTextWalkFindsAndTheKernelFilterPassesItsFrames) {
  std::mt19937 random(20261209);
  auto pick = [&random](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); };
  auto r32 = [&random] { return static_cast<std::uint32_t>(random()); };
  std::vector<std::uint32_t> addresses{0, 0xFFFFFFFFu}, ports{0, 65535};
  for (int i = 0; i < 30; ++i) addresses.push_back(r32()), ports.push_back(r32() & 0xFFFF);
  const std::uint16_t fragments[] = {0, 0, 0, 0x4000, 0x2000, 0x0010, 0x2001};
  auto octets = [](std::uint32_t a) {
    return std::vector<unsigned char>{static_cast<unsigned char>(a >> 24), static_cast<unsigned char>(a >> 16),
                                      static_cast<unsigned char>(a >> 8), static_cast<unsigned char>(a)};
  };
  std::size_t coarse = 0, taken = 0;
  for (int list = 0; list < 200; ++list) {
    std::vector<LinkTexts> links = random_links(random, list % 4 ? 1 + pick(40) : 1000, addresses, ports);
    for (LinkTexts& l : links) {
      if (list % 20 == 0) {
        l = {address_text(r32()), address_text(r32()), std::to_string(r32() >> 16), std::to_string(r32() >> 16)};
      } else if (list % 4 == 0) {  // tills to two hosts
        l = {address_text(r32()), address_text(addresses[pick(2)]), "", std::to_string(ports[pick(2)])};
      }
    }
    const std::vector<MatchRule> rules = rules_of(links);
    const LinkMatcher matcher(rules);
    const KernelFilter filter = build_kernel_filter(rules);
    ASSERT_TRUE(filter.program.size() <= kKernelFilterLimit &&
                bpf_validate(filter.program.data(), static_cast<int>(filter.program.size())));
    coarse += filter.coarse;
    for (int n = 0; n < 10000; ++n) {
      const MatchRule& like = rules[pick(static_cast<unsigned>(rules.size()))];
      auto value = [&](const FieldRule& f, const std::vector<std::uint32_t>& pool) {
        return f.kind == FieldRule::Kind::Exactly && pick(8) ? f.value : pool[pick(static_cast<unsigned>(pool.size()))];
      };
      FrameFields s;
      s.tagged = pick(2) == 0;
      s.ether_type = static_cast<std::uint16_t>(pick(10) ? 0x0800 : pick(2) ? 0x86DD : 0x8100);
      s.ip_version = pick(20) ? 4 : 6;
      s.ip_option_words = pick(3) ? 0 : pick(11);
      s.protocol = static_cast<unsigned char>(pick(10) ? (pick(2) ? 6 : 17) : 1);
      s.tcp_option_words = pick(3) ? 0 : pick(11);
      s.fragment = fragments[pick(7)];
      s.src = octets(value(like.source_address, addresses));
      s.dst = octets(value(like.destination_address, addresses));
      s.src_port = static_cast<std::uint16_t>(value(like.source_port, ports));
      s.dst_port = static_cast<std::uint16_t>(value(like.destination_port, ports));
      s.payload.assign(pick(4) ? 1 + pick(30) : 0, 'P');
      s.padding = pick(4) ? 0 : pick(7);
      s.total_length_delta = pick(8) ? 0 : static_cast<int>(pick(40)) - 30;
      std::vector<unsigned char> frame = test::build(s);
      if (pick(16) == 0) frame[14 + 4 * s.tagged] = static_cast<unsigned char>(0x40 | pick(5));  // IHL below 5
      if (pick(16) == 0) frame[pick(static_cast<unsigned>(frame.size()))] = static_cast<unsigned char>(random());
      if (pick(8) == 0) frame.resize(pick(static_cast<unsigned>(frame.size()) + 1));
      const auto size = static_cast<std::uint32_t>(frame.size());
      const auto p = decode_frame(frame.data(), size);
      const std::size_t first = p ? matcher.first_match(*p) : LinkMatcher::kNoMatch;
      if (p && n % 4 == 0) {
        ASSERT_EQ(first, reference_first_match(links, *p)) << "list " << list << ", frame " << n;
      }
      // A frame handed to a link passes; a packet that no link takes is rejected unless the program is coarse.
      const bool passes = bpf_filter(filter.program.data(), frame.data(), size, size) != 0;
      ASSERT_TRUE(first != LinkMatcher::kNoMatch ? passes : !p || filter.coarse || !passes)
          << "list " << list << ", frame " << n;
      taken += first != LinkMatcher::kNoMatch;
    }
  }
  EXPECT_EQ(coarse, 10u);
  EXPECT_GT(taken, 100000u);
}

TEST(DispatchTest, TheFirstLinkInKeyOrderTakesThePacket) {
  test::log_directory();  // the links' servers log their creation
  IoService io;
  TerminalTable terminals;
  for (const char* src_port : {"", "4000"}) {  // keys "10.0.0.5:4000::" before "10.0.0.5:::"
    add_link(terminals, io, TerminalEntry{"10.0.0.5", "", src_port, "", "", "abc"});
  }
  const DecodedPacket p{0x0A000005u, 0, 4000, 0};  // from 10.0.0.5:4000
  EXPECT_EQ(TerminalMatcher(terminals).first_match(p)->texts().src_port, "4000");
}

TEST(DispatchTest, MirrorCopiesAreTakenOnceWithinTheWindowWhenSuppressed) {
  test::log_directory();
  IoService io;
  TerminalTable terminals;
  add_link(terminals, io, TerminalEntry{"", "", "", "9100", "", "0"});
  const std::vector<unsigned char> original = test::build(FrameFields{});
  // Routed between the two mirrored places: other MACs, a tag, TTL one lower, another checksum.
  FrameFields tagged;
  tagged.tagged = true;
  std::vector<unsigned char> routed = test::build(tagged);
  routed[0] = routed[11] = 0x02;
  routed[18 + 8] = 0x00;
  routed[18 + 10] = 0x7F;
  std::vector<unsigned char> retransmitted = original;  // another identification
  retransmitted[14 + 5] = 0x07;
  const std::pair<const std::vector<unsigned char>*, std::int64_t> arrivals[] = {
      {&original, 1000}, {&original, 1005}, {&routed, 51000}, {&routed, 51001}, {&retransmitted, 51010},
      {&original, 351000}};
  for (const bool suppress : {false, true}) {
    TerminalMatcher matcher(terminals, suppress);
    std::string taken;
    for (const auto& arrival : arrivals) {
      const auto p = decode_frame(arrival.first->data(), static_cast<std::uint32_t>(arrival.first->size()));
      taken += matcher.taker(*p, arrival.second) ? 'T' : '-';
    }
    EXPECT_EQ(taken, suppress ? "T--TTT" : "TTTTTT");
  }
  EXPECT_EQ(terminals.begin()->second->server().counters().duplicate_frames, 2u);
}

}  // namespace
}  // namespace marlobex
