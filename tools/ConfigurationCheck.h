#pragma once

#include "capture/CaptureAdapter.h"
#include "config/Configuration.h"

#include <string>
#include <vector>

namespace marlobex {

/// What the checking tool found about one configuration file.
struct Finding {
  enum class Severity { Warning, Error };
  Severity severity;
  std::string code;  ///< stable: "W10", "E03", ...
  int line;          ///< of the element concerned in the file; 0 when none
  std::string text;
};

/// A link the daemon would build, with the line of its Terminal element.
struct CheckedLink {
  TerminalEntry entry;
  int line = 0;
  unsigned short port = 0;  ///< the port its server listens on
};

struct CheckReport {
  std::string path;
  bool loaded = false;
  std::string adapter_address;
  const CaptureDevice* adapter = nullptr;  ///< into `devices`
  std::vector<CaptureDevice> devices;
  std::vector<CheckedLink> links;  ///< in key order, the order of the match
  std::vector<Finding> findings;

  /// 0: everything configured is relayed; 1: warnings; 2: the daemon would not start.
  int exit_status() const;
};

/// Checks a loaded document against the given capture devices, with the daemon's own pass.
CheckReport check_configuration(const TiXmlElement* root, std::vector<CaptureDevice> devices);

/// Loads `path` as the daemon does and checks it.
CheckReport check_configuration_file(const std::string& path, std::vector<CaptureDevice> devices);

/// The tables and one line per finding, as the tool prints them.
std::string format_check_report(const CheckReport& report);

/// Texts in the only forms the daemon can ever match: dotted decimal without leading zeros, and a
/// decimal port without leading zeros. Empty when fine, otherwise why not.
std::string address_form_problem(const std::string& text);
std::string port_form_problem(const std::string& text);

}  // namespace marlobex
