#include "tests/support/TestSupport.h"

#include "log/Log.h"

#include <boost/filesystem.hpp>


#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace marlobex::test {

ScratchDirectory::ScratchDirectory() {
  char pattern[] = "/tmp/marlobex-test-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(pattern) + "/";
}

ScratchDirectory::~ScratchDirectory() {
  boost::system::error_code ignored;
  boost::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}


const std::string& log_directory() {
  static ScratchDirectory directory;
  [[maybe_unused]] static const bool moved = (Log::instance().use_directory(directory.path()), true);
  return directory.path();
}

}  // namespace marlobex::test
