// Marlobex-check [FILE]: what the daemon would make of a configuration file, and why.
#include "capture/CaptureAdapter.h"
#include "config/Configuration.h"
#include "tools/ConfigurationCheck.h"
#include "tools/ToolOptions.h"

#include <cstring>
#include <iostream>

namespace {

const char* const kUsage =
    "Usage: Marlobex-check [FILE]\n"
    "Loads FILE (default: the installed Marlobex.xml) with the daemon's own code, without binding\n"
    "or capturing, prints the links it would build in key order and one line per finding.\n"
    "Exit status: 0 everything configured is relayed, 1 warnings, 2 the daemon would not start.\n";

bool parse(int argc, char** argv, std::string& path) {
  if (argc > 2) return false;
  path = argc == 2 ? argv[1] : marlobex::configuration_path();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  const int early = marlobex::read_tool_options(argc, argv, kUsage, 2, path, parse);
  if (early >= 0) return early;
  std::string error;
  std::vector<marlobex::CaptureDevice> devices = marlobex::list_capture_devices(error);
  if (!error.empty()) std::cerr << "Marlobex-check: cannot list the adapters: " << error << "\n";
  const marlobex::CheckReport report = marlobex::check_configuration_file(path, std::move(devices));
  std::cout << marlobex::format_check_report(report);
  return report.exit_status();
}
