#include "capture/Dispatch.h"
#include "capture/PacketDecoder.h"
#include "log/InstallDirectory.h"
#include "tests/support/Frames.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <pcap.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace marlobex {
namespace {

using test::build;
using test::FrameFields;

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
  EXPECT_EQ(plain->source_address, "192.168.1.101");
  EXPECT_EQ(plain->destination_address, "10.0.0.5");
  EXPECT_EQ(plain->source_port, "40000");
  EXPECT_EQ(plain->destination_port, "9100");
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
  EXPECT_EQ(p->source_port, "0");
  EXPECT_EQ(p->destination_port, "65535");
  EXPECT_EQ(p->source_address, "255.255.255.255");
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

class DispatchMatchTest : public ::testing::Test {
 protected:
  // The links' servers log their creation.
  void SetUp() override { boost::filesystem::create_directories(kInstallDirectory); }
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
    const std::vector<unsigned char> frame = build(s);
    auto p = decode(frame);
    const TerminalLink* link = find_terminal_link(terminals_, *p);
    // The dispatch prints the texts only as the walk needs them, and must come to the same link.
    const auto fields = decode_fields(frame.data(), static_cast<std::uint32_t>(frame.size()));
    PacketTexts texts(*fields);
    EXPECT_EQ(find_terminal_link(terminals_, texts), link);
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

TEST(CorpusTest, EveryCapturedFrameDecodesSafely) {
  if (!boost::filesystem::is_directory(MARLOBEX_CORPUS_DIR)) {
    GTEST_SKIP() << "no capture corpus at " MARLOBEX_CORPUS_DIR;
  }
  std::size_t files = 0, frames = 0, decoded = 0;
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
      std::vector<unsigned char> copy(data, data + header->caplen);
      auto p = decode_frame(copy.data(), header->caplen);
      auto fields = decode_fields(copy.data(), header->caplen);
      ASSERT_EQ(p.has_value(), fields.has_value());
      if (!p) continue;
      PacketTexts texts(*fields);
      ASSERT_EQ(texts.source_port(), p->source_port);
      ASSERT_EQ(texts.destination_address(), p->destination_address);
      ASSERT_EQ(texts.destination_port(), p->destination_port);
      ASSERT_EQ(texts.source_address(), p->source_address);
      ASSERT_EQ(fields->payload, p->payload);
      ASSERT_EQ(fields->payload_length, p->payload_length);
      ++decoded;
      ASSERT_GE(p->payload_length, 1);
      ASSERT_LE(p->payload + p->payload_length, copy.data() + copy.size());
    }
    pcap_close(handle);
  }
  EXPECT_GE(files, 100u);
  EXPECT_GT(decoded, 1000u);
  std::cout << files << " files, " << frames << " frames, " << decoded << " decoded\n";
}

}  // namespace
}  // namespace marlobex
