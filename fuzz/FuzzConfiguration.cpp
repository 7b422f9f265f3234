// Any text as Marlobex.xml: loaded by the daemon's loader from a file, read for the adapter
// address, walked with the daemon's rules (without binding), and checked by the operator tool.
// Whatever the loader gives the parser, loaded or not, is nested no deeper than its limit.
#include "config/Configuration.h"
#include "config/DocumentScan.h"
#include "tools/ConfigurationCheck.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace {

std::string scratch_path() {
  return "/dev/shm/marlobex-fuzz-configuration-" + std::to_string(::getpid()) + ".xml";
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The depth of the deepest element, walked without recursion.
int tree_depth(const TiXmlDocument& document) {
  int deepest = 0;
  int depth = 0;
  const TiXmlNode* node = document.FirstChild();
  while (node) {
    if (node->ToElement() && depth + 1 > deepest) deepest = depth + 1;
    if (node->FirstChild()) {
      node = node->FirstChild();
      ++depth;
      continue;
    }
    while (node && !node->NextSibling()) {
      node = node->Parent();
      --depth;
    }
    if (node) node = node->NextSibling();
  }
  return deepest;
}

void walk(const TiXmlElement* root) {
  marlobex::read_adapter_address(root);
  marlobex::RecorderTable recorders;
  marlobex::NvrPortSet ports;
  std::map<std::string, marlobex::TerminalEntry> links;
  marlobex::ConfigurationSink sink;
  sink.has_link = [&links](const std::string& key) { return links.count(key) != 0; };
  sink.add_link = [&links, &ports](const marlobex::TerminalEntry& entry) {
    // Every accepted link has an address to match, and its port text was taken first.
    check(!entry.SrcAddress.empty() || !entry.DstAddress.empty());
    check(!entry.NvrPort.empty() && ports.count(entry.NvrPort) == 1);
    links.emplace(entry.key(), entry);
  };
  sink.report = [](const std::string&) {};
  marlobex::walk_terminal_entries(root, recorders, ports, sink);
  const marlobex::CheckReport report =
      marlobex::check_configuration(root, {{"eth0", "", {"10.0.0.9", "192.168.1.10"}}});
  check(report.links.size() == links.size());
  marlobex::format_check_report(report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = scratch_path();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  marlobex::LoadedConfiguration loaded;
  const marlobex::LoadResult result = marlobex::load_configuration_file(path, loaded);
  check(tree_depth(*loaded.document) <= marlobex::kMaxElementDepth);
  if (result == marlobex::LoadResult::Loaded) walk(loaded.root);
  std::remove(path.c_str());
  return 0;
}
