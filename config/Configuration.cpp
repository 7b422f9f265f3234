#include "config/Configuration.h"

#include <fstream>
#include <iterator>

#include "log/InstallDirectory.h"
#include "log/Log.h"

#include <cstdlib>

namespace marlobex {

namespace {

// An absent attribute and an empty one are alike: both give the empty text.
std::string attribute_text(const TiXmlElement* element, const char* name) {
  const char* value = element->Attribute(name);
  return value ? std::string(value) : std::string();
}

std::string recorder_address_of(const TiXmlElement* network, RecorderTable& recorders,
                                const ConfigurationSink& sink) {
  std::string recorder_address;
  for (const TiXmlElement* nvr = network->FirstChildElement("NVR"); nvr;
       nvr = nvr->NextSiblingElement("NVR")) {
    if (sink.visit) sink.visit(nvr);
    const std::string address = attribute_text(nvr, "Address");
    if (address.empty()) continue;
    // A duplicate still becomes this network's recorder address.
    recorder_address = address;
    if (recorders.count(address) != 0) {
      sink.report("NVR " + address + " already defined.  Skipping duplicate.");
      continue;
    }
    recorders[address].reset(new NVRData{address});
  }
  return recorder_address;
}

void walk_terminals(const TiXmlElement* network, const std::string& recorder_address,
                    NvrPortSet& ports, const ConfigurationSink& sink) {
  for (const TiXmlElement* terminal = network->FirstChildElement("Terminal"); terminal;
       terminal = terminal->NextSiblingElement("Terminal")) {
    if (sink.visit) sink.visit(terminal);
    TerminalEntry entry;
    entry.SrcAddress = attribute_text(terminal, "SrcAddress");
    entry.DstAddress = attribute_text(terminal, "DstAddress");
    if (entry.SrcAddress.empty() && entry.DstAddress.empty()) {
      sink.report("Invalid Terminal entry. No valid SrcAddress or DstAddress found. Skipping.");
      continue;
    }
    entry.SrcPort = attribute_text(terminal, "SrcPort");
    entry.DstPort = attribute_text(terminal, "DstPort");
    entry.NvrPort = attribute_text(terminal, "NvrPort");
    if (entry.NvrPort.empty()) continue;
    if (ports.count(entry.NvrPort) != 0) {
      sink.report("NVR Port " + entry.NvrPort + " is already in use. Ignoring.");
      continue;
    }
    // The port text is taken from here on, even when the key turns out to be a duplicate.
    ports.insert(entry.NvrPort);
    if (sink.has_link(entry.key())) continue;
    entry.RecorderAddress = recorder_address;
    sink.add_link(entry);
  }
}

// The file's bytes with CR LF and lone CR made LF, as TinyXML's own file loader does, followed by
// spare NUL bytes: TinyXML 2.6 reads a UTF-8 lead byte's whole sequence even when the text ends
// inside it, which would read past the end of a buffer that ends at the terminating NUL.
bool read_configuration_text(const std::string& path, std::string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  text.clear();
  text.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r') {
      text.push_back('\n');
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      text.push_back(bytes[i]);
    }
  }
  text.append(8, '\0');
  return true;
}

}  // namespace

std::string configuration_path() { return std::string(kInstallDirectory) + "Marlobex.xml"; }

LoadResult load_configuration_file(const std::string& path, LoadedConfiguration& loaded) {
  loaded.document.reset(new TiXmlDocument(path.c_str()));
  loaded.root = nullptr;
  std::string text;
  if (!read_configuration_text(path, text)) return LoadResult::NotLoaded;
  loaded.document->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (loaded.document->Error()) return LoadResult::NotLoaded;
  loaded.root = loaded.document->RootElement();
  return loaded.root ? LoadResult::Loaded : LoadResult::NoRootElement;
}

LoadedConfiguration load_configuration() {
  LoadedConfiguration loaded;
  switch (load_configuration_file(configuration_path(), loaded)) {
    case LoadResult::NotLoaded:
      Log::instance().line() << "Failed to load Marlobex.xml. Exiting." << std::endl;
      std::exit(-1);
    case LoadResult::NoRootElement:
      Log::instance().line() << "Failed to get config root element. Exiting." << std::endl;
      std::exit(-2);
    case LoadResult::Loaded:
      break;
  }
  return loaded;
}

std::string read_adapter_address(const TiXmlElement* root) {
  std::string address;
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    address = attribute_text(network, "SniffAdapterAddress");
  }
  return address;
}

void walk_terminal_entries(const TiXmlElement* root, RecorderTable& recorders, NvrPortSet& ports,
                           const ConfigurationSink& sink) {
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    // Every NVR element of a network is read before its first Terminal element.
    const std::string recorder_address = recorder_address_of(network, recorders, sink);
    walk_terminals(network, recorder_address, ports, sink);
  }
}

void build_terminal_links(const TiXmlElement* root, IoService& io, RecorderTable& recorders,
                          NvrPortSet& ports, TerminalTable& terminals) {
  ConfigurationSink sink;
  sink.has_link = [&terminals](const std::string& key) { return terminals.count(key) != 0; };
  sink.add_link = [&terminals, &io](const TerminalEntry& entry) {
    // The link's server logs its creation and listens before the next element is read.
    std::unique_ptr<TerminalLink> link(new TerminalLink(io, entry.SrcAddress, entry.DstAddress,
                                                        entry.SrcPort, entry.DstPort,
                                                        entry.RecorderAddress, entry.NvrPort));
    terminals.emplace(entry.key(), std::move(link));
  };
  sink.report = [](const std::string& message) { Log::instance().line() << message << std::endl; };
  walk_terminal_entries(root, recorders, ports, sink);
}

}  // namespace marlobex
