#include "log/Log.h"

#include "log/InstallDirectory.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem.hpp>

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
    : directory_(directory),
      log_path_(directory + "Marlobex.log"),
      old_path_(directory + "Marlobex.log.old") {}

Log::~Log() {
  boost::mutex::scoped_lock lock(mutex_);
  if (file_.is_open()) file_.close();
}

std::ostream& Log::line() {
  boost::mutex::scoped_lock lock(mutex_);
  // A stream that failed (a full disk, a removed file system) would swallow every later line:
  // close it and start again from a fresh open.
  if (file_.is_open() && !file_.good()) {
    file_.close();
  }
  if (!file_.is_open()) open_for_append();
  if (file_.is_open()) {
    // The size on disk, not the stream's own count: the file may have been appended to before it
    // was opened, or by somebody else since.
    file_.flush();
    boost::system::error_code error;
    const std::uintmax_t size = boost::filesystem::file_size(log_path_, error);
    if (!error && size > static_cast<std::uintmax_t>(kRotateAbove)) rotate();
  }
  const std::string prefix = stamp_prefix();
  if (file_.is_open()) {
    file_ << prefix;
    return file_;
  }
  std::cout << prefix;
  return std::cout;
}

void Log::open_for_append() {
  file_.clear();
  file_.open(log_path_.c_str(), std::ios::out | std::ios::app);
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
      file_ << stamp_prefix() << "Log rotation failed: " << error.message() << std::endl;
    }
    rotation_failing_ = true;
    return;
  }
  rotation_failing_ = false;
  file_.clear();
  file_.open(log_path_.c_str(), std::ios::out | std::ios::trunc);
}

std::string Log::stamp_prefix() {
  // to_simple_string spells the month in English whatever the locale: 2011-Feb-03 14:07:09.
  std::ostringstream prefix;
  prefix << "[ " << boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time())
         << " ] ";
  return prefix.str();
}

}  // namespace marlobex
