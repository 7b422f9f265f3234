#pragma once

#include "config/Configuration.h"
#include "relay/TerminalLink.h"

#include <string>

namespace marlobex {

/// The process's exit statuses, decided by run() alone. Start-up failures have the statuses that
/// sites' supervisors know: -1, -2 and -3 as exit() gives them.
constexpr int kSuccessStatus = 0;
constexpr int kDaemonStartFailedStatus = 1;     ///< the fork, or opening the lock file, failed
constexpr int kConfigurationFailedStatus = 255;  ///< the configuration file was not loaded
constexpr int kNoRootElementStatus = 254;
constexpr int kNoTerminalsStatus = 254;
constexpr int kAdapterNotFoundStatus = 253;    ///< no device list, no device, none holds the address
constexpr int kAdapterFailedStatus = 255;      ///< a capture file asked for, or the device not opened
/// A run that ended through an unexpected exception, so that a supervisor sees it.
constexpr int kExceptionStatus = 255;

/// Fills the tables from the configuration; each accepted Terminal element gets its link at once,
/// whose server logs its creation and listens before the next element is read.
void build_terminal_links(const TiXmlElement* root, IoService& io, RecorderTable& recorders,
                          NvrPortSet& ports, TerminalTable& terminals);

/// The run sequence: daemon start-up, banner, configuration, capture adapter, relay servers and
/// the main loop. Returns the process exit status.
int run(const std::string& file_argument);

}  // namespace marlobex
