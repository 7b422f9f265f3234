#pragma once

#include <string>

namespace marlobex::test {

/// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  /// The directory, ending with "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// The whole content of a file, or the empty text when it cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);


/// The directory of the process log in tests: a scratch directory made at the first call, where
/// Log::instance() writes from then on. Removed when the test program ends.
const std::string& log_directory();

}  // namespace marlobex::test
