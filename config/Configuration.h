#pragma once

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
  std::string address;
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

/// What load_configuration_file does with a file's bytes once read: `name` names the document.
LoadResult load_configuration_bytes(const std::string& bytes, const std::string& name,
                                    LoadedConfiguration& loaded);

/// The SniffAdapterAddress of the last Network element; empty when there is none.
std::string read_adapter_address(const TiXmlElement* root);

/// The SuppressDuplicates text of the last Network element, the one whose adapter is captured;
/// empty when there is none.
std::string read_duplicate_setting(const TiXmlElement* root);

/// Whether a SuppressDuplicates text turns suppression on: only "yes" does; "no", an absent
/// attribute and every other text leave every copy relayed.
inline bool suppresses_duplicates(const std::string& setting) { return setting == "yes"; }

/// The table key of a link: SrcAddress ":" SrcPort ":" DstAddress ":" DstPort.
std::string link_key(const std::string& src_address, const std::string& src_port,
                     const std::string& dst_address, const std::string& dst_port);

/// One Terminal element that passed every test, with the recorder address of its Network element:
/// the texts exactly as configured, the empty text for an absent attribute.
struct TerminalEntry {
  std::string src_address;
  std::string dst_address;
  std::string src_port;
  std::string dst_port;
  std::string recorder_address;
  std::string nvr_port;
  std::string key() const { return link_key(src_address, src_port, dst_address, dst_port); }
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

}  // namespace marlobex
