#pragma once

#include <string>

namespace marlobex {

/// Exit status of a run that ended through an unexpected exception, so that a supervisor sees it.
constexpr int kExceptionStatus = 255;

/// The run sequence: daemon start-up, banner, configuration, capture adapter, relay servers and
/// the main loop. Returns the process exit status; start-up failures end the process themselves.
int run(const std::string& file_argument);

}  // namespace marlobex
