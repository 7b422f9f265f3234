#include "log/Log.h"

#include "tests/support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

namespace {

using marlobex::Log;
using marlobex::test::read_file;
using marlobex::test::ScratchDirectory;
using marlobex::test::write_file;

namespace fs = boost::filesystem;

// The text without the stamps of its lines.
std::string unstamped(const std::string& text) {
  return std::regex_replace(text, std::regex(R"(\[ \d{4}-[A-Z][a-z]{2}-\d{2} \d{2}:\d{2}:\d{2} \] )"), "");
}

std::string log_line(Log& log, const std::string& message) {
  log.line() << message << std::endl;
  return read_file(log.log_path());
}

TEST(LogTest, LocalTimeStampAndReopening) {
  ScratchDirectory dir;
  Log log(dir.path() + "later/");
  // Without its directory the log writes to standard output, and tries the file again at each line.
  testing::internal::CaptureStdout();
  log.line() << "lost" << std::endl;
  EXPECT_EQ("lost\n", unstamped(testing::internal::GetCapturedStdout()));
  ASSERT_TRUE(fs::create_directory(dir.path() + "later/"));

  // The stamp is local time with the month in English (no other test here depends on the zone).
  setenv("TZ", "XYZ-5", 1);
  tzset();
  const std::time_t before = std::time(nullptr);
  const std::string content = log_line(log, "hello");
  std::string expected;
  for (const std::time_t t : {before, std::time(nullptr)}) {
    std::tm local{};
    char text[64];
    std::strftime(text, sizeof text, "[ %Y-%b-%d %H:%M:%S ] hello\n", localtime_r(&t, &local));
    expected = text;
    if (content == expected) break;
  }
  EXPECT_EQ(content, expected);

  // A stream that failed is closed, and the next line opens the file again (two stamps follow: the
  // failed line's, then this one's).
  log.line().setstate(std::ios::badbit);
  log.line() << "after" << std::endl;
  EXPECT_EQ("after\n", unstamped(read_file(log.log_path()).substr(content.size())));
}

TEST(LogTest, RotatesOnlyPastTheLimitAndKeepsOneOlderGeneration) {
  ScratchDirectory dir;
  Log log(dir.path());
  // Exactly at the limit: the line is appended, nothing rotated.
  const std::string exact(Log::kRotateAbove, 'x');
  write_file(log.log_path(), exact);
  EXPECT_EQ(exact + "at\n", unstamped(log_line(log, "at")));
  EXPECT_FALSE(fs::exists(log.old_path()));
  // One byte past (the open file rewritten in place): the next line rotates first.
  const std::string over(Log::kRotateAbove + 1, 'y');
  write_file(log.log_path(), over);
  EXPECT_EQ("past\n", unstamped(log_line(log, "past")));
  EXPECT_EQ(over, read_file(log.old_path()));
  // The next rotation replaces the older generation: there is never a third file.
  const std::string full = log_line(log, exact);
  EXPECT_EQ("again\n", unstamped(log_line(log, "again")));
  EXPECT_EQ(full, read_file(log.old_path()));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(LogTest, FailedRotationIsReportedOncePerEpisode) {
  ScratchDirectory dir;
  Log log(dir.path());
  const std::string over(Log::kRotateAbove + 1, 'z');
  for (int episode = 0; episode < 2; ++episode) {
    // The older generation cannot be replaced: the lines go on into the unrotated file.
    write_file(log.log_path(), over);
    fs::remove_all(log.old_path());
    ASSERT_TRUE(fs::create_directory(log.old_path()));
    write_file(log.old_path() + "/keep", "keep");
    log.line() << "one" << std::endl;
    const std::string content = log_line(log, "two");
    EXPECT_EQ(over + "Log rotation failed: " + std::strerror(ENOTEMPTY) + "\none\ntwo\n", unstamped(content));
    // Once the obstacle is gone, the next line rotates and the episode ends.
    fs::remove_all(log.old_path());
    EXPECT_EQ("three\n", unstamped(log_line(log, "three")));
    EXPECT_EQ(content, read_file(log.old_path()));
  }
}

TEST(LogTest, FollowsItsPathWhenRenamedRemovedOrTruncated) {
  ScratchDirectory dir;
  Log log(dir.path());
  const std::string renamed = dir.path() + "Marlobex.log.1";
  log.line() << "one" << std::endl;
  // Renamed, or removed: the next line creates the file again.
  fs::rename(log.log_path(), renamed);
  EXPECT_EQ("two\n", unstamped(log_line(log, "two")));
  EXPECT_EQ("one\n", unstamped(read_file(renamed)));
  fs::remove(log.log_path());
  EXPECT_EQ("three\n", unstamped(log_line(log, "three")));
  // Truncated in place ("copytruncate"): the next line is written at the new end, with no hole.
  fs::resize_file(log.log_path(), 0);
  EXPECT_EQ("four\n", unstamped(log_line(log, "four")));
}

TEST(LogTest, ControlBytesOfATextAreWrittenAsHex) {
  EXPECT_EQ(marlobex::escape_control(std::string("a\n\r\t\x1b[2J\x7f\0z\x80\xff", 13)),
            "a\\x0A\\x0D\\x09\\x1B[2J\\x7F\\x00z\x80\xff");
}

}  // namespace
