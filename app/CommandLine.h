#pragma once

#include <string>

namespace marlobex {

/// What the command line asks for.
struct CommandLine {
  bool usage = false;         ///< a "?" anywhere: print the usage text and stop
  std::string file_argument;  ///< the word after the first "-f ", or empty
};

/// The usage text, printed without a line end.
constexpr const char kUsageText[] = "Marlobex [-f FILE]";

/// Reads the arguments, the program's path included, as one text of words each followed by a space.
CommandLine parse_command_line(int argc, const char* const* argv);

/// The program: usage text, or the run sequence; returns the process exit status.
int marlobex_main(int argc, const char* const* argv);

}  // namespace marlobex
