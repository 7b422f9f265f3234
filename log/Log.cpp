#include "log/Log.h"

#include "log/InstallDirectory.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <iostream>
#include <sstream>

namespace marlobex {

Log& Log::instance() {
  // A function-local static is created exactly once, even with several threads calling;
  // a failed creation (no mutex) is tried again by the next call.
  static Log log(kInstallDirectory);
  return log;
}

Log::Log(const std::string& directory)
    : log_path_(directory + kLogFile), old_path_(directory + kOldLogFile) {}

void Log::use_directory(const std::string& directory) {
  boost::mutex::scoped_lock lock(mutex_);
  file_.close();
  log_path_ = directory + kLogFile;
  old_path_ = directory + kOldLogFile;
}

Log::~Log() {
  boost::mutex::scoped_lock lock(mutex_);
  file_.close();
}

std::ostream& Log::line() {
  boost::mutex::scoped_lock lock(mutex_);
  // A stream that failed (a full disk, a removed file system) would swallow every later line, and
  // a file renamed or removed under the daemon (an outside rotation, an "rm") would take every
  // later line where nobody looks: close it and start again from a fresh open of the path.
  if (file_.is_open() && (!stream_.good() || !path_names_open_file())) file_.close();
  if (!file_.is_open()) open_for_append();
  // The size of the file written to, not of whatever the path names, nor the stream's own count:
  // the file may have been appended to before it was opened, or truncated since.
  if (file_.is_open() && open_file_size() > kRotateAbove) rotate();
  const std::string prefix = stamp_prefix();
  if (file_.is_open()) {
    stream_ << prefix;
    return stream_;
  }
  std::cout << prefix;
  return std::cout;
}

// False when the path is gone or names another file than the one open. Any other failure to look
// (a directory without search permission) keeps the open file: reopening could only fail.
bool Log::path_names_open_file() const {
  struct stat at_path {};
  if (::stat(log_path_.c_str(), &at_path) != 0) return errno != ENOENT && errno != ENOTDIR;
  struct stat open {};
  if (::fstat(file_.descriptor(), &open) != 0) return false;
  return at_path.st_dev == open.st_dev && at_path.st_ino == open.st_ino;
}

std::int64_t Log::open_file_size() {
  stream_.flush();
  struct stat open {};
  if (::fstat(file_.descriptor(), &open) != 0) return 0;
  return static_cast<std::int64_t>(open.st_size);
}

void Log::open_for_append() {
  stream_.clear();
  file_.open(log_path_, false);
}

void Log::open_truncated() {
  stream_.clear();
  file_.open(log_path_, true);
}

void Log::rotate() {
  file_.close();
  boost::system::error_code error;
  boost::filesystem::remove(old_path_, error);
  if (!error) boost::filesystem::rename(log_path_, old_path_, error);
  if (error) {
    // The old generation cannot be replaced: keep writing to the unrotated file and try again at
    // the next line. The reason goes into the file once per episode.
    open_for_append();
    if (file_.is_open() && !rotation_failing_) {
      stream_ << stamp_prefix() << "Log rotation failed: " << error.message() << std::endl;
    }
    rotation_failing_ = true;
    return;
  }
  rotation_failing_ = false;
  open_truncated();
}

std::string Log::stamp_prefix() {
  // to_simple_string spells the month in English whatever the locale: 2011-Feb-03 14:07:09.
  std::ostringstream prefix;
  prefix << "[ " << boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time())
         << " ] ";
  return prefix.str();
}

void append_hex_escape(std::string& out, unsigned char byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

std::string escape_control(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else {
      append_hex_escape(out, byte);
    }
  }
  return out;
}

}  // namespace marlobex
