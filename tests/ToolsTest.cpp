#include "app/CountersFile.h"
#include "tests/support/Frames.h"
#include "tests/support/TestSupport.h"
#include "tools/ConfigurationCheck.h"
#include "tools/HexDump.h"
#include "tools/Probe.h"
#include "tools/Status.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

namespace marlobex {
namespace {

std::vector<CaptureDevice> devices_with(const std::string& address) {
  return {{"lo", "", {"127.0.0.1"}}, {"eth7", "", {"192.0.2.1", address}}};
}

CheckReport check_text(const std::string& xml, const std::string& adapter = "10.0.0.9") {
  TiXmlDocument document;
  document.Parse(xml.c_str());
  EXPECT_NE(document.RootElement(), nullptr) << xml;
  return check_configuration(document.RootElement(), devices_with(adapter));
}

// "W10@7" for each finding, in the order reported.
std::vector<std::string> codes(const CheckReport& report) {
  std::vector<std::string> result;
  for (const Finding& finding : report.findings) {
    result.push_back(finding.code + "@" + std::to_string(finding.line));
  }
  return result;
}

std::string run_tool(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  status = WEXITSTATUS(::pclose(pipe));
  return output;
}

const char* const kEveryFault = R"(<Marlobex>
  <Network SniffAdapterAddress="10.0.0.9">
    <NVR Address="127.0.0.1"/>
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
  </Network>
  <Network SniffAdapterAddress="10.0.0.9">
    <Terminal SrcAddress=" 10.0.0.7" SrcPort="9100 " NvrPort="4009"/>
  </Network>
</Marlobex>
)";

TEST(ConfigurationCheckTest, EveryKindOfSilentFaultIsFoundWhereItIs) {
  const CheckReport report = check_text(kEveryFault);
  EXPECT_EQ(codes(report), (std::vector<std::string>{
                               "W41@4",   // two NVR elements, the last counts
                               "W50@6",   // shadowed by line 5, which comes first in key order
                               "W10@7", "W11@7", "W20@7",  // leading zeros; 70000 listens on 4464
                               "W10@8", "W22@8",           // a host name; 04001 is 4001 again
                               "W31@9",   // the key of line 5 again: dropped, port 4005 taken
                               "W21@10",  // "abc" gives no port
                               "W32@11",  // no NvrPort: skipped silently
                               "W30@12", "W43@12",  // lower-case attribute: no address at all
                               "W43@13",            // lower-case element
                               "W30@14", "W10@14",  // NvrPort 4002 taken; IPv6
                               "W42@16", "W40@16",  // only the last adapter value counts; no NVR
                               "W10@17", "W11@17"}));  // blanks
  EXPECT_EQ(report.exit_status(), 1);
  ASSERT_NE(report.adapter, nullptr);
  EXPECT_EQ(report.adapter->name, "eth7");

  const std::string text = format_check_report(report);
  EXPECT_NE(text.find("warning W20 line 7: NvrPort=\"70000\" is past 65535 or negative: it wraps, "
                      "the server listens on 4464.\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("warning W30 line 14: the daemon logs \"NVR Port 4002 is already in use. "
                      "Ignoring.\"\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("  line 5: 10.0.0.1:* -> *:*  recorder 127.0.0.2 on port 4001\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("\nWARNING: the daemon would start, but not everything configured is relayed.\n"),
            std::string::npos);
}

TEST(ConfigurationCheckTest, SoundFileIsOkAndWhatStopsTheDaemonIsAnError) {
  const std::string sound = R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9">
    <NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="10.0.0.1" DstPort="9100" NvrPort="4001"/>
    <Terminal SrcAddress="10.0.0.2" NvrPort="4002"/>
  </Network></Marlobex>)";
  CheckReport report = check_text(sound);
  EXPECT_EQ(codes(report), std::vector<std::string>{});
  EXPECT_EQ(report.exit_status(), 0);
  EXPECT_NE(format_check_report(report).find("\nOK: the daemon would relay everything configured.\n"),
            std::string::npos);

  report = check_text(sound, "10.0.0.8");
  EXPECT_EQ(codes(report), std::vector<std::string>{"E03@1"});
  EXPECT_EQ(report.exit_status(), 2);

  report = check_text(R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9"><NVR Address="127.0.0.1"/>
    <Terminal NvrPort="4001"/></Network></Marlobex>)");
  EXPECT_EQ(codes(report), (std::vector<std::string>{"W30@2", "E04@0"}));
  EXPECT_EQ(report.exit_status(), 2);

  test::ScratchDirectory scratch;
  test::write_file(scratch.path() + "broken.xml", "<Marlobex><Network></Marlobex>");
  test::write_file(scratch.path() + "empty.xml", "<!-- nothing -->");
  for (const char* name : {"missing.xml", "broken.xml", "empty.xml"}) {
    report = check_configuration_file(scratch.path() + name, devices_with("10.0.0.9"));
    ASSERT_EQ(report.findings.size(), 1u) << name;
    EXPECT_EQ(report.findings[0].code, std::string(name) == "empty.xml" ? "E02" : "E01") << name;
    EXPECT_EQ(report.exit_status(), 2);
  }

  int status = 0;
  test::write_file(scratch.path() + "sound.xml", sound);
  const std::string output =
      run_tool(std::string(MARLOBEX_BINARY_DIR) + "/tools/Marlobex-check " + scratch.path() + "sound.xml", status);
  EXPECT_EQ(output.rfind("Configuration: " + scratch.path() + "sound.xml\n", 0), 0u) << output;
  // The adapters of this machine do not hold 10.0.0.9.
  EXPECT_EQ(status, 2) << output;
}

TEST(ConfigurationCheckTest, ControlBytesAreWarnedAboutAndBombsAreErrors) {
  const std::string forged =
      "4003&#10;[ 2026-Jan-01 00:00:00 ] Accepted connection from NVR address: 127.0.0.1 Port: 4003";
  const CheckReport report = check_text(
      "<Marlobex><Network SniffAdapterAddress=\"10.0.0.9\"><NVR Address=\"127.0.0.1\"/>\n"
      "<Terminal SrcAddress=\"10.0.0.1\" NvrPort=\"" + forged + "\"/>\n"
      "<Terminal SrcAddress=\"10.0.0.2&#27;[2J\" NvrPort=\"" + forged + "\"/></Network></Marlobex>");
  EXPECT_EQ(codes(report),
            (std::vector<std::string>{"W12@2", "W30@3", "W12@3", "W12@3", "W10@3"}));
  const std::string escaped =
      "4003\\x0A[ 2026-Jan-01 00:00:00 ] Accepted connection from NVR address: 127.0.0.1 Port: 4003";
  const std::string text = format_check_report(report);
  EXPECT_NE(text.find("warning W12 line 2: NvrPort=\"" + escaped + "\" holds control bytes (a line "
                      "end, a tab, an escape): they are used as they stand, and logged as \\xHH.\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("warning W30 line 3: the daemon logs \"NVR Port " + escaped +
                      " is already in use. Ignoring.\"\n"),
            std::string::npos) << text;
  EXPECT_NE(text.find("  line 2: 10.0.0.1:* -> *:*  recorder 127.0.0.1 on port 4003\n"),
            std::string::npos) << text;
  // Every line of the report is one of its own: no configured byte starts another or moves the cursor.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);

  // A file nested 70,000 deep is an error found without parsing it, and the tool does not crash.
  test::ScratchDirectory scratch;
  std::string deep;
  for (int i = 0; i < 70000; ++i) deep += "<a>\n";
  test::write_file(scratch.path() + "deep.xml", deep);
  int status = 0;
  const std::string output = run_tool(
      std::string(MARLOBEX_BINARY_DIR) + "/tools/Marlobex-check " + scratch.path() + "deep.xml", status);
  EXPECT_EQ(status, 2) << output;
  EXPECT_NE(output.find("\nerror E01 line 65: the file cannot be loaded (elements nested more than 64 "
                        "deep): the daemon stops with \"Failed to load Marlobex.xml. Exiting.\".\n"),
            std::string::npos) << output;
}

TEST(ConfigurationCheckTest, FormsThatCanNeverMatch) {
  EXPECT_EQ(address_form_problem("192.168.1.20"), "");
  EXPECT_EQ(address_form_problem("0.0.0.0"), "");
  EXPECT_EQ(address_form_problem("192.168.01.20"), "written with leading zeros");
  EXPECT_EQ(address_form_problem("192.168.1.256"), "not four dotted numbers from 0 to 255");
  EXPECT_EQ(address_form_problem("192.168.1"), "not four dotted numbers");
  EXPECT_EQ(address_form_problem("::ffff:10.0.0.1"), "an IPv6 address (only IPv4 is relayed)");
  EXPECT_EQ(address_form_problem("till.local"), "a host name (names are never resolved)");
  EXPECT_EQ(address_form_problem("10.0.0.1\t"), "written with blanks");
  EXPECT_EQ(port_form_problem("9100"), "");
  EXPECT_EQ(port_form_problem("0"), "");
  EXPECT_EQ(port_form_problem("65536"), "past 65535");
  EXPECT_EQ(port_form_problem("+9100"), "not a decimal number");
  EXPECT_EQ(port_form_problem("0x23"), "not a decimal number");
  EXPECT_EQ(port_form_problem("00"), "written with leading zeros");
}

std::vector<CheckedLink> probe_links() {
  TiXmlDocument document;
  document.Parse(R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9"><NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="192.168.1.101" DstPort="9100" NvrPort="4001"/>
    <Terminal SrcAddress="192.168.1.102" NvrPort="4002"/></Network></Marlobex>)");
  return check_configuration(document.RootElement(), devices_with("10.0.0.9")).links;
}

TEST(ProbeTest, CountsPerLinkWhatMissesAndWhatTheDecoderLeavesOut) {
  ProbeCounter counter(probe_links());
  auto count = [&counter](const test::FrameFields& fields, int times = 1) {
    const std::vector<unsigned char> frame = test::build(fields);
    for (int i = 0; i < times; ++i) counter.count_frame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  };
  test::FrameFields receipt;  // 192.168.1.101:40000 -> 10.0.0.5:9100 "RECEIPT"
  count(receipt, 3);
  test::FrameFields tagged = receipt;
  tagged.tagged = true;
  count(tagged);
  test::FrameFields wrong_port = receipt;  // the usual fault: the till prints to another port
  wrong_port.dst_port = 9101;
  count(wrong_port, 2);
  test::FrameFields answer = receipt;  // the printer's answer: the other direction
  answer.src = {10, 0, 0, 5};
  answer.dst = {192, 168, 1, 101};
  answer.src_port = 9100;
  answer.dst_port = 40000;
  answer.payload = "OK";
  count(answer);
  test::FrameFields stranger = receipt;
  stranger.src = {192, 168, 1, 200};
  count(stranger);
  test::FrameFields fragment = receipt;
  fragment.fragment = 0x2000;  // more fragments follow: still decoded as the first
  count(fragment);
  test::FrameFields arp;
  arp.ether_type = 0x0806;
  count(arp);

  EXPECT_EQ(counter.frames(), 10u);
  EXPECT_EQ(counter.per_link()[0].frames, 5u);  // 3 plain, 1 tagged, 1 first fragment
  EXPECT_EQ(counter.per_link()[0].payload_bytes, 35u);
  EXPECT_EQ(counter.per_link()[1].frames, 0u);
  EXPECT_EQ(counter.tagged(), 1u);
  EXPECT_EQ(counter.fragments(), 1u);
  EXPECT_EQ(counter.non_ipv4(), 1u);
  EXPECT_EQ(counter.format("Adapter eth7 (10.0.0.9)", 2.0),
            "Adapter eth7 (10.0.0.9) saw traffic: 10 frames in 2.0 s.\n"
            "Links in key order (frames and payload bytes each would relay):\n"
            "  line 2: 192.168.1.101:* -> *:9100  port 4001  5 frames, 35 bytes\n"
            "  line 3: 192.168.1.102:* -> *:*  port 4002  0 frames, 0 bytes\n"
            "Busiest conversations of configured addresses that match no link: \n"
            "  192.168.1.101:40000 -> 10.0.0.5:9101  2 frames, 14 bytes\n"
            "  10.0.0.5:9100 -> 192.168.1.101:40000  1 frames, 2 bytes\n"
            "Frames: 10 in all, 9 TCP/UDP with payload over IPv4, 1 802.1Q-tagged, 1 IPv4 "
            "fragments, 1 not IPv4.\n");
  EXPECT_EQ(ProbeCounter(probe_links()).format("Adapter eth7 (10.0.0.9)", 10).substr(0, 86),
            "Adapter eth7 (10.0.0.9) saw no traffic at all in 10.0 s: check the cable, the switch's");
}

TEST(ProbeTest, UnmatchedTableIsBoundedAndCountsTheRest) {
  ProbeCounter counter(probe_links());
  test::FrameFields forged;  // from a configured till to ports that no link names
  forged.dst_port = 9999;
  for (int i = 0; i < 1003; ++i) {
    forged.src_port = static_cast<std::uint16_t>(20000 + i);
    const std::vector<unsigned char> frame = test::build(forged);
    counter.count_frame(frame.data(), static_cast<std::uint32_t>(frame.size()));
  }
  // A conversation already in the table is still counted there.
  forged.src_port = 20000;
  const std::vector<unsigned char> again = test::build(forged);
  counter.count_frame(again.data(), static_cast<std::uint32_t>(again.size()));
  EXPECT_EQ(counter.unmatched().size(), ProbeCounter::kUnmatchedLimit);
  EXPECT_EQ(counter.unmatched().at("192.168.1.101:20000 -> 10.0.0.5:9999").frames, 2u);
  EXPECT_EQ(counter.untabled().frames, 3u);
  EXPECT_EQ(counter.untabled().payload_bytes, 21u);
  const std::string report = counter.format("Adapter eth7 (10.0.0.9)", 1.0, 1);
  EXPECT_NE(report.find("  192.168.1.101:20000 -> 10.0.0.5:9999  2 frames, 14 bytes\n"
                        "  and more conversations than the table holds (1000): 3 frames, 21 bytes\n"),
            std::string::npos) << report;
}

TEST(ProbeTest, ReadsACaptureFileWithTheInstalledTools) {
  test::ScratchDirectory scratch;
  const std::string capture = scratch.path() + "till.pcap";
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65536);
  pcap_dumper_t* dumper = pcap_dump_open(dead, capture.c_str());
  ASSERT_NE(dumper, nullptr);
  test::FrameFields receipt;
  const std::vector<unsigned char> frame = test::build(receipt);
  for (int i = 0; i < 4; ++i) {
    pcap_pkthdr header{};
    header.ts.tv_sec = 1000 + i;
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<unsigned char*>(dumper), &header, frame.data());
  }
  pcap_dump_close(dumper);
  pcap_close(dead);
  test::write_file(scratch.path() + "Marlobex.xml",
                   R"(<Marlobex><Network SniffAdapterAddress="10.0.0.9"><NVR Address="127.0.0.1"/>
    <Terminal SrcAddress="192.168.1.101" DstPort="9100" NvrPort="4001"/></Network></Marlobex>)");
  int status = 0;
  const std::string output = run_tool(std::string(MARLOBEX_BINARY_DIR) + "/tools/Marlobex-probe -c " +
                                          scratch.path() + "Marlobex.xml -r " + capture, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output.substr(0, output.find("Busiest")),
            "The capture file " + capture + " saw traffic: 4 frames in 3.0 s.\n"
            "Links in key order (frames and payload bytes each would relay):\n"
            "  line 2: 192.168.1.101:* -> *:9100  port 4001  4 frames, 28 bytes\n");
  run_tool(std::string(MARLOBEX_BINARY_DIR) + "/tools/Marlobex-probe -t -1 2>&1", status);
  EXPECT_EQ(status, 2);
}

TEST(StatusTest, ParserUnescapesLabelValuesAndSkipsWhatDoesNotParse) {
  const std::vector<MetricSample> samples = parse_metrics(
      "# HELP marlobex_capture_open Whether the capture adapter is open (0 or 1).\n"
      "# TYPE marlobex_capture_open gauge\n"
      "marlobex_capture_open 1\n"
      "marlobex_link_frames_total{nvr_port=\"a\\\\b\\\"c\\nd\",recorder=\"\"} 37\n"
      "  with:colon{ a = \"x\" , }2.5e3 1700000000000\n"
      "\n"
      "unterminated{a=\"x} 1\n"
      "unknown_escape{a=\"\\t\"} 1\n"
      "digit_first{1a=\"x\"} 1\n"
      "no_comma{a=\"x\" b=\"y\"} 1\n"
      "not_a_number 12abc\n"
      "no_value\n"
      "unquoted{a=x} 1\n"
      "bad_timestamp 1 2x\n"
      "1starts_with_a_digit 1\n"
      "marlobex_capture_frames_total 5\n"
      "cut_short{a=\"");
  ASSERT_EQ(samples.size(), 4u);
  EXPECT_EQ(samples[0].name, "marlobex_capture_open");
  EXPECT_TRUE(samples[0].labels.empty());
  EXPECT_EQ(samples[0].value, 1.0);
  EXPECT_EQ(samples[1].labels, (std::vector<std::pair<std::string, std::string>>{
                                   {"nvr_port", "a\\b\"c\nd"}, {"recorder", ""}}));
  EXPECT_EQ(samples[1].value, 37.0);
  EXPECT_EQ(samples[2].name, "with:colon");
  EXPECT_EQ(samples[2].labels, (std::vector<std::pair<std::string, std::string>>{{"a", "x"}}));
  EXPECT_EQ(samples[2].value, 2500.0);
  EXPECT_EQ(samples[3].name, "marlobex_capture_frames_total");
  EXPECT_EQ(samples[3].value, 5.0);
}

// The daemon's own writer against this reader: every name and label the judgement needs.
TEST(StatusTest, ReadsWhatTheDaemonWrites) {
  test::log_directory();
  IoService io;
  TerminalServer holder(io, "", "abc");  // holds a port the system picked
  const std::string held = std::to_string(holder.local_port());
  TerminalTable terminals;
  terminals.emplace("1", std::unique_ptr<TerminalLink>(
                             new TerminalLink(io, "10.0.0.1", "", "", "9100", "127.0.0.1", "0")));
  terminals.emplace("2", std::unique_ptr<TerminalLink>(
                             new TerminalLink(io, "10.0.0.2", "10.0.0.9", "5", "9200", "", held)));
  const unsigned char payload[] = "RECEIPT";
  terminals.at("1")->server->send_payload(payload, 7, 1765000100);
  CaptureSource capture("10.0.0.9", nullptr);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  ASSERT_TRUE(write_counters(out, CountersView{1765000000, capture, terminals}));
  std::fclose(out);
  const Counters counters = read_counters(parse_metrics(std::string(text, size)));
  std::free(text);

  EXPECT_EQ(counters.start_time, 1765000000);
  EXPECT_FALSE(counters.capture_open);
  ASSERT_EQ(counters.links.size(), 2u);
  const LinkCounts& first = counters.links[0];
  EXPECT_EQ(first.name(), "port 0 (10.0.0.1:::9100)");
  EXPECT_EQ(first.recorder, "127.0.0.1");
  EXPECT_TRUE(first.listening);
  EXPECT_FALSE(first.recorder_connected);
  EXPECT_EQ(first.frames, 1u);
  EXPECT_EQ(first.payload_bytes, 7u);
  EXPECT_EQ(first.dropped[0], 1u);
  EXPECT_EQ(first.last_payload, 1765000100);
  EXPECT_EQ(counters.links[1].name(), "port " + held + " (10.0.0.2:5:10.0.0.9:9200)");
  EXPECT_FALSE(counters.links[1].listening);
  std::vector<std::string> problems;
  for (const Problem& problem : judge_counters(counters, nullptr, 0, 1765000200, 0)) {
    problems.push_back(std::to_string(problem.level) + " " + problem.text);
  }
  EXPECT_EQ(problems, (std::vector<std::string>{
                          "2 the capture adapter is not open: nothing is relayed (see the log)",
                          "1 port 0 (10.0.0.1:::9100) has no recorder connected from 127.0.0.1",
                          "1 port " + held + " (10.0.0.2:5:10.0.0.9:9200) is not listening: another "
                          "program holds the port, or its server stopped (see the log)"}));
}

TEST(StatusTest, VerdictsOfTheCounters) {
  const std::time_t now = 1765003600;
  Counters healthy;
  healthy.start_time = now - 3600;
  healthy.capture_open = true;
  healthy.links.emplace_back();
  LinkCounts& base = healthy.links.back();
  base.nvr_port = "4001";
  base.recorder = "127.0.0.1";
  base.src_address = "10.0.0.1";
  base.dst_port = "9100";
  base.listening = base.recorder_connected = true;
  base.last_payload = now - 1800;
  base.dropped[1] = 5;
  const std::string link = "1 port 4001 (10.0.0.1:::9100)";
  struct Case {
    const char* what;
    long age;
    long quiet;
    bool with_before;
    void (*change)(LinkCounts& latest, Counters& all);
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"all well, with an earlier sample", 30, 30, true, [](LinkCounts&, Counters&) {}, {}},
      {"a file written 31 s ago says nothing more", 31, 0, false,
       [](LinkCounts& l, Counters& c) { l.listening = c.capture_open = false; },
       {"2 the counters file was written 31 s ago: the daemon has not replaced it for more than 30 s"}},
      {"capture closed", 0, 0, false, [](LinkCounts&, Counters& c) { c.capture_open = false; },
       {"2 the capture adapter is not open: nothing is relayed (see the log)"}},
      {"port held by another process", 0, 0, false,
       [](LinkCounts& l, Counters&) { l.listening = l.recorder_connected = false; },
       {link + " is not listening: another program holds the port, or its server stopped (see the log)"}},
      {"no recorder", 0, 0, false, [](LinkCounts& l, Counters&) { l.recorder_connected = false; },
       {link + " has no recorder connected from 127.0.0.1"}},
      {"no recorder configured", 0, 0, false,
       [](LinkCounts& l, Counters&) {
         l.recorder_connected = false;
         l.recorder.clear();
       },
       {"1 port 4001 (10.0.0.1:::9100) has no recorder connected (no NVR Address configured)"}},
      {"drops grew", 0, 0, true,
       [](LinkCounts& l, Counters&) {
         l.dropped[1] += 2;
         l.dropped[2] += 1;
       },
       {link + " is dropping payloads: slow_recorder 2, write_failed 1 since the previous sample"}},
      {"drops grew, but no earlier sample", 0, 0, false,
       [](LinkCounts& l, Counters&) { l.dropped[1] += 2; }, {}},
      {"quiet longer than allowed", 0, 29, false, [](LinkCounts&, Counters&) {},
       {link + " has carried no payload for 30 minutes"}},
      {"no payload since a start 61 minutes ago", 0, 60, false,
       [](LinkCounts& l, Counters& c) {
         l.last_payload = 0;
         c.start_time -= 60;
       },
       {link + " has carried no payload for 61 minutes, since the start"}},
      {"quiet without a recorder is not judged as quiet", 0, 1, false,
       [](LinkCounts& l, Counters&) { l.recorder_connected = false; },
       {link + " has no recorder connected from 127.0.0.1"}},
  };
  for (const Case& c : cases) {
    Counters latest = healthy;
    c.change(latest.links[0], latest);
    std::vector<std::string> problems;
    for (const Problem& problem :
         judge_counters(latest, c.with_before ? &healthy : nullptr, c.age, now, c.quiet)) {
      problems.push_back(std::to_string(problem.level) + " " + problem.text);
    }
    EXPECT_EQ(problems, c.expected) << c.what;
  }
}

TEST(StatusTest, LockHolderAndLogEvents) {
  test::ScratchDirectory scratch;
  const std::string lock = scratch.path() + "Marlobex.lock";
  EXPECT_EQ(lock_holder(lock), -1);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0640);
    ::lockf(fd, F_TLOCK, 0);
    ::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  EXPECT_EQ(lock_holder(lock), child);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(lock_holder(lock), 0);
  ::close(ready[0]);
  ::close(ready[1]);

  const std::string log =
      "[ 2026-Dec-07 06:00:00 ] ------ Starting Marlobex version 1.2.6.72482\n"
      "[ 2026-Dec-07 06:00:00 ] Creating terminal connection: 127.0.0.1:4001\n"
      "[ 2026-Dec-07 06:00:01 ] Accepted connection from NVR address: 127.0.0.1 Port: 4001\n"
      "[ 2026-Dec-07 06:00:02 ] Rejected connection from address: 127.0.0.2 on port 4001\n"
      "[ 2026-Dec-07 06:00:03 ] Terminal port 127.0.0.1:4001 Write failed: Broken pipe\n";
  EXPECT_EQ(recent_log_events(log, 2),
            (std::vector<std::string>{
                "[ 2026-Dec-07 06:00:02 ] Rejected connection from address: 127.0.0.2 on port 4001",
                "[ 2026-Dec-07 06:00:03 ] Terminal port 127.0.0.1:4001 Write failed: Broken pipe"}));
  EXPECT_EQ(recent_log_events(log, 10).size(), 4u);
}

// A recorder's port on loopback that sends `bytes` to the first connection and closes it.
class OneShotPort {
 public:
  explicit OneShotPort(const std::string& bytes) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    sender_ = std::thread([this, bytes] {
      pollfd waiter{listener_, POLLIN, 0};
      if (::poll(&waiter, 1, 10000) != 1) return;
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      ::close(fd);
    });
  }
  ~OneShotPort() {
    if (sender_.joinable()) sender_.join();
    ::close(listener_);
  }
  unsigned port() const { return port_; }

 private:
  int listener_ = -1;
  unsigned port_ = 0;
  std::thread sender_;
};

TEST(RecorderTest, PrintsControlBytesEscapedUnlessRaw) {
  const std::string forged = "TOTAL 2.50\r\n\x1b]0;owned\x07\x1b[2J\tCAF\xC3\x89\x7f\n";
  const std::string recorder = std::string(MARLOBEX_BINARY_DIR) + "/tools/Marlobex-recorder 127.0.0.1 ";
  int status = -1;
  std::string output;
  {
    OneShotPort port(forged);
    ASSERT_NE(port.port(), 0u);
    output = run_tool(recorder + std::to_string(port.port()) + " 2>/dev/null", status);
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, "TOTAL 2.50\\x0D\n\\x1B]0;owned\\x07\\x1B[2J\tCAF\\xC3\\x89\\x7F\n");
  {
    OneShotPort port(forged);
    output = run_tool(recorder + std::to_string(port.port()) + " --raw 2>/dev/null", status);
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(output, forged);
  run_tool(recorder + "4001 --raw --hex 2>/dev/null", status);
  EXPECT_EQ(status, 2);
}

TEST(HexDumpTest, LinesOfSixteenAcrossPieces) {
  std::ostringstream out;
  HexDump dump(out);
  const std::string text = "TOTAL 2.50\nCASH\x01 5.00\n";
  dump.add(reinterpret_cast<const unsigned char*>(text.data()), 5);
  dump.add(reinterpret_cast<const unsigned char*>(text.data()) + 5, text.size() - 5);
  dump.finish();
  EXPECT_EQ(out.str(),
            "00000000  54 4f 54 41 4c 20 32 2e  35 30 0a 43 41 53 48 01  |TOTAL 2.50.CASH.|\n"
            "00000010  20 35 2e 30 30 0a                                 | 5.00.|\n");
}

}  // namespace
}  // namespace marlobex
