#include "config/Configuration.h"

#include "config/DocumentScan.h"
#include "log/AppendFile.h"
#include "log/InstallDirectory.h"
#include "log/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
      sink.report("NVR " + escape_control(address) + " already defined.  Skipping duplicate.");
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
    entry.src_address = attribute_text(terminal, "SrcAddress");
    entry.dst_address = attribute_text(terminal, "DstAddress");
    if (entry.src_address.empty() && entry.dst_address.empty()) {
      sink.report("Invalid Terminal entry. No valid SrcAddress or DstAddress found. Skipping.");
      continue;
    }
    entry.src_port = attribute_text(terminal, "SrcPort");
    entry.dst_port = attribute_text(terminal, "DstPort");
    entry.nvr_port = attribute_text(terminal, "NvrPort");
    if (entry.nvr_port.empty()) continue;
    if (ports.count(entry.nvr_port) != 0) {
      sink.report("NVR Port " + escape_control(entry.nvr_port) + " is already in use. Ignoring.");
      continue;
    }
    // The port text is taken from here on, even when the key turns out to be a duplicate.
    ports.insert(entry.nvr_port);
    if (sink.has_link(entry.key())) continue;
    entry.recorder_address = recorder_address;
    sink.add_link(entry);
  }
}

// Reads at most `limit` bytes into `bytes`, in chunks, so that a small file costs a small buffer;
// the reason when reading fails, or the empty text.
std::string read_up_to(int fd, std::size_t limit, std::string& bytes) {
  char chunk[16384];
  bytes.clear();
  while (bytes.size() < limit) {
    const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return "cannot be read";
    if (got == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return std::string();
}

// The file's bytes, at most one more than the limit: a larger file is refused without reading it.
// Only a regular file is read, and a FIFO at the path does not hold the open.
bool read_bytes(const std::string& path, std::string& bytes, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  error = is_regular_file(fd) ? read_up_to(fd, kMaxConfigurationBytes + 1, bytes) : "not a regular file";
  ::close(fd);
  return error.empty();
}

// The bytes with CR LF and lone CR made LF, as TinyXML's own file loader does.
std::string with_line_feeds(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r') {
      text.push_back('\n');
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      text.push_back(bytes[i]);
    }
  }
  return text;
}

}  // namespace

std::string configuration_path() { return std::string(kInstallDirectory) + kConfigurationFile; }

LoadResult load_configuration_file(const std::string& path, LoadedConfiguration& loaded) {
  std::string bytes, error;
  if (!read_bytes(path, bytes, error)) {
    loaded = LoadedConfiguration();
    loaded.document.reset(new TiXmlDocument(path.c_str()));
    loaded.error = error;
    return LoadResult::NotLoaded;
  }
  return load_configuration_bytes(bytes, path, loaded);
}

LoadResult load_configuration_bytes(const std::string& bytes, const std::string& name,
                                    LoadedConfiguration& loaded) {
  loaded.document.reset(new TiXmlDocument(name.c_str()));
  loaded.root = nullptr;
  loaded.error.clear();
  loaded.error_line = 0;
  if (bytes.size() > kMaxConfigurationBytes) {
    loaded.error = "larger than 1,048,576 bytes";
    return LoadResult::NotLoaded;
  }
  std::string text = with_line_feeds(bytes);
  // The parser recurses once per level of nesting, and so does the document's destructor: a file
  // nested too deep is refused before either can run out of stack.
  loaded.error = document_hazard(text, loaded.error_line);
  if (!loaded.error.empty()) return LoadResult::NotLoaded;
  // Spare NUL bytes: TinyXML 2.6 reads a UTF-8 lead byte's whole sequence even when the text ends
  // inside it, and moves past the end of an unterminated comment, which would read past a buffer
  // that ends at the terminating NUL.
  text.append(8, '\0');
  loaded.document->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (loaded.document->Error()) {
    loaded.error = loaded.document->ErrorDesc();
    loaded.error_line = loaded.document->ErrorRow();
    return LoadResult::NotLoaded;
  }
  loaded.root = loaded.document->RootElement();
  return loaded.root ? LoadResult::Loaded : LoadResult::NoRootElement;
}

namespace {

// An attribute of the last Network element; empty when there is none.
std::string last_network_attribute(const TiXmlElement* root, const char* name) {
  std::string text;
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    text = attribute_text(network, name);
  }
  return text;
}

}  // namespace

std::string link_key(const std::string& src_address, const std::string& src_port,
                     const std::string& dst_address, const std::string& dst_port) {
  return src_address + ":" + src_port + ":" + dst_address + ":" + dst_port;
}

std::string read_adapter_address(const TiXmlElement* root) {
  return last_network_attribute(root, "SniffAdapterAddress");
}

std::string read_duplicate_setting(const TiXmlElement* root) {
  return last_network_attribute(root, "SuppressDuplicates");
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

}  // namespace marlobex
