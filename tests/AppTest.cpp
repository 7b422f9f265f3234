#include "app/CommandLine.h"
#include "app/CountersFile.h"
#include "app/Daemon.h"
#include "app/ServiceNotifier.h"
#include "tools/Status.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace marlobex {
namespace {

CommandLine parse(std::vector<const char*> argv) {
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

// The words are joined with a space after each: "?" anywhere asks for usage, and the file argument
// is the word after the first "-f " of that text.
TEST(CommandLineTest, UsageAndFileArgumentFromTheJoinedWords) {
  EXPECT_TRUE(parse({"Marlobex", "?"}).usage);
  EXPECT_TRUE(parse({"/opt/what?/Marlobex"}).usage);
  EXPECT_TRUE(parse({"Marlobex", "-f", "a?b"}).usage);
  EXPECT_FALSE(parse({"Marlobex", "-f", "x"}).usage);
  EXPECT_EQ(parse({"Marlobex", "-f", "trace.pcap", "extra"}).file_argument, "trace.pcap");
  // "-f" last is followed only by the closing space: the file argument is empty.
  EXPECT_EQ(parse({"Marlobex", "-f"}).file_argument, "");
  EXPECT_EQ(parse({"Marlobex", "x-f", "name"}).file_argument, "name");
  EXPECT_EQ(parse({"Marlobex", "-f", "one", "-f", "two"}).file_argument, "one");
  EXPECT_EQ(parse({"Marlobex", "-fx", "name"}).file_argument, "");
}

TEST(CountersFileTest, LabelValuesAreCutAndEscapedAndEachWriteReplacesTheWholeFile) {
  test::log_directory();
  test::ScratchDirectory dir;
  IoService io;
  CaptureSource capture("10.0.0.2", nullptr);
  TerminalTable terminals;
  const std::string recorder = "127.0.0.1" + std::string(300, ' ');  // cut in the file
  add_link(terminals, io, TerminalEntry{"10.0.0.1", "", "", "9100", recorder, "0\\\"\n"});
  CountersFile file(dir.path());
  file.write(CountersView{1765000000, capture, terminals});
  const std::string text = test::read_file(file.path());
  const std::string labels =
      "{nvr_port=\"0\\\\\\\"\\n\",recorder=\"" + bounded_label_value(recorder) +
      "\",src_address=\"10.0.0.1\",src_port=\"\","
      "dst_address=\"\",dst_port=\"9100\"}";
  EXPECT_NE(text.find("\nmarlobex_link_listening" + labels + " 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nmarlobex_link_recorder_connected" + labels + " 0\n"), std::string::npos);

  // A reader that opened the file before the next write still reads the whole earlier file.
  std::ifstream reader(file.path(), std::ios::binary);
  file.write(CountersView{1765000001, capture, terminals});
  std::ostringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), text);
  EXPECT_NE(test::read_file(file.path()).find("\nmarlobex_start_time_seconds 1765000001\n"), std::string::npos);

  // The status line sums the same view: a payload without its recorder is a drop.
  terminals.begin()->second->server().send_payload(reinterpret_cast<const unsigned char*>("abc"), 3, 0);
  EXPECT_EQ(status_line(status_totals(CountersView{0, capture, terminals}), nullptr, 0),
            "1 link, 1 listening, 0 recorders connected; 0 payloads relayed, 1 dropped, 0 kernel drops "
            "since the start; adapter closed");

  // The status tool reads back what the daemon writes, by the same names.
  file.write(CountersView{1765000002, capture, terminals});
  const Counters read = read_counters(parse_metrics(test::read_file(file.path())));
  ASSERT_EQ(read.links.size(), 1u);
  const LinkCounts& link = read.links[0];
  EXPECT_EQ(std::tie(read.start_time, link.texts.src_address, link.texts.dst_port, link.texts.nvr_port,
                     link.frames, link.payload_bytes, link.dropped[0], link.listening),
            std::make_tuple(1765000002, "10.0.0.1", "9100", "0\\\"\n", 1u, 3u, 1u, true));
}

// What changed since the earlier totals, counts grouped by thousands, a count of 1 in the singular.
TEST(ServiceNotifierTest, StatusLineCountsWhatChangedSinceTheEarlierTotals) {
  const StatusTotals earlier{12, 12, 11, 1000, 5, 7, true};
  EXPECT_EQ(status_line(StatusTotals{12, 11, 1, 1235567, 5, 8, true}, &earlier, 10),
            "12 links, 11 listening, 1 recorder connected; 1,234,567 payloads relayed, 0 dropped, "
            "1 kernel drop in the last 10 s; adapter open");
}

// 237 bytes of a text are kept when they end on a character; a mark of 19 bytes follows.
TEST(CountersFileTest, LongLabelValuesAreCutWithAMarkAndStayDistinct) {
  const std::string fits(kMaxLabelValueBytes, 'a');
  const std::string mark = "\\.{3}[0-9a-f]{16}";
  EXPECT_EQ(bounded_label_value(fits), fits);
  EXPECT_TRUE(std::regex_match(bounded_label_value(fits + "b"), std::regex(fits.substr(19) + mark)));
  // A two-byte character across the cut goes whole; texts that differ only past the cut stay apart.
  const std::string accented = fits.substr(20) + "\xC3\xA9" + fits;
  EXPECT_TRUE(std::regex_match(bounded_label_value(accented), std::regex(fits.substr(20) + mark)));
  EXPECT_NE(bounded_label_value(accented), bounded_label_value(accented + "b"));
}

// Only a regular file is locked, perhaps behind a symbolic link; a FIFO does not hold the open.
TEST(InstanceLockTest, TakesOnlyARegularFile) {
  test::ScratchDirectory dir;
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_EQ(take_instance_lock(dir.path() + "fifo"), -1);
  test::write_file(dir.path() + "target", "1234567890\n");
  ASSERT_EQ(::symlink("target", (dir.path() + "Marlobex.lock").c_str()), 0);
  const int fd = take_instance_lock(dir.path() + "Marlobex.lock");
  EXPECT_GE(fd, 0);
  EXPECT_EQ(test::read_file(dir.path() + "target"), std::to_string(::getpid()) + "\n");
  ::close(fd);
}

}  // namespace
}  // namespace marlobex
