#include "capture/Dispatch.h"
#include "tests/support/Frames.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
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

// The index over the links' rules, compiled in the given order.
LinkMatcher matcher_of(const std::vector<LinkTexts>& links) {
  std::vector<MatchRule> rules;
  for (const LinkTexts& l : links) rules.push_back(MatchRule::compile(l[0], l[1], l[2], l[3]));
  return LinkMatcher(rules);
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

// Random lists of links of wildcards, printed values (ports 0 and 65535 among them), other values
// and the same values in forms that never match; random packets, mostly of those values.
TEST(LinkMatcherTest, FindsTheLinkThatTheTextWalkFinds) {
  std::mt19937 random(20261208);
  auto pick = [&random](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  const std::uint32_t addresses[] = {0x0A000001u, 0, 0xFFFFFFFFu, static_cast<std::uint32_t>(random())};
  const std::uint16_t ports[] = {0, 9100, 65535, static_cast<std::uint16_t>(random())};
  auto configured = [&](const std::string& printed) {
    const std::string forms[] = {"", "", "", printed, printed, printed, "0" + printed, "+" + printed, printed + " ",
                                 printed + "0"};
    return forms[pick(10)];
  };
  std::size_t matched = 0;
  for (int list = 0; list < 2000; ++list) {
    std::vector<LinkTexts> links(1 + pick(list % 10 == 0 ? 1000 : 40));
    for (LinkTexts& link : links) {
      link = {configured(address_text(addresses[pick(4)])), configured(address_text(addresses[pick(4)])),
              configured(std::to_string(ports[pick(4)])), configured(std::to_string(ports[pick(4)]))};
    }
    const LinkMatcher matcher = matcher_of(links);
    for (int frame = 0; frame < 50; ++frame) {
      const DecodedPacket p{addresses[pick(4)], addresses[pick(4)], ports[pick(4)], ports[pick(4)]};
      const std::size_t expected = reference_first_match(links, p);
      ASSERT_EQ(matcher.first_match(p), expected) << "list " << list << ", frame " << frame;
      matched += expected != LinkMatcher::kNoMatch;
    }
  }
  // Of the 100000 packets, a fair share matches.
  EXPECT_GT(matched, 25000u);
  EXPECT_LT(matched, 75000u);
}

TEST(DispatchTest, TheFirstLinkInKeyOrderTakesThePacket) {
  test::log_directory();  // the links' servers log their creation
  IoService io;
  TerminalTable terminals;
  for (const char* src_port : {"", "4000"}) {  // keys "10.0.0.5:4000::" before "10.0.0.5:::"
    terminals.emplace(TerminalLink::key("10.0.0.5", src_port, "", ""),
                      std::make_unique<TerminalLink>(io, "10.0.0.5", "", src_port, "", "", "abc"));
  }
  const DecodedPacket p{0x0A000005u, 0, 4000, 0};  // from 10.0.0.5:4000
  EXPECT_EQ(TerminalMatcher(terminals).first_match(p)->SrcPort, "4000");
}

TEST(DispatchTest, MirrorCopiesAreTakenOnceWithinTheWindowWhenSuppressed) {
  test::log_directory();
  IoService io;
  TerminalTable terminals;
  terminals.emplace(TerminalLink::key("", "", "", "9100"),
                    std::make_unique<TerminalLink>(io, "", "", "", "9100", "", "0"));
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
  EXPECT_EQ(terminals.begin()->second->server->counters().duplicate_frames, 2u);
}

TEST(CorpusTest, EveryCapturedFrameDecodesSafelyAndMatchesAsTheTextWalk) {
  if (!boost::filesystem::is_directory(MARLOBEX_CORPUS_DIR)) {
    GTEST_SKIP() << "no capture corpus at " MARLOBEX_CORPUS_DIR;
  }
  std::vector<DecodedPacket> packets;
  for (const auto& entry : boost::filesystem::directory_iterator(MARLOBEX_CORPUS_DIR)) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(entry.path().c_str(), error);
    ASSERT_NE(handle, nullptr) << entry.path() << ": " << error;
    pcap_pkthdr* header;
    const unsigned char* data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
      // Exactly the captured bytes, so that a read past them is caught.
      const std::vector<unsigned char> copy(data, data + header->caplen);
      if (auto p = decode_frame(copy.data(), header->caplen)) {
        ASSERT_TRUE(p->payload_length >= 1 && p->payload + p->payload_length <= copy.data() + copy.size());
        packets.push_back(*p);
      }
    }
    pcap_close(handle);
  }
  ASSERT_GT(packets.size(), 1000u);
  // About 200 links made of the captures' own values, each with its own fields left as wildcards.
  std::vector<LinkTexts> links;
  for (std::size_t i = 0; i < packets.size(); i += packets.size() / 200) {
    const DecodedPacket& p = packets[i];
    const std::size_t wild = links.size() % 15;
    links.push_back({wild & 1 ? "" : address_text(p.source_address), wild & 2 ? "" : address_text(p.destination_address),
                     wild & 4 ? "" : std::to_string(p.source_port), wild & 8 ? "" : std::to_string(p.destination_port)});
  }
  const LinkMatcher matcher = matcher_of(links);
  for (const DecodedPacket& p : packets) {
    ASSERT_EQ(matcher.first_match(p), reference_first_match(links, p));
  }
}

}  // namespace
}  // namespace marlobex
