#include "log/Log.h"

#include "tests/support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale>
#include <regex>
#include <string>

namespace {

using marlobex::Log;
using marlobex::test::read_file;
using marlobex::test::ScratchDirectory;
using marlobex::test::write_file;

namespace fs = boost::filesystem;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const std::string kStamp =
    R"(\[ (\d{4})-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-(\d{2}) (\d{2}):(\d{2}):(\d{2}) \] )";

// True when `text` is exactly one stamped line carrying `message`.
bool is_line(const std::string& text, const std::string& message) {
  return std::regex_match(text, std::regex("^" + kStamp + message + "\n$"));
}

// The seconds of the day stamped on a single line.
int seconds_of_day(const std::string& text) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(kStamp))) return -1;
  return std::stoi(m[4]) * 3600 + std::stoi(m[5]) * 60 + std::stoi(m[6]);
}

std::string month_of(const std::string& text) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(kStamp)) ? m[2].str() : std::string();
}

std::string current_month() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return kMonths[tm.tm_mon];
}

// The text with the stamp removed from the start of every line; empty if a line lacks one.
std::string unstamped(const std::string& text) {
  const std::regex stamp("^" + kStamp);
  std::string out;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(begin, end - begin);
    std::smatch m;
    if (!std::regex_search(line, m, stamp)) return std::string();
    out += m.suffix().str();
    begin = end;
  }
  return out;
}

std::string log_line(Log& log, const std::string& message) {
  log.line() << message << std::endl;
  return read_file(log.log_path());
}

TEST(LogTest, LineFormatTimeZoneLocaleAndStreams) {
  ScratchDirectory dir;
  {
    Log log(dir.path());
    EXPECT_EQ(dir.path() + "Marlobex.log", log.log_path());
    EXPECT_EQ(dir.path() + "Marlobex.log.old", log.old_path());
    // Nothing exists before the first line.
    EXPECT_FALSE(fs::exists(log.log_path()));
    const std::string content = log_line(log, "hello");
    EXPECT_TRUE(is_line(content, "hello")) << content;
    EXPECT_FALSE(fs::exists(log.old_path()));
    // A newline inside a message gives a physical line without a stamp.
    log.line() << "first\nsecond" << std::endl;
    const std::string all = read_file(log.log_path());
    const std::string tail = all.substr(content.size());
    EXPECT_TRUE(std::regex_match(tail, std::regex("^" + kStamp + "first\nsecond\n$"))) << tail;
    // A failed stream is closed and the next line reopens the file.
    log.line().setstate(std::ios::badbit);
    std::ostream& again = log.line();
    again << "after" << std::endl;
    EXPECT_TRUE(again.good());
    const std::string more = read_file(log.log_path()).substr(all.size());
    EXPECT_TRUE(std::regex_match(more, std::regex("^" + kStamp + kStamp + "after\n$"))) << more;
  }

  // The time zone is honoured.
  const char* saved_tz = std::getenv("TZ");
  const std::string saved = saved_tz ? saved_tz : "";
  {
    ScratchDirectory utc_dir;
    ScratchDirectory east_dir;
    Log utc(utc_dir.path());
    Log east(east_dir.path());
    setenv("TZ", "UTC0", 1);
    tzset();
    const std::string a = log_line(utc, "hello");
    setenv("TZ", "XYZ-5", 1);
    tzset();
    const std::string b = log_line(east, "hello");
    ASSERT_TRUE(is_line(a, "hello")) << a;
    ASSERT_TRUE(is_line(b, "hello")) << b;
    const int delta = ((seconds_of_day(b) - seconds_of_day(a) - 5 * 3600) % 86400 + 86400) % 86400;
    EXPECT_LE(delta, 2) << a << b;
  }
  if (saved_tz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();

  // The month is English whatever the locale.
  const std::string before = current_month();
  std::string locales[] = {"C", "de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"};
  int tried = 0;
  for (const std::string& name : locales) {
    if (!std::setlocale(LC_ALL, name.c_str())) continue;
    try {
      std::locale::global(std::locale(name.c_str()));
    } catch (const std::exception&) {
      std::locale::global(std::locale::classic());
    }
    ++tried;
    ScratchDirectory ldir;
    Log log(ldir.path());
    const std::string content = log_line(log, "hello");
    EXPECT_TRUE(is_line(content, "hello")) << name << ": " << content;
    const std::string month = month_of(content);
    EXPECT_TRUE(month == before || month == current_month()) << name << ": " << content;
  }
  std::setlocale(LC_ALL, "C");
  std::locale::global(std::locale::classic());
  EXPECT_GE(tried, 1);
  if (tried == 1) std::cout << "[ INFO ] no non-English locale installed; only \"C\" checked\n";
}

TEST(LogTest, RotationBoundaryAndGenerations) {
  const std::string exact(Log::kRotateAbove, 'x');
  const std::string over(Log::kRotateAbove + 1, 'y');
  {
    // Exactly at the limit: the line is appended, nothing rotated.
    ScratchDirectory dir;
    Log log(dir.path());
    write_file(log.log_path(), exact);
    const std::string content = log_line(log, "new");
    ASSERT_GT(content.size(), exact.size());
    EXPECT_EQ(exact, content.substr(0, exact.size()));
    EXPECT_TRUE(is_line(content.substr(exact.size()), "new"));
    EXPECT_FALSE(fs::exists(log.old_path()));
  }
  {
    // One byte past the limit when first opened: the first line rotates.
    ScratchDirectory dir;
    Log log(dir.path());
    write_file(log.log_path(), over);
    const std::string content = log_line(log, "new");
    EXPECT_TRUE(is_line(content, "new")) << content.size();
    EXPECT_EQ(over, read_file(log.old_path()));
  }
  {
    // Two rotations: only the newest old generation is kept.
    ScratchDirectory dir;
    Log log(dir.path());
    write_file(log.log_path(), over);
    const std::string first = log_line(log, "first");
    EXPECT_TRUE(is_line(first, "first"));
    EXPECT_EQ(over, read_file(log.old_path()));
    const std::string big(Log::kRotateAbove, 'b');
    const std::string grown = log_line(log, big);
    EXPECT_EQ("first\n" + big + "\n", unstamped(grown));
    EXPECT_EQ(over, read_file(log.old_path()));
    const std::string third = log_line(log, "third");
    EXPECT_TRUE(is_line(third, "third")) << third.size();
    EXPECT_EQ(grown, read_file(log.old_path()));
    EXPECT_FALSE(fs::exists(dir.path() + "Marlobex.log.old.old"));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
  }
}

TEST(LogTest, MissingDirectoryThenFailedRotation) {
  ScratchDirectory dir;
  {
    // Without the directory, lines go to standard output; each line tries the file again.
    const std::string sub = dir.path() + "later/";
    Log log(sub);
    testing::internal::CaptureStdout();
    log.line() << "lost" << std::endl;
    log.line() << "lost again" << std::endl;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("lost\nlost again\n", unstamped(out)) << out;
    EXPECT_FALSE(fs::exists(sub));
    ASSERT_TRUE(fs::create_directory(sub));
    testing::internal::CaptureStdout();
    const std::string content = log_line(log, "found");
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(is_line(content, "found")) << content;
  }
  {
    // The old generation cannot be replaced: keep writing to the unrotated file, say why once.
    Log log(dir.path());
    const std::string over(Log::kRotateAbove + 1, 'z');
    write_file(log.log_path(), over);
    ASSERT_TRUE(fs::create_directory(log.old_path()));
    write_file(log.old_path() + "/keep", "keep");
    for (const char* message : {"one", "two", "three"}) {
      EXPECT_NO_THROW(log.line() << message << std::endl);
    }
    const std::string content = read_file(log.log_path());
    ASSERT_GT(content.size(), over.size());
    EXPECT_EQ(over, content.substr(0, over.size()));
    const std::string rest = content.substr(over.size());
    EXPECT_EQ("Log rotation failed: " + std::string(std::strerror(ENOTEMPTY)) + "\none\ntwo\nthree\n",
              unstamped(rest))
        << rest;
    EXPECT_EQ("keep", read_file(log.old_path() + "/keep"));
    // Once the obstacle is gone, the next line rotates.
    fs::remove_all(log.old_path());
    const std::string fresh = log_line(log, "four");
    EXPECT_TRUE(is_line(fresh, "four")) << fresh.size();
    EXPECT_EQ(content, read_file(log.old_path()));
  }
}

TEST(LogTest, FollowsItsPathWhenRenamedRemovedOrTruncated) {
  ScratchDirectory dir;
  Log log(dir.path());
  const std::string rotated = dir.path() + "Marlobex.log.1";
  ASSERT_TRUE(is_line(log_line(log, "one"), "one"));
  // An outside rotation ("create"): renamed, then a new empty file at the path.
  fs::rename(log.log_path(), rotated);
  write_file(log.log_path(), "");
  EXPECT_TRUE(is_line(log_line(log, "two"), "two"));
  EXPECT_TRUE(is_line(read_file(rotated), "one"));
  // Renamed without a new file: the next line creates one.
  fs::remove(rotated);
  fs::rename(log.log_path(), rotated);
  EXPECT_TRUE(is_line(log_line(log, "three"), "three"));
  EXPECT_TRUE(is_line(read_file(rotated), "two"));
  // Removed: the next line creates the file again, with mode 0640 at most.
  fs::remove(log.log_path());
  EXPECT_TRUE(is_line(log_line(log, "four"), "four"));
  struct stat st {};
  ASSERT_EQ(::stat(log.log_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0137, 0u) << std::oct << st.st_mode;
  // Truncated in place ("copytruncate"): the next line is written at the new end, with no hole.
  ASSERT_EQ(::truncate(log.log_path().c_str(), 0), 0);
  EXPECT_TRUE(is_line(log_line(log, "five"), "five"));

  // The size that decides the rotation is the open file's: a large file appearing at the path is
  // opened first, then rotated; a file truncated below the limit is not rotated.
  const std::string over(Log::kRotateAbove + 1, 'o');
  fs::remove(log.log_path());
  write_file(log.log_path(), over);
  EXPECT_TRUE(is_line(log_line(log, "six"), "six"));
  EXPECT_EQ(over, read_file(log.old_path()));
  log.line() << std::string(Log::kRotateAbove, 'g') << std::endl;
  ASSERT_EQ(::truncate(log.log_path().c_str(), 10), 0);
  const std::string kept = read_file(log.log_path());
  const std::string after = log_line(log, "seven");
  EXPECT_EQ(kept, after.substr(0, kept.size()));
  EXPECT_TRUE(is_line(after.substr(kept.size()), "seven"));
  EXPECT_EQ(over, read_file(log.old_path()));
  EXPECT_EQ(3, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(LogTest, ControlBytesOfATextAreWrittenAsHex) {
  EXPECT_EQ(marlobex::escape_control("4003"), "4003");
  EXPECT_EQ(marlobex::escape_control(std::string("a\n\r\t\x1b[2J\x7f\0z\x80\xff", 13)),
            "a\\x0A\\x0D\\x09\\x1B[2J\\x7F\\x00z\x80\xff");
  EXPECT_EQ(marlobex::escape_control(""), "");
}

}  // namespace
