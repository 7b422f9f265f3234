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

// Writes one line; the log file's whole text.
std::string log_line(Log& log, const std::string& message) {
  log.line() << message << std::endl;
  return read_file(log.log_path());
}

class LogTest : public testing::Test {
 protected:
  ScratchDirectory dir_;
  Log log_{dir_.path()};
};

TEST_F(LogTest, LocalTimeStampAndReopening) {
  Log log(dir_.path() + "later/");
  // Without its directory the log writes to standard output, and tries the file again at each line.
  testing::internal::CaptureStdout();
  log.line() << "lost" << std::endl;
  EXPECT_EQ("lost\n", unstamped(testing::internal::GetCapturedStdout()));
  ASSERT_TRUE(fs::create_directory(dir_.path() + "later/"));

  // The stamp is local time with the month in English (no other test here depends on the zone); the
  // second may turn between the clock read here and the log's.
  setenv("TZ", "XYZ-5", 1);
  tzset();
  const auto stamped = [](std::time_t t) {
    std::tm local{};
    char text[64];
    std::strftime(text, sizeof text, "[ %Y-%b-%d %H:%M:%S ] hello\n", localtime_r(&t, &local));
    return std::string(text);
  };
  const std::string before = stamped(std::time(nullptr));
  const std::string content = log_line(log, "hello");
  EXPECT_EQ(content == before ? before : stamped(std::time(nullptr)), content);

  // A stream that failed is closed, and the next line opens the file again (two stamps follow: the
  // failed line's, then this one's).
  log.line().setstate(std::ios::badbit);
  EXPECT_EQ("after\n", unstamped(log_line(log, "after").substr(content.size())));
}

TEST_F(LogTest, RotatesOnlyPastTheLimitAndKeepsOneOlderGeneration) {
  // Exactly at the limit: the line is appended, nothing rotated.
  const std::string exact(Log::kRotateAbove, 'x');
  write_file(log_.log_path(), exact);
  EXPECT_EQ(exact + "at\n", unstamped(log_line(log_, "at")));
  EXPECT_FALSE(fs::exists(log_.old_path()));
  // One byte past (the open file rewritten in place): the next line rotates first.
  write_file(log_.log_path(), exact + "y");
  EXPECT_EQ("past\n", unstamped(log_line(log_, "past")));
  EXPECT_EQ(exact + "y", read_file(log_.old_path()));
  // The next rotation replaces the older generation: there is never a third file.
  const std::string full = log_line(log_, exact);
  EXPECT_EQ("again\n", unstamped(log_line(log_, "again")));
  EXPECT_EQ(full, read_file(log_.old_path()));
  EXPECT_EQ(2, std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()));
}

TEST_F(LogTest, FailedRotationIsReportedOncePerEpisode) {
  const std::string over(Log::kRotateAbove + 1, 'z');
  for (int episode = 0; episode < 2; ++episode) {
    // The older generation cannot be replaced (a directory that is not empty): the lines go on into
    // the unrotated file.
    write_file(log_.log_path(), over);
    fs::remove_all(log_.old_path());
    ASSERT_TRUE(fs::create_directories(log_.old_path() + "/keep"));
    log_.line() << "one" << std::endl;
    const std::string content = log_line(log_, "two");
    EXPECT_EQ(over + "Log rotation failed: " + std::strerror(ENOTEMPTY) + "\none\ntwo\n", unstamped(content));
    // Once the obstacle is gone, the next line rotates and the episode ends.
    fs::remove_all(log_.old_path());
    EXPECT_EQ("three\n", unstamped(log_line(log_, "three")));
    EXPECT_EQ(content, read_file(log_.old_path()));
  }
}

TEST_F(LogTest, FollowsItsPathWhenRenamedRemovedOrTruncated) {
  log_.line() << "one" << std::endl;
  // Renamed, or removed: the next line creates the file again.
  fs::rename(log_.log_path(), dir_.path() + "Marlobex.log.1");
  EXPECT_EQ("two\n", unstamped(log_line(log_, "two")));
  EXPECT_EQ("one\n", unstamped(read_file(dir_.path() + "Marlobex.log.1")));
  fs::remove(log_.log_path());
  EXPECT_EQ("three\n", unstamped(log_line(log_, "three")));
  // Truncated in place ("copytruncate"): the next line is written at the new end, with no hole.
  fs::resize_file(log_.log_path(), 0);
  EXPECT_EQ("four\n", unstamped(log_line(log_, "four")));
}

TEST_F(LogTest, ControlBytesOfATextAreWrittenAsHex) {
  EXPECT_EQ(marlobex::escape_control(std::string("a\n\r\t\x1b[2J\x7f\0z\x80\xff", 13)),
            "a\\x0A\\x0D\\x09\\x1B[2J\\x7F\\x00z\x80\xff");
}

}  // namespace
