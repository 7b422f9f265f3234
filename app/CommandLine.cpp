#include "app/CommandLine.h"

#include "app/Run.h"

#include <iostream>

namespace marlobex {

CommandLine parse_command_line(int argc, const char* const* argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) {
    text += argv[i];
    text += ' ';
  }
  CommandLine line;
  line.usage = text.find('?') != std::string::npos;
  const std::string::size_type flag = text.find("-f ");
  if (flag != std::string::npos) {
    const std::string::size_type start = flag + 3;
    line.file_argument = text.substr(start, text.find(' ', start) - start);
  }
  return line;
}

int marlobex_main(int argc, const char* const* argv) {
  const CommandLine line = parse_command_line(argc, argv);
  if (line.usage) {
    std::cout << kUsageText << std::flush;
    return 0;
  }
  return run(line.file_argument);
}

}  // namespace marlobex
