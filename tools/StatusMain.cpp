// Marlobex-status: is the daemon running, what its counters file says about the capture and every
// link, and what the log said lately. Exit status as monitoring expects: 0 OK, 1 warning, 2 critical.
#include "log/InstallDirectory.h"
#include "tools/EscapedText.h"
#include "tools/Status.h"
#include "tools/ToolOptions.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>

namespace {

const char* const kUsage =
    "Usage: Marlobex-status [-n LINES] [--wait SECONDS] [--quiet MINUTES]\n"
    "Tells whether the daemon runs (the holder of Marlobex.lock, or the installed Marlobex as a\n"
    "service manager starts it, without the lock), then reads the counters the daemon replaces in\n"
    "Marlobex.prom every 10 s: per link whether its port listens and its recorder is connected,\n"
    "frames and bytes since the start and between two samples of the file, and payloads dropped\n"
    "by reason. Last come the connection, rejection and failure lines of the log's last MiB.\n"
    "  -n LINES         log lines to show (default 10)\n"
    "  --wait SECONDS   wait at most this long for the daemon's next sample (default 12); 0 reads\n"
    "                   one sample: no interval, and drops are not judged\n"
    "  --quiet MINUTES  warn about a link with its recorder connected that carried no payload for\n"
    "                   longer than this (default 0: never)\n"
    "  -c FILE          accepted and ignored: the links are the daemon's own\n"
    "Exit status: 0 OK; 1 warning (a link not listening, without its recorder, dropping payloads or\n"
    "quiet too long); 2 critical (the daemon is not running, the counters file is missing or older\n"
    "than 30 s, or the capture adapter is not open); 3 bad usage.\n";

struct Options {
  std::size_t lines = 10;
  long wait_seconds = 12;
  long quiet_minutes = 0;
};

bool read_number(const char* text, long limit, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return *text && !*end && value >= 0 && value <= limit;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    long value = 0;
    if (arg == "-n" && read_number(argv[++i], 100000, value)) {
      options.lines = static_cast<std::size_t>(value);
    } else if (arg == "--wait" && read_number(argv[++i], 60, value)) {
      options.wait_seconds = value;
    } else if (arg == "--quiet" && read_number(argv[++i], 100000, value)) {
      options.quiet_minutes = value;
    } else if (arg == "-c") {
      ++i;  // Accepted as before; the links now come from the daemon's own counters.
    } else {
      return false;
    }
  }
  return true;
}

// The daemon's process id and how it was found; 0 when it does not run.
pid_t find_daemon(std::string& how) {
  const std::string lock = std::string(marlobex::kInstallDirectory) + marlobex::kLockFile;
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

// Reads the counters file, and once more when the daemon has replaced it, so that the counts of
// the interval between the two samples can be told. Prints them and returns the status they give.
int report_counters(const Options& options, bool daemon_runs) {
  const std::string path = std::string(marlobex::kInstallDirectory) + marlobex::kCountersFile;
  marlobex::CountersSnapshot first;
  if (!marlobex::read_counters_file(path, first)) {
    std::cout << "CRITICAL: no counters file " << path << "\n";
    return 2;
  }
  const long first_age = static_cast<long>(std::time(nullptr) - first.written);
  // Neither a stopped daemon nor one that no longer writes replaces the file in time.
  const bool wait = daemon_runs && first_age <= marlobex::kStaleSeconds && options.wait_seconds > 0;
  marlobex::CountersSnapshot second;
  const bool replaced =
      wait && marlobex::wait_for_replacement(path, first, std::chrono::seconds(options.wait_seconds)) &&
      marlobex::read_counters_file(path, second);
  const marlobex::CountersSnapshot& latest = replaced ? second : first;
  const bool same_run = replaced && second.counters.start_time == first.counters.start_time;
  const marlobex::Counters* before = same_run ? &first.counters : nullptr;
  const std::time_t now = std::time(nullptr);
  const long age = static_cast<long>(now - latest.written);

  std::cout << "Counters in " << path << ", written " << age << " s ago";
  if (replaced && !same_run) {
    std::cout << " (the daemon started again between two samples)";
  } else if (wait && !replaced) {
    std::cout << " (no newer sample within " << options.wait_seconds << " s)";
  }
  std::cout << ":\n" << marlobex::format_counters(latest.counters, before, latest.seconds_since(first));
  int status = 0;
  for (const marlobex::Problem& problem :
       marlobex::judge_counters(latest.counters, before, age, now, options.quiet_minutes)) {
    std::cout << (problem.level == 2 ? "CRITICAL: " : "WARNING: ") << problem.text << "\n";
    status = std::max(status, problem.level);
  }
  return status;
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
  status = std::max(status, report_counters(options, pid > 0));

  const std::string log = std::string(marlobex::kInstallDirectory) + marlobex::kLogFile;
  const std::string old_log = std::string(marlobex::kInstallDirectory) + marlobex::kOldLogFile;
  const auto events = marlobex::recent_log_events(
      marlobex::read_log_tail(log, old_log, marlobex::kLogTailBytes), options.lines);
  std::cout << "Recent log lines (" << log << "):\n";
  for (const std::string& line : events) std::cout << "  " << marlobex::escaped_line(line) << "\n";
  std::cout << (status == 0 ? "OK" : status == 1 ? "WARNING" : "CRITICAL") << "\n";
  return status;
}
