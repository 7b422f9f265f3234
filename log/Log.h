#pragma once

#include "log/AppendFile.h"

#include <boost/thread/mutex.hpp>

#include <cstdint>
#include <ostream>
#include <string>

namespace marlobex {

/// The one log file of the process, with a local-time stamp on every line and one older generation.
/// The file follows its path: when the path is gone or names another file (an outside rotation, a
/// removal), the next line reopens it.
///
/// Usage, one statement per line:
///   Log::instance().line() << "message " << value << std::endl;
class Log {
 public:
  /// A file is rotated when it has grown strictly past this many bytes.
  static constexpr std::int64_t kRotateAbove = 1048576;

  /// The process-wide log in the installation directory; created on first use, touches no file.
  static Log& instance();

  /// A log writing "Marlobex.log" and "Marlobex.log.old" in `directory` (which ends with "/").
  explicit Log(const std::string& directory);
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  /// Begins one line: opens or reopens the file, rotates it when too large, writes the stamp
  /// prefix and returns the stream for the rest of the line (standard output if no file opens).
  std::ostream& line();

  /// Writes from the next line on in `directory` instead (tests keep the log in a scratch
  /// directory of their own).
  void use_directory(const std::string& directory);

  const std::string& log_path() const { return log_path_; }
  const std::string& old_path() const { return old_path_; }

 private:
  bool path_names_open_file() const;
  std::int64_t open_file_size();
  void open_for_append();
  void open_truncated();
  void rotate();
  static std::string stamp_prefix();

  AppendFile file_;
  std::ostream stream_{&file_};
  std::string log_path_;
  std::string old_path_;
  boost::mutex mutex_;
  // Set while a rotation keeps failing, so that the reason is written once, not on every line.
  bool rotation_failing_ = false;
};

/// `text` with each byte below 0x20, and 0x7F, written as \xHH (two upper-case hex digits): a
/// configured text in a log line can then neither end the line nor carry terminal controls.
std::string escape_control(const std::string& text);

/// Appends `byte` as \xHH (two upper-case hex digits).
void append_hex_escape(std::string& out, unsigned char byte);

}  // namespace marlobex
