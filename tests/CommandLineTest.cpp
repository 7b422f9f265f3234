#include "app/CommandLine.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace marlobex
