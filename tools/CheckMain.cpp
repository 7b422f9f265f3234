// Marlobex-check [FILE]: what the daemon would make of a configuration file, and why.
#include "capture/CaptureAdapter.h"
#include "config/Configuration.h"
#include "tools/ConfigurationCheck.h"

#include <cstring>
#include <iostream>

namespace {

const char* const kUsage =
    "Usage: Marlobex-check [FILE]\n"
    "Loads FILE (default: the installed Marlobex.xml) with the daemon's own code, without binding\n"
    "or capturing, prints the links it would build in key order and one line per finding.\n"
    "Exit status: 0 everything configured is relayed, 1 warnings, 2 the daemon would not start.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    (argc > 2 ? std::cerr : std::cout) << kUsage;
    return argc > 2 ? 2 : 0;
  }
  const std::string path = argc == 2 ? argv[1] : marlobex::configuration_path();
  std::string error;
  std::vector<marlobex::CaptureDevice> devices = marlobex::list_capture_devices(error);
  if (!error.empty()) std::cerr << "Marlobex-check: cannot list the adapters: " << error << "\n";
  const marlobex::CheckReport report = marlobex::check_configuration_file(path, std::move(devices));
  std::cout << marlobex::format_check_report(report);
  return report.exit_status();
}
