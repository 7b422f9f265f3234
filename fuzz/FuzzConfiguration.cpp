// Any text as Marlobex.xml: loaded by the daemon's loader from memory, read for the adapter
// address, walked with the daemon's rules (without binding), and checked by the operator tool.
// Whatever the loader gives the parser, loaded or not, is nested no deeper than its limit.
#include "config/Configuration.h"
#include "config/DocumentScan.h"
#include "tools/ConfigurationCheck.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>

namespace marlobex {
namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The depth of the deepest element under `node` (TinyXML itself recurses as deep to build it).
int element_depth(const TiXmlNode* node) {
  int deepest = 0;
  for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
    deepest = std::max(deepest, element_depth(child) + (child->ToElement() ? 1 : 0));
  }
  return deepest;
}

void walk(const TiXmlElement* root) {
  read_adapter_address(root);
  RecorderTable recorders;
  NvrPortSet ports;
  std::set<std::string> keys;
  ConfigurationSink sink;
  sink.has_link = [&keys](const std::string& key) { return keys.count(key) != 0; };
  sink.add_link = [&keys, &ports](const TerminalEntry& entry) {
    // Every accepted link has an address to match, and its port text was taken first.
    check(!entry.src_address.empty() || !entry.dst_address.empty());
    check(!entry.nvr_port.empty() && ports.count(entry.nvr_port) == 1);
    keys.insert(entry.key());
  };
  sink.report = [](const std::string&) {};
  walk_terminal_entries(root, recorders, ports, sink);
  const CheckReport report = check_configuration(root, {{"eth0", "", {"10.0.0.9", "192.168.1.10"}}});
  check(report.links.size() == keys.size());
  format_check_report(report);
}

}  // namespace
}  // namespace marlobex

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  marlobex::LoadedConfiguration loaded;
  const marlobex::LoadResult result = marlobex::load_configuration_bytes(bytes, "Marlobex.xml", loaded);
  marlobex::check(marlobex::element_depth(loaded.document.get()) <= marlobex::kMaxElementDepth);
  if (result == marlobex::LoadResult::Loaded) marlobex::walk(loaded.root);
  return 0;
}
