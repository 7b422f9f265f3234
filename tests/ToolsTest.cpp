#include "tests/support/Frames.h"
#include "tests/support/TestSupport.h"
#include "tools/ConfigurationCheck.h"
#include "tools/EscapedText.h"
#include "tools/HexDump.h"
#include "tools/Probe.h"
#include "tools/Status.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace marlobex {
namespace {

// One line per kind of silent fault, by line: 2 a second NVR (the last counts); 4 shadowed by line 3,
// first in key order; 5 leading zeros, and 70000 wraps to 4464; 6 a host name, and 04001 is 4001
// again; 7 line 3's key again; 8 "abc" gives no port; 9 no NvrPort; 10 a lower-case attribute leaves
// no address, and 4002 is taken; 11 a lower-case element; 12 IPv6, and 4002 taken; 13 an escape and a
// line end that would forge a log line; 14 a second adapter value (only the last counts) in a Network
// without NVR, with a SuppressDuplicates value that means "no"; 15 blanks.
const char* const kEveryFault = R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9"><NVR Address="127.0.0.1"/>
    <NVR Address="127.0.0.2"/>
    <Terminal SrcAddress="10.0.0.1" NvrPort="4001"/>
    <Terminal SrcAddress="10.0.0.1" DstPort="9100" NvrPort="4002"/>
    <Terminal SrcAddress="010.0.0.1" DstPort="09100" NvrPort="70000"/>
    <Terminal SrcAddress="till1" NvrPort="04001"/>
    <Terminal SrcAddress="10.0.0.1" NvrPort="4005"/>
    <Terminal SrcAddress="10.0.0.3" NvrPort="abc"/>
    <Terminal SrcAddress="10.0.0.4"/>
    <Terminal srcaddress="10.0.0.5" NvrPort="4007"/>
    <terminal SrcAddress="10.0.0.6" NvrPort="4008"/>
    <Terminal DstAddress="fe80::1" NvrPort="4002"/>
    <Terminal SrcAddress="10.0.0.2&#27;[2J" NvrPort="4010&#10;[ 2026-Jan-01 00:00:00 ] Accepted connection"/>
  </Network><Network SniffAdapterAddress="10.0.0.9" SuppressDuplicates="Yes">
    <Terminal SrcAddress=" 10.0.0.7" SrcPort="9100 " NvrPort="4009"/>
  </Network></Marlobex>)";

TEST(ConfigurationCheckTest, FindsEveryKindOfFaultWhereItIs) {
  std::string deep;  // nested past what any stack holds
  for (int i = 0; i < 70000; ++i) deep += "<a>\n";
  const struct {
    const char* name;
    std::string content;
    std::vector<std::string> codes;  // "W10@5": the finding's code and line
    int status;
  } files[] = {
      {"every.xml", kEveryFault,
       {"W41@2", "W50@4", "W10@5", "W11@5", "W20@5", "W10@6", "W22@6", "W31@7", "W21@8", "W32@9", "W30@10",
        "W43@10", "W43@11", "W30@12", "W10@12", "W12@13", "W12@13", "W10@13", "W42@14", "W44@14", "W40@14", "W10@15", "W11@15"},
       1},
      {"away.xml", R"(<Marlobex><Network SniffAdapterAddress="10.0.0.8"><Terminal NvrPort="4001"/></Network></Marlobex>)",
       {"W30@1", "E03@1", "W40@1", "E04@0"}, 2},
      {"broken.xml", "<Marlobex><Network></Marlobex>", {"E01@1"}, 2},
      {"empty.xml", "<!-- nothing -->", {"E02@0"}, 2},
      {"deep.xml", deep, {"E01@65"}, 2},
      {"missing.xml", "", {"E01@0"}, 2},
  };
  test::ScratchDirectory scratch;
  for (const auto& file : files) {
    if (!file.content.empty()) test::write_file(scratch.path() + file.name, file.content);
    const CheckReport report =
        check_configuration_file(scratch.path() + file.name, {{"eth7", "", {"192.0.2.1", "10.0.0.9"}}});
    std::vector<std::string> codes;
    for (const Finding& finding : report.findings) codes.push_back(finding.code + "@" + std::to_string(finding.line));
    EXPECT_EQ(codes, file.codes) << file.name;
    EXPECT_EQ(report.exit_status(), file.status) << file.name;
    // Configured bytes are shown as \xHH: none starts a line of its own or moves the cursor.
    const std::string text = format_check_report(report);
    EXPECT_EQ(text.find("\n["), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
  // A text too long for a label of the counters file: the finding says how the file shows it.
  TiXmlDocument long_text;
  long_text.Parse(("<M><Network><Terminal NvrPort=\"1\" SrcAddress=\"" + std::string(257, '1') + "\"/></Network></M>")
                      .c_str());
  EXPECT_NE(format_check_report(check_configuration(long_text.RootElement(), {}))
                .find(" match a packet or a peer. Longer than 256 bytes, it is cut in the counters file"),
            std::string::npos);
}

TEST(ProbeTest, CountsFramesByKindAndWhatMatchesNoLinkInABoundedTable) {
  TiXmlDocument document;
  document.Parse(R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9"><NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="192.168.1.101" DstPort="9100" NvrPort="4001"/></Network></Marlobex>)");
  ProbeCounter counter(check_configuration(document.RootElement(), {}).links);
  test::FrameFields tagged, fragment, arp, forged;  // from 192.168.1.101:40000 to 10.0.0.5:9100
  tagged.tagged = true;
  fragment.fragment = 0x2000;  // more fragments follow: this first one is counted
  arp.ether_type = 0x0806;
  forged.dst_port = 9999;  // from 1001 ports to one that no link names, and from the first one again
  std::vector<test::FrameFields> frames{tagged, tagged, fragment, arp};
  for (int i = 0; i <= 1001; ++i) {
    forged.src_port = static_cast<std::uint16_t>(20000 + i % 1001);
    frames.push_back(forged);
  }
  std::int64_t at = 0;  // the tagged frame twice 50 ms apart, then a frame every 60 ms
  for (const test::FrameFields& fields : frames) {
    const std::vector<unsigned char> frame = test::build(fields);
    counter.count_frame(frame.data(), static_cast<std::uint32_t>(frame.size()), at);
    at += at == 0 ? 50000 : 60000;
  }
  const std::string report = counter.format("Adapter eth7 (10.0.0.9)", 1.0, 1);
  EXPECT_NE(report.find("port 4001  3 frames, 21 bytes, 1 of them twice within 50 ms\nFrames arrived twice: the "
                        "mirror port copies them (from two ports, two directions or two VLANs).\n"
                        "SuppressDuplicates=\"yes\" on the Network element relays each of them once.\n"),
            std::string::npos) << report;
  EXPECT_NE(report.find(": \n  192.168.1.101:20000 -> 10.0.0.5:9999  2 frames, 14 bytes\n"
                        "  and more conversations than the table holds (1000): 1 frames, 7 bytes\n"
                        "Frames: 1006 in all, 1005 TCP/UDP with payload over IPv4, 2 802.1Q-tagged, 1 IPv4 "
                        "fragments, 1 not IPv4.\n"),
            std::string::npos) << report;
}

TEST(StatusTest, ParserUnescapesLabelValuesAndSkipsWhatDoesNotParse) {
  const std::vector<MetricSample> samples = parse_metrics("frames{port=\"a\\\\b\\\"c\\nd\",recorder=\"\"} 37\n"
                                                          "unterminated{a=\"x} 1\n"
                                                          "unknown_escape{a=\"\\t\"} 1\n"
                                                          "no_comma{a=\"x\" b=\"y\"} 1\n"
                                                          "not_a_number 12abc\n"
                                                          "  with:colon{ a = \"x\" , }2.5e3 1700000000000\n"
                                                          "cut_short{a=\"");
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].labels, (decltype(samples[0].labels){{"port", "a\\b\"c\nd"}, {"recorder", ""}}));
  EXPECT_EQ(samples[1].name, "with:colon");
  EXPECT_EQ(samples[1].value, 2500.0);
}

TEST(StatusTest, VerdictsOfTheCounters) {
  const std::time_t now = 1765003600;
  auto counters = [now](bool capture_open, bool listening, bool connected, long drops) {
    return Counters{now - 3600, capture_open, 0, 0, 0,
                    {LinkCounts{{"10.0.0.1", "", "", "9100", "127.0.0.1", "4001"}, 0, 0,
                                {0, static_cast<std::uint64_t>(drops), 0}, listening, connected, now - 1800}}};
  };
  const Counters before = counters(true, true, true, 0);
  const std::string link = "1 port 4001 (10.0.0.1:::9100)";
  // At the limits: a file 30 s old is fresh, at 31 s it is stale and says nothing more; the last payload,
  // 30 minutes ago, is too long ago for --quiet 29 but not for 30; a link without its recorder is not
  // judged quiet; drops are judged only against an earlier sample.
  const struct {
    long age, quiet, drops;
    bool with_before, capture_open, listening, connected;
    std::vector<std::string> expected;
  } cases[] = {
      {30, 30, 0, true, true, true, true, {}},
      {31, 0, 0, false, false, false, true,
       {"2 the counters file was written 31 s ago: the daemon has not replaced it for more than 30 s"}},
      {0, 0, 0, false, false, false, false,
       {"2 the capture adapter is not open: nothing is relayed (see the log)",
        link + " is not listening: another program holds the port, or its server stopped (see the log)"}},
      {0, 1, 0, false, true, true, false, {link + " has no recorder connected from 127.0.0.1"}},
      {0, 0, 2, true, true, true, true, {link + " is dropping payloads: slow_recorder 2 since the previous sample"}},
      {0, 29, 0, false, true, true, true, {link + " has carried no payload for 30 minutes"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> problems;
    for (const Problem& problem : judge_counters(counters(c.capture_open, c.listening, c.connected, c.drops),
                                                 c.with_before ? &before : nullptr, c.age, now, c.quiet))
      problems.push_back(std::to_string(problem.level) + " " + problem.text);
    EXPECT_EQ(problems, c.expected) << c.age << " s old, quiet " << c.quiet << ", " << c.drops << " drops";
  }
}

TEST(StatusTest, LinksAreMatchedByAllTheirLabelsAndTheirTextsShownEscaped) {
  auto frames = [](const std::string& labels, int count) {
    return "marlobex_link_frames_total{" + labels + "} " + std::to_string(count) + "\n";
  };
  // Two links whose labels run together alike, in either order; a forged port and recorder.
  const std::string one = "nvr_port=\"1\",src_address=\"1\",src_port=\"2\"";
  const std::string other = "nvr_port=\"1\",src_address=\"12\",src_port=\"\"";
  const std::string forged = "nvr_port=\"7\\n[ x ] OK\",recorder=\"\x1b[2J\xC2\x9B\"";
  const Counters before = read_counters(parse_metrics(frames(other, 10) + frames(one, 20)));
  const Counters latest = read_counters(parse_metrics(frames(one, 21) + frames(other, 13) + frames(forged, 0) +
                                                      "marlobex_link_listening{" + forged + "} 1\n"));
  const std::string text = format_counters(latest, &before, 10);
  EXPECT_NE(text.find("(1:2::): not listening\n    21 frames, 0 bytes since the start; 1 frames,"), text.npos);
  EXPECT_NE(text.find("(12:::): not listening\n    13 frames, 0 bytes since the start; 3 frames,"), text.npos);
  EXPECT_NE(text.find("  port 7 for NvrPort \"7\\x0A[ x ] OK\" (:::): listening, no recorder connected from "
                      "\\x1B[2J\\xC2\\x9B\n"), std::string::npos) << text;
}

// A 2 GiB log (sparse) is read from its end, whole lines only; a short one follows the older one's end.
TEST(StatusTest, ReadsOnlyTheEndOfTheLog) {
  test::ScratchDirectory dir;
  const std::string log = dir.path() + "Marlobex.log";
  test::write_file(log + ".old", "x\nold\n");
  test::write_file(log, "new\n");
  EXPECT_EQ(read_log_tail(log, log + ".old", 9), "old\nnew\n");
  ASSERT_EQ(::truncate(log.c_str(), 2LL << 30), 0);
  std::ofstream(log, std::ios::app) << "\nListening on eth0\n";
  EXPECT_EQ(read_log_tail(log, log + ".old", kLogTailBytes), "Listening on eth0\n");
}

TEST(RecorderTest, EscapesWhatCouldMoveTheCursorOrStartALineAndDumpsHexAcrossPieces) {
  const std::string forged = "TOTAL 2.50\r\n\x1b]0;owned\x07\x1b[2J\tCAF\xC3\x89\x7f\n";
  EXPECT_EQ(escaped_text(forged.data(), forged.size()),
            "TOTAL 2.50\\x0D\n\\x1B]0;owned\\x07\\x1B[2J\tCAF\\xC3\\x89\\x7F\n");
  std::ostringstream out;
  HexDump dump(out);
  const auto* text = reinterpret_cast<const unsigned char*>("TOTAL 2.50\nCASH\x01 5.00\n");
  dump.add(text, 5);
  dump.add(text + 5, 17);
  dump.finish();
  EXPECT_EQ(out.str(),
            "00000000  54 4f 54 41 4c 20 32 2e  35 30 0a 43 41 53 48 01  |TOTAL 2.50.CASH.|\n"
            "00000010  20 35 2e 30 30 0a                                 | 5.00.|\n");
}

}  // namespace
}  // namespace marlobex
