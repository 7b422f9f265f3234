#pragma once

#include "relay/IoService.h"
#include "relay/TerminalLink.h"

#include <tinyxml.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace marlobex {

/// One configured recorder.
struct NVRData {
  std::string Address;
};

/// Recorders by Address text across the whole file; serves to report duplicates.
using RecorderTable = std::map<std::string, std::unique_ptr<NVRData>>;
/// NvrPort texts already taken, across the whole file.
using NvrPortSet = std::set<std::string>;

/// A configuration file larger than this is refused unread, like a file that is not XML.
constexpr std::size_t kMaxConfigurationBytes = 1048576;

/// The parsed configuration file, kept for the length of the run.
struct LoadedConfiguration {
  std::unique_ptr<TiXmlDocument> document;
  const TiXmlElement* root = nullptr;
  /// Why the file was not loaded, and the line concerned (0: none); empty when it was.
  std::string error;
  int error_line = 0;
};

/// How loading a configuration file went, for callers that must not end the process.
enum class LoadResult { Loaded, NotLoaded, NoRootElement };

/// The installed "Marlobex.xml".
std::string configuration_path();

/// Loads `path` into `loaded` without logging or ending the process. Anything but a regular file,
/// a file over kMaxConfigurationBytes, or one that DocumentScan refuses (elements nested more than
/// kMaxElementDepth deep), is not given to the parser and is not loaded.
LoadResult load_configuration_file(const std::string& path, LoadedConfiguration& loaded);

/// The SniffAdapterAddress of the last Network element; empty when there is none.
std::string read_adapter_address(const TiXmlElement* root);

/// The SuppressDuplicates text of the last Network element, the one whose adapter is captured;
/// empty when there is none.
std::string read_duplicate_setting(const TiXmlElement* root);

/// Whether a SuppressDuplicates text turns suppression on: only "yes" does; "no", an absent
/// attribute and every other text leave every copy relayed.
inline bool suppresses_duplicates(const std::string& setting) { return setting == "yes"; }

/// One Terminal element that passed every test, with the recorder address of its Network element.
struct TerminalEntry {
  std::string SrcAddress;
  std::string DstAddress;
  std::string SrcPort;
  std::string DstPort;
  std::string RecorderAddress;
  std::string NvrPort;
  std::string key() const { return TerminalLink::key(SrcAddress, SrcPort, DstAddress, DstPort); }
};

/// What the configuration pass does with its outcomes; the daemon logs and builds servers,
/// the checking tool only collects.
struct ConfigurationSink {
  /// Is a link with this key already in the table?
  std::function<bool(const std::string& key)> has_link;
  /// Adds an accepted entry to the table.
  std::function<void(const TerminalEntry& entry)> add_link;
  /// One rejection message, in the daemon's log wording.
  std::function<void(const std::string& message)> report;
  /// Optional: told of each NVR and Terminal element before its outcome, so a tool can say where.
  std::function<void(const TiXmlElement* element)> visit;
};

/// The pass over Network, NVR and Terminal elements in document order, with the daemon's rules.
void walk_terminal_entries(const TiXmlElement* root, RecorderTable& recorders, NvrPortSet& ports,
                           const ConfigurationSink& sink);

/// Fills the tables; each accepted Terminal element gets its TerminalLink, whose server listens at once.
void build_terminal_links(const TiXmlElement* root, IoService& io, RecorderTable& recorders,
                          NvrPortSet& ports, TerminalTable& terminals);

}  // namespace marlobex
