#pragma once

#include <cstring>
#include <iostream>

namespace marlobex {

/// "--help" or "-h" as the only argument.
inline bool asks_for_help(int argc, char** argv) {
  return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}

/// Reads a tool's arguments with `parse(argc, argv, options)`. Returns the status to end with at
/// once (0 after printing the usage for --help, `usage_status` after printing it to standard
/// error for arguments that `parse` refuses), or -1 to go on.
template <class Options, class Parse>
int read_tool_options(int argc, char** argv, const char* usage, int usage_status, Options& options,
                      Parse parse) {
  if (asks_for_help(argc, argv)) {
    std::cout << usage;
    return 0;
  }
  if (!parse(argc, argv, options)) {
    std::cerr << usage;
    return usage_status;
  }
  return -1;
}

}  // namespace marlobex
