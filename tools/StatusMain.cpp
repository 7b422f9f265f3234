// Marlobex-status: is the daemon running, which ports listen, which have their recorder, and what
// the log said lately. Exit status as monitoring expects: 0 OK, 1 warning, 2 critical.
#include "capture/CaptureAdapter.h"
#include "config/Configuration.h"
#include "log/InstallDirectory.h"
#include "tools/ConfigurationCheck.h"
#include "tools/Status.h"
#include "tools/ToolOptions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

const char* const kUsage =
    "Usage: Marlobex-status [-c FILE] [-n LINES]\n"
    "Tells whether the daemon runs (the holder of Marlobex.lock, or the installed Marlobex as a\n"
    "service manager starts it, without the lock), which NvrPorts listen and which have a\n"
    "recorder connected from their configured address, and the last LINES (default 10)\n"
    "connection, rejection and failure lines of the log.\n"
    "  -c FILE  the configuration (default: the installed Marlobex.xml)\n"
    "Exit status: 0 OK, 1 warning (a link without its recorder), 2 critical (the daemon is not\n"
    "running or a port does not listen), 3 bad usage.\n";

struct Options {
  std::string configuration = marlobex::configuration_path();
  std::size_t lines = 10;
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    if (arg == "-c") {
      options.configuration = argv[++i];
    } else if (arg == "-n") {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end || value < 0 || value > 100000) return false;
      options.lines = static_cast<std::size_t>(value);
    } else {
      return false;
    }
  }
  return true;
}

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The daemon's process id and how it was found; 0 when it does not run.
pid_t find_daemon(std::string& how) {
  const std::string lock = std::string(marlobex::kInstallDirectory) + "Marlobex.lock";
  const pid_t holder = marlobex::lock_holder(lock);
  if (holder > 0) {
    how = "holds " + lock;
    return holder;
  }
  const std::vector<pid_t> running = marlobex::processes_running(std::string(marlobex::kInstallDirectory) + "Marlobex");
  if (!running.empty()) {
    how = "runs without the lock, as under a service manager";
    return running.front();
  }
  how = holder < 0 ? "no lock file " + lock : "nobody holds " + lock;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int early = marlobex::read_tool_options(argc, argv, kUsage, 3, options, parse);
  if (early >= 0) return early;
  int status = 0;
  std::string how;
  const pid_t pid = find_daemon(how);
  if (pid > 0) {
    std::cout << "Marlobex runs: process " << pid << " (" << how << ")\n";
  } else {
    std::cout << "CRITICAL: Marlobex is not running (" << how << ")\n";
    status = 2;
  }

  std::string error;
  const marlobex::CheckReport report =
      marlobex::check_configuration_file(options.configuration, marlobex::list_capture_devices(error));
  if (!report.loaded) {
    std::cout << "CRITICAL: " << options.configuration << ": " << report.findings.front().text << "\n";
    status = 2;
  }
  const auto statuses = marlobex::link_statuses(
      report.links, marlobex::parse_proc_net_tcp(read_text("/proc/net/tcp")));
  for (const marlobex::LinkStatus& link : statuses) {
    const std::string& recorder = link.link.entry.RecorderAddress;
    std::cout << "  port " << link.link.port << " (" << link.link.entry.key() << "): ";
    if (!link.listening) {
      std::cout << "not listening\n";
      status = 2;
    } else if (link.recorder_connected) {
      std::cout << "listening, recorder " << recorder << " connected\n";
    } else {
      std::cout << "listening, no recorder connected"
                << (recorder.empty() ? " (no NVR Address configured)" : " from " + recorder) << "\n";
      status = std::max(status, 1);
    }
  }

  const std::string log = std::string(marlobex::kInstallDirectory) + "Marlobex.log";
  const auto events = marlobex::recent_log_events(
      read_text(std::string(marlobex::kInstallDirectory) + "Marlobex.log.old") + read_text(log),
      options.lines);
  std::cout << "Recent log lines (" << log << "):\n";
  for (const std::string& line : events) std::cout << "  " << line << "\n";
  std::cout << (status == 0 ? "OK" : status == 1 ? "WARNING" : "CRITICAL") << "\n";
  return status;
}
