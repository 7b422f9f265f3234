#include "capture/Dispatch.h"
#include "capture/PacketDecoder.h"
#include "capture/LinkMatcher.h"
#include "tests/support/Frames.h"
#include "tests/support/ReferenceWalk.h"
#include "tests/support/TestSupport.h"
#include "tools/ConfigurationCheck.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <pcap.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace marlobex {
namespace {

using test::build;
using test::FrameFields;
using test::LinkTexts;

constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::optional<DecodedPacket> decode(const std::vector<unsigned char>& frame) {
  return decode_frame(frame.data(), static_cast<std::uint32_t>(frame.size()));
}

std::string payload_of(const std::vector<unsigned char>& frame) {
  auto p = decode(frame);
  return p ? std::string(reinterpret_cast<const char*>(p->payload), static_cast<std::size_t>(p->payload_length))
           : std::string("<dropped>");
}

TEST(DecodeFrameTest, TaggedFrameForwardsLikeUntagged) {
  FrameFields s;
  auto plain = decode(build(s));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->source_address, ipv4(192, 168, 1, 101));
  EXPECT_EQ(plain->destination_address, ipv4(10, 0, 0, 5));
  EXPECT_EQ(plain->source_port, 40000);
  EXPECT_EQ(plain->destination_port, 9100);
  s.tagged = true;
  auto tagged = decode(build(s));
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->source_address, plain->source_address);
  EXPECT_EQ(payload_of(build(s)), "RECEIPT");
}

TEST(DecodeFrameTest, OptionsPaddingAndEmptySegments) {
  FrameFields s;
  s.ip_option_words = 10;
  s.tcp_option_words = 10;
  EXPECT_EQ(payload_of(build(s)), "RECEIPT");
  FrameFields padded;
  padded.payload = "AB";
  padded.padding = 4;
  EXPECT_EQ(build(padded).size(), 60u);
  EXPECT_EQ(payload_of(build(padded)), "AB");
  FrameFields ack;
  ack.payload = "";
  ack.padding = 6;
  EXPECT_EQ(payload_of(build(ack)), "<dropped>");
  FrameFields udp;
  udp.protocol = 17;
  udp.payload = "UDP LINE";
  EXPECT_EQ(payload_of(build(udp)), "UDP LINE");
  FrameFields ports;
  ports.src_port = 0;
  ports.dst_port = 65535;
  ports.src = {255, 255, 255, 255};
  auto p = decode(build(ports));
  ASSERT_TRUE(p);
  EXPECT_EQ(p->source_port, 0);
  EXPECT_EQ(p->destination_port, 65535);
  EXPECT_EQ(p->source_address, 0xFFFFFFFFu);
}

TEST(DecodeFrameTest, FramesThatAreNotPlainIPv4TransportAreDropped) {
  auto dropped = [](void (*change)(FrameFields&)) {
    FrameFields s;
    change(s);
    return payload_of(build(s));
  };
  EXPECT_EQ(dropped([](FrameFields& s) { s.ether_type = 0x0806; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.ether_type = 0x86DD; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.tagged = true; s.ether_type = 0x8100; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.ip_version = 6; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.fragment = 0x0010; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.protocol = 1; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.total_length_delta = 1; }), "<dropped>");
  EXPECT_EQ(dropped([](FrameFields& s) { s.total_length_delta = -30; }), "<dropped>");
  // The first fragment of a datagram is still decoded on its own.
  EXPECT_EQ(dropped([](FrameFields& s) { s.fragment = 0x2000; }), "RECEIPT");
  FrameFields bad_ihl;
  std::vector<unsigned char> f = build(bad_ihl);
  f[14] = 0x44;
  EXPECT_EQ(payload_of(f), "<dropped>");
  f = build(bad_ihl);
  f[14 + 20 + 12] = 0x40;
  EXPECT_EQ(payload_of(f), "<dropped>");
}

TEST(DecodeFrameTest, EveryTruncationIsDroppedWithoutReadingPastTheEnd) {
  FrameFields s;
  s.tagged = true;
  s.ip_option_words = 2;
  s.tcp_option_words = 3;
  const std::vector<unsigned char> full = build(s);
  for (std::size_t n = 0; n < full.size(); ++n) {
    // A buffer of exactly n bytes, so that a read past it is caught by the address sanitizer.
    std::unique_ptr<unsigned char[]> copy(new unsigned char[n ? n : 1]);
    std::memcpy(copy.get(), full.data(), n);
    EXPECT_FALSE(decode_frame(copy.get(), static_cast<std::uint32_t>(n))) << n;
  }
  EXPECT_EQ(payload_of(full), "RECEIPT");
}

TEST(LinkMatcherTest, CompilesEachTextIntoAnyExactlyOrNever) {
  using Kind = FieldRule::Kind;
  struct Case {
    const char* text;
    Kind kind;
    std::uint32_t value;
  };
  const Case addresses[] = {
      {"", Kind::Any, 0},
      {"0.0.0.0", Kind::Exactly, 0},
      {"255.255.255.255", Kind::Exactly, 0xFFFFFFFFu},
      {"192.168.1.101", Kind::Exactly, ipv4(192, 168, 1, 101)},
      {"10.0.0.07", Kind::Never, 0},
      {"010.0.0.7", Kind::Never, 0},
      {"256.0.0.1", Kind::Never, 0},
      {"1.2.3", Kind::Never, 0},
      {"1.2.3.4.5", Kind::Never, 0},
      {"1.2.3.4 ", Kind::Never, 0},
      {" 1.2.3.4", Kind::Never, 0},
      {"1..2.3", Kind::Never, 0},
      {"1.2.3.", Kind::Never, 0},
      {"+1.2.3.4", Kind::Never, 0},
      {"0x1.2.3.4", Kind::Never, 0},
      {"1.2.3.000000000000000000004", Kind::Never, 0},
      {"1.2.3.-0", Kind::Never, 0},
      {"till.local", Kind::Never, 0},
      {"::1", Kind::Never, 0},
  };
  for (const Case& c : addresses) {
    const FieldRule rule = compile_address(c.text);
    EXPECT_EQ(rule.kind, c.kind) << c.text;
    if (c.kind == Kind::Exactly) {
      EXPECT_EQ(rule.value, c.value) << c.text;
    }
    // The checking tool warns about exactly the texts that never match.
    if (*c.text) {
      EXPECT_EQ(address_form_problem(c.text).empty(), c.kind == Kind::Exactly) << c.text;
    }
  }
  const Case ports[] = {
      {"", Kind::Any, 0},         {"0", Kind::Exactly, 0},  {"65535", Kind::Exactly, 65535},
      {"9100", Kind::Exactly, 9100}, {"65536", Kind::Never, 0}, {"00", Kind::Never, 0},
      {"01", Kind::Never, 0},     {"+1", Kind::Never, 0},   {" 1", Kind::Never, 0},
      {"1 ", Kind::Never, 0},     {"-0", Kind::Never, 0},   {"0x23", Kind::Never, 0},
      {"1.0", Kind::Never, 0},    {"99999999999999999999", Kind::Never, 0},
      {"00000000000000000001", Kind::Never, 0},
  };
  for (const Case& c : ports) {
    const FieldRule rule = compile_port(c.text);
    EXPECT_EQ(rule.kind, c.kind) << c.text;
    if (c.kind == Kind::Exactly) {
      EXPECT_EQ(rule.value, c.value) << c.text;
    }
    if (*c.text) {
      EXPECT_EQ(port_form_problem(c.text).empty(), c.kind == Kind::Exactly) << c.text;
    }
  }
  // One text that never matches leaves its link out, however wide its other texts.
  const LinkMatcher matcher({MatchRule::compile("", "", "", "09100"), MatchRule::compile("", "", "", "")});
  DecodedPacket packet;
  packet.destination_port = 9100;
  EXPECT_EQ(matcher.first_match(packet), 1u);
  EXPECT_EQ(LinkMatcher({}).first_match(packet), LinkMatcher::kNoMatch);
  // Of two equal rules, the first.
  const MatchRule port_9100 = MatchRule::compile("", "", "", "9100");
  EXPECT_EQ(LinkMatcher({port_9100, port_9100}).first_match(packet), 0u);
}

// Random tables of wildcards, printed values (ports 0 and 65535 among them), values written in
// forms that never match and repeated patterns; random packets, half of them made to fit a link.
TEST(LinkMatcherTest, FindsTheLinkThatTheTextWalkFinds) {
  std::mt19937 random(20261208);
  auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  const std::uint32_t addresses[] = {ipv4(10, 0, 0, 1), ipv4(10, 0, 0, 2), ipv4(192, 168, 1, 101),
                                     0, 0xFFFFFFFFu, ipv4(1, 2, 3, 4)};
  const std::uint16_t ports[] = {0, 1, 9, 9100, 40000, 65535};
  const std::string never[] = {"01", "+1", " 1", "1 ", "256", "65536", "1.2.3", "1.2.3.4.5", "0x10",
                               "-0", "00", "000000000000000000009100", "99999999999999999999",
                               "10.0.0.01", "010.0.0.1", "10.0.0.1 ", "1.2.3.256", "10..0.1",
                               "0.0.0.0.", "4294967295", "1.2.3.4\t"};
  auto address = [&]() -> std::uint32_t {
    return pick(5) ? addresses[pick(6)] : static_cast<std::uint32_t>(random());
  };
  auto port = [&]() -> std::uint16_t {
    return pick(5) ? ports[pick(6)] : static_cast<std::uint16_t>(random());
  };
  auto configured = [&](const std::string& printed) -> std::string {
    switch (pick(10)) {
      case 0: case 1: case 2: return "";
      case 3: return never[pick(sizeof never / sizeof never[0])];
      case 4: return std::string(1, "0+ -"[pick(4)]) + printed;
      case 5: return printed + (pick(2) ? " " : "0");
      default: return printed;
    }
  };
  std::size_t compared = 0, matched = 0;
  for (int table = 0; table < 2000; ++table) {
    std::vector<LinkTexts> given(1 + pick(table % 10 == 0 ? 1000 : 40));
    for (LinkTexts& link : given) {
      link = {configured(test::address_text(address())), configured(test::address_text(address())),
              configured(test::port_text(port())), configured(test::port_text(port()))};
    }
    const std::vector<LinkTexts> links = test::in_key_order(given);
    const LinkMatcher matcher(test::rules_of(links));
    for (int frame = 0; frame < 50; ++frame) {
      DecodedPacket packet;
      packet.source_address = address();
      packet.destination_address = address();
      packet.source_port = port();
      packet.destination_port = port();
      if (pick(2)) {
        const MatchRule rule = links[pick(links.size())].rule();
        auto take = [](const FieldRule& field, auto& value) {
          if (field.kind == FieldRule::Kind::Exactly) value = static_cast<std::remove_reference_t<decltype(value)>>(field.value);
        };
        take(rule.source_address, packet.source_address);
        take(rule.destination_address, packet.destination_address);
        take(rule.source_port, packet.source_port);
        take(rule.destination_port, packet.destination_port);
      }
      const std::size_t expected = test::reference_first_match(links, packet);
      ASSERT_EQ(matcher.first_match(packet), expected)
          << "table " << table << " of " << links.size() << " links, packet "
          << test::address_text(packet.source_address) << ":" << packet.source_port << " -> "
          << test::address_text(packet.destination_address) << ":" << packet.destination_port;
      ++compared;
      if (expected != LinkMatcher::kNoMatch) ++matched;
    }
  }
  EXPECT_GT(matched, compared / 4);
  EXPECT_LT(matched, compared * 3 / 4);
}

class DispatchMatchTest : public ::testing::Test {
 protected:
  // The links' servers log their creation.
  void SetUp() override { test::log_directory(); }
  void add(const std::string& src, const std::string& src_port, const std::string& dst,
           const std::string& dst_port) {
    terminals_.emplace(TerminalLink::key(src, src_port, dst, dst_port),
                       std::unique_ptr<TerminalLink>(new TerminalLink(io_, src, dst, src_port, dst_port, "", "abc")));
  }
  std::string match(std::vector<unsigned char> src, std::uint16_t src_port, std::uint16_t dst_port,
                    std::vector<unsigned char> dst = {10, 0, 0, 9}) {
    FrameFields s;
    s.src = src;
    s.dst = dst;
    s.src_port = src_port;
    s.dst_port = dst_port;
    const TerminalMatcher matcher(terminals_);
    const TerminalLink* link = matcher.first_match(*decode(build(s)));
    return link ? TerminalLink::key(link->SrcAddress, link->SrcPort, link->DstAddress, link->DstPort) : "none";
  }
  IoService io_;
  TerminalTable terminals_;
};

TEST_F(DispatchMatchTest, FirstMatchInKeyOrder) {
  add("10.0.0.5", "", "", "");
  add("10.0.0.5", "", "", "9100");
  add("10.0.0.5", "4000", "", "");
  add("10.0.0.07", "", "", "");
  add("192.168.1.1", "0", "10.0.0.9", "");
  EXPECT_EQ(match({10, 0, 0, 5}, 4000, 9100), "10.0.0.5:4000::");
  EXPECT_EQ(match({10, 0, 0, 5}, 4001, 9100), "10.0.0.5:::");
  EXPECT_EQ(match({10, 0, 0, 7}, 4001, 9100), "none");
  EXPECT_EQ(match({192, 168, 1, 1}, 0, 1), "192.168.1.1:0:10.0.0.9:");
  EXPECT_EQ(match({192, 168, 1, 1}, 10, 1), "none");
  // Only the configured direction matches.
  EXPECT_EQ(match({10, 0, 0, 9}, 1, 1, {192, 168, 1, 1}), "none");
}

TEST(CorpusTest, EveryCapturedFrameDecodesSafelyAndMatchesAsTheTextWalk) {
  if (!boost::filesystem::is_directory(MARLOBEX_CORPUS_DIR)) {
    GTEST_SKIP() << "no capture corpus at " MARLOBEX_CORPUS_DIR;
  }
  std::size_t files = 0, frames = 0;
  std::vector<DecodedPacket> packets;
  for (const auto& entry : boost::filesystem::directory_iterator(MARLOBEX_CORPUS_DIR)) {
    if (entry.path().extension() != ".pcap") continue;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(entry.path().c_str(), error);
    ASSERT_NE(handle, nullptr) << entry.path() << ": " << error;
    ++files;
    struct pcap_pkthdr* header;
    const unsigned char* data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
      ++frames;
      // A buffer of exactly the captured length, so that a read past it is caught.
      std::vector<unsigned char> copy(data, data + header->caplen);
      auto p = decode_frame(copy.data(), header->caplen);
      if (!p) continue;
      ASSERT_GE(p->payload_length, 1);
      ASSERT_LE(p->payload + p->payload_length, copy.data() + copy.size());
      p->payload = nullptr;
      packets.push_back(*p);
    }
    pcap_close(handle);
  }
  EXPECT_GE(files, 100u);
  EXPECT_GT(packets.size(), 1000u);
  std::cout << files << " files, " << frames << " frames, " << packets.size() << " decoded\n";

  // About 200 links made of the captures' own values, each with its own fields left as wildcards.
  std::vector<LinkTexts> given;
  const std::size_t step = packets.size() / 200 + 1;
  for (std::size_t i = 0; i < packets.size(); i += step) {
    const DecodedPacket& p = packets[i];
    const std::size_t wild = i / step % 15;
    given.push_back({wild & 1 ? "" : test::address_text(p.source_address),
                     wild & 2 ? "" : test::address_text(p.destination_address),
                     wild & 4 ? "" : test::port_text(p.source_port),
                     wild & 8 ? "" : test::port_text(p.destination_port)});
  }
  const std::vector<LinkTexts> links = test::in_key_order(given);
  const LinkMatcher matcher(test::rules_of(links));
  for (const DecodedPacket& p : packets) {
    ASSERT_EQ(matcher.first_match(p), test::reference_first_match(links, p));
  }
}

}  // namespace
}  // namespace marlobex
