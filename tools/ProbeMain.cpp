// Marlobex-probe [-t SECONDS] [-c FILE] [-r CAPTURE]: what the configured adapter carries, counted
// per link with the daemon's decoder and table; nothing is forwarded.
#include "capture/CaptureAdapter.h"
#include "config/Configuration.h"
#include "tools/ConfigurationCheck.h"
#include "tools/Probe.h"
#include "tools/ToolOptions.h"

#include <pcap.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

const char* const kUsage =
    "Usage: Marlobex-probe [-t SECONDS] [-c FILE] [-r CAPTURE]\n"
    "Opens the adapter that the configuration names (as root) for SECONDS (default 10), decodes\n"
    "what it carries with the daemon's decoder and links, and forwards nothing. Prints whether the\n"
    "adapter sees traffic, frames and payload bytes per link, the busiest conversations of\n"
    "configured addresses that match no link, and totals of tagged, fragmented and non-IPv4 frames.\n"
    "  -c FILE     the configuration (default: the installed Marlobex.xml)\n"
    "  -r CAPTURE  read a pcap file instead of the adapter\n"
    "Exit status: 0 done, 1 the adapter or file cannot be opened, 2 bad usage.\n";

struct Options {
  double seconds = 10;
  std::string configuration = marlobex::configuration_path();
  std::string capture_file;
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    if (arg == "-t") {
      char* end = nullptr;
      options.seconds = std::strtod(argv[++i], &end);
      if (*end || !(options.seconds > 0) || options.seconds > 86400) return false;
    } else if (arg == "-c") {
      options.configuration = argv[++i];
    } else if (arg == "-r") {
      options.capture_file = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

struct HandleCloser {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using Handle = std::unique_ptr<pcap_t, HandleCloser>;

std::int64_t microseconds(const timeval& at) { return std::int64_t{at.tv_sec} * 1000000 + at.tv_usec; }

double count_file(pcap_t* handle, marlobex::ProbeCounter& counter) {
  pcap_pkthdr* header = nullptr;
  const unsigned char* data = nullptr;
  double first = -1, last = 0;
  while (pcap_next_ex(handle, &header, &data) == 1) {
    const double at = static_cast<double>(header->ts.tv_sec) + static_cast<double>(header->ts.tv_usec) / 1e6;
    if (first < 0) first = at;
    last = at;
    counter.count_frame(data, header->caplen, microseconds(header->ts));
  }
  return first < 0 ? 0 : last - first;
}

void count_live(pcap_t* handle, double seconds, marlobex::ProbeCounter& counter) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  pcap_pkthdr* header = nullptr;
  const unsigned char* data = nullptr;
  while (std::chrono::steady_clock::now() < end) {
    const int result = marlobex::read_capture(handle, &header, &data);
    if (result == 1) {
      counter.count_frame(data, header->caplen, microseconds(header->ts));
    } else if (result < 0) {
      std::cerr << "Marlobex-probe: " << pcap_geterr(handle) << "\n";
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int early = marlobex::read_tool_options(argc, argv, kUsage, 2, options, parse);
  if (early >= 0) return early;
  std::string error;
  const marlobex::CheckReport report =
      marlobex::check_configuration_file(options.configuration, marlobex::list_capture_devices(error));
  if (!report.loaded) {
    std::cerr << "Marlobex-probe: " << report.findings.front().text << "\n";
    return 1;
  }
  marlobex::ProbeCounter counter(report.links);
  char pcap_error[PCAP_ERRBUF_SIZE] = "";
  if (!options.capture_file.empty()) {
    Handle handle(pcap_open_offline(options.capture_file.c_str(), pcap_error));
    if (!handle) {
      std::cerr << "Marlobex-probe: " << pcap_error << "\n";
      return 1;
    }
    const double span = count_file(handle.get(), counter);
    std::cout << counter.format("The capture file " + options.capture_file, span);
    return 0;
  }
  if (!report.adapter) {
    std::cerr << "Marlobex-probe: no local adapter holds SniffAdapterAddress \""
              << report.adapter_address << "\" (see Marlobex-check)\n";
    return 1;
  }
  const std::string name = report.adapter->name;
  std::string open_error;
  Handle handle(marlobex::open_adapter(name, open_error));
  if (!handle) {
    std::cerr << "Marlobex-probe: cannot open " << name << ": " << open_error << "\n";
    return 1;
  }
  count_live(handle.get(), options.seconds, counter);
  std::cout << counter.format("Adapter " + name + " (" + report.adapter_address + ")", options.seconds);
  return 0;
}
