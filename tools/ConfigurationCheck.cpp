#include "tools/ConfigurationCheck.h"

#include "app/CountersFile.h"
#include "capture/LinkMatcher.h"
#include "log/Log.h"
#include "relay/TerminalServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>

namespace marlobex {

namespace {

using Severity = Finding::Severity;

struct Collector {
  std::vector<Finding> findings;
  void warn(const std::string& code, int line, const std::string& text) {
    findings.push_back({Severity::Warning, code, line, text});
  }
  void error(const std::string& code, int line, const std::string& text) {
    findings.push_back({Severity::Error, code, line, text});
  }
};

bool all_digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool has_blank(const std::string& text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

bool has_letter(const std::string& text) {
  for (char c : text) {
    if (std::isalpha(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

// A number of a dotted text that starts with 0 and goes on with digits.
bool has_leading_zero(const std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    const bool starts_number = i == 0 || text[i - 1] == '.';
    if (starts_number && text[i] == '0' && std::isdigit(static_cast<unsigned char>(text[i + 1]))) return true;
  }
  return false;
}

// --- the pass, through the daemon's own walk -------------------------------------------------

struct WalkState {
  std::map<std::string, CheckedLink> links;
  const TiXmlElement* current = nullptr;
  bool current_has_outcome = true;
};

void note_silent_skip(WalkState& state, Collector& out) {
  // The only Terminal element that the daemon drops without a word is one without NvrPort.
  if (state.current && !state.current_has_outcome) {
    out.warn("W32", state.current->Row(),
             "Terminal without NvrPort: the daemon skips it without a log line.");
  }
}

void walk_with_daemon_rules(const TiXmlElement* root, WalkState& state, Collector& out) {
  RecorderTable recorders;
  NvrPortSet ports;
  ConfigurationSink sink;
  sink.visit = [&](const TiXmlElement* element) {
    note_silent_skip(state, out);
    const bool terminal = element->ValueStr() == "Terminal";
    state.current = terminal ? element : nullptr;
    state.current_has_outcome = !terminal;
  };
  sink.report = [&](const std::string& message) {
    state.current_has_outcome = true;
    const int line = state.current ? state.current->Row() : 0;
    out.warn("W30", line, "the daemon logs \"" + message + "\"");
  };
  sink.has_link = [&](const std::string& key) {
    state.current_has_outcome = true;
    auto found = state.links.find(key);
    if (found == state.links.end()) return false;
    const char* port = state.current ? state.current->Attribute("NvrPort") : nullptr;
    out.warn("W31", state.current ? state.current->Row() : 0,
             "the same key " + key + " as the link on line " +
                 std::to_string(found->second.line) + ": dropped without a log line, and its NvrPort " +
                 (port ? port : "") + " stays taken.");
    return true;
  };
  sink.add_link = [&](const TerminalEntry& entry) {
    CheckedLink link{entry, state.current ? state.current->Row() : 0,
                     TerminalServer::port_number(entry.nvr_port)};
    state.links.emplace(entry.key(), link);
  };
  walk_terminal_entries(root, recorders, ports, sink);
  note_silent_skip(state, out);
}

// --- forms of the texts ------------------------------------------------------------------------

bool has_control_byte(const std::string& text) {
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

void check_control_bytes(const TiXmlElement* element, Collector& out) {
  static const char* const kValues[] = {"SniffAdapterAddress", "Address", "SrcAddress", "DstAddress",
                                        "SrcPort", "DstPort", "NvrPort"};
  for (const char* name : kValues) {
    const char* value = element->Attribute(name);
    if (!value || !has_control_byte(value)) continue;
    out.warn("W12", element->Row(),
             std::string(name) + "=\"" + escape_control(value) + "\" holds control bytes (a line end, " +
                 "a tab, an escape): they are used as they stand, and logged as \\xHH.");
  }
}

// What a text too long for a label of the counters file turns into there.
std::string counters_cut(const std::string& text) {
  if (text.size() <= kMaxLabelValueBytes) return "";
  return " Longer than " + std::to_string(kMaxLabelValueBytes) +
         " bytes, it is cut in the counters file (its start, \"...\" and a hash).";
}

void check_attribute_forms(const TiXmlElement* element, Collector& out) {
  check_control_bytes(element, out);
  static const char* const kAddresses[] = {"SrcAddress", "DstAddress", "Address", "SniffAdapterAddress"};
  static const char* const kPorts[] = {"SrcPort", "DstPort"};
  for (const char* name : kAddresses) {
    const char* value = element->Attribute(name);
    if (!value || !*value) continue;
    const std::string problem = address_form_problem(value);
    if (problem.empty()) continue;
    const bool adapter = std::string(name) == "SniffAdapterAddress";
    const std::string never = adapter ? "can never name an adapter."
                                      : "can never match a packet or a peer." + counters_cut(value);
    out.warn("W10", element->Row(),
             std::string(name) + "=\"" + value + "\" is " + problem + ": it is compared as text and " +
                 never);
  }
  for (const char* name : kPorts) {
    const char* value = element->Attribute(name);
    if (!value || !*value) continue;
    const std::string problem = port_form_problem(value);
    if (problem.empty()) continue;
    out.warn("W11", element->Row(),
             std::string(name) + "=\"" + value + "\" is " + problem +
                 ": it is compared as text and can never match a packet." + counters_cut(value));
  }
}

// The element after `element` in document order below `root`, found without recursion: a
// document may be nested deeper than any stack.
const TiXmlElement* next_element(const TiXmlElement* element, const TiXmlElement* root) {
  if (const TiXmlElement* child = element->FirstChildElement()) return child;
  for (; element && element != root; element = element->Parent()->ToElement()) {
    if (const TiXmlElement* sibling = element->NextSiblingElement()) return sibling;
  }
  return nullptr;
}

void check_names_case(const TiXmlElement* element, Collector& out) {
  static const char* const kElements[] = {"Network", "NVR", "Terminal"};
  static const char* const kAttributes[] = {"SniffAdapterAddress", "Address", "SrcAddress",
                                            "DstAddress", "SrcPort", "DstPort", "NvrPort",
                                            "SuppressDuplicates"};
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string name = element->ValueStr();
  for (const char* known : kElements) {
    if (name != known && lower(name) == lower(known)) {
      out.warn("W43", element->Row(),
               "element <" + name + "> is read only when written <" + known + ">: it is ignored.");
    }
  }
  for (const TiXmlAttribute* attribute = element->FirstAttribute(); attribute;
       attribute = attribute->Next()) {
    const std::string attribute_name = attribute->Name();
    for (const char* known : kAttributes) {
      if (attribute_name != known && lower(attribute_name) == lower(known)) {
        out.warn("W43", element->Row(),
                 "attribute " + attribute_name + " is read only when written " + known +
                     ": it is ignored.");
      }
    }
  }
}

void check_elements(const TiXmlElement* root, Collector& out) {
  for (const TiXmlElement* element = root; element; element = next_element(element, root)) {
    check_names_case(element, out);
  }
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    check_attribute_forms(network, out);
    std::vector<const TiXmlElement*> recorders;
    for (const TiXmlElement* nvr = network->FirstChildElement("NVR"); nvr;
         nvr = nvr->NextSiblingElement("NVR")) {
      check_attribute_forms(nvr, out);
      const char* address = nvr->Attribute("Address");
      if (address && *address) recorders.push_back(nvr);
    }
    const bool has_terminals = network->FirstChildElement("Terminal") != nullptr;
    if (recorders.empty() && has_terminals) {
      out.warn("W40", network->Row(),
               "Network without an NVR Address: its links admit no recorder at all.");
    }
    if (recorders.size() > 1) {
      out.warn("W41", recorders.back()->Row(),
               std::to_string(recorders.size()) + " NVR elements in one Network: only the last, " +
                   recorders.back()->Attribute("Address") + ", may connect to its links.");
    }
    for (const TiXmlElement* terminal = network->FirstChildElement("Terminal"); terminal;
         terminal = terminal->NextSiblingElement("Terminal")) {
      check_attribute_forms(terminal, out);
    }
  }
}

void check_adapter_values(const TiXmlElement* root, Collector& out) {
  std::vector<const TiXmlElement*> networks;
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    networks.push_back(network);
  }
  int with_value = 0;
  for (const TiXmlElement* network : networks) {
    const char* value = network->Attribute("SniffAdapterAddress");
    if (value && *value) ++with_value;
  }
  if (networks.size() > 1 && with_value > 0) {
    const char* last = networks.back()->Attribute("SniffAdapterAddress");
    out.warn("W42", networks.back()->Row(),
             std::to_string(networks.size()) +
                 " Network elements: only the last one's SniffAdapterAddress counts, here \"" +
                 (last ? last : "") + "\".");
  }
  const std::string setting = read_duplicate_setting(root);
  if (!setting.empty() && setting != "no" && !suppresses_duplicates(setting)) {
    out.warn("W44", networks.back()->Row(),
             "SuppressDuplicates=\"" + escape_control(setting) +
                 "\" is neither \"yes\" nor \"no\": every copy of a frame is relayed.");
  }
}

// --- ports -------------------------------------------------------------------------------------

void check_ports(std::vector<CheckedLink> links, Collector& out) {
  // Servers are created in document order: of two links on one port, the later one fails to bind.
  std::sort(links.begin(), links.end(),
            [](const CheckedLink& a, const CheckedLink& b) { return a.line < b.line; });
  std::map<unsigned short, const CheckedLink*> by_port;
  for (const CheckedLink& link : links) {
    const std::string& text = link.entry.nvr_port;
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (link.port == 0) {
      out.warn("W21", link.line,
               "NvrPort=\"" + text + "\" gives no port number: the system picks a port, which no " +
                   "recorder can know.");
      continue;
    }
    if (value != link.port || errno == ERANGE) {
      out.warn("W20", link.line,
               "NvrPort=\"" + text + "\" is past 65535 or negative: it wraps, the server listens on " +
                   std::to_string(link.port) + ".");
    }
    auto taken = by_port.find(link.port);
    if (taken != by_port.end()) {
      out.warn("W22", link.line,
               "NvrPort=\"" + text + "\" is port " + std::to_string(link.port) +
                   ", like NvrPort=\"" + taken->second->entry.nvr_port + "\" on line " +
                   std::to_string(taken->second->line) +
                   ": one of the two cannot listen, and its link relays nothing.");
      continue;
    }
    by_port.emplace(link.port, &link);
  }
}

// --- links that an earlier link always takes first ----------------------------------------------

bool covers(const std::string& earlier, const std::string& later) {
  return earlier.empty() || earlier == later;
}

bool shadows(const TerminalEntry& earlier, const TerminalEntry& later) {
  return covers(earlier.src_address, later.src_address) &&
         covers(earlier.dst_address, later.dst_address) && covers(earlier.src_port, later.src_port) &&
         covers(earlier.dst_port, later.dst_port);
}

void check_shadowed_links(const std::vector<CheckedLink>& links, Collector& out) {
  for (std::size_t later = 0; later < links.size(); ++later) {
    for (std::size_t earlier = 0; earlier < later; ++earlier) {
      if (!shadows(links[earlier].entry, links[later].entry)) continue;
      out.warn("W50", links[later].line,
               "the link " + links[later].entry.key() + " never receives anything: the link " +
                   links[earlier].entry.key() + " on line " + std::to_string(links[earlier].line) +
                   " comes first in key order and matches every packet it would.");
      break;
    }
  }
}

// --- what stops the daemon -----------------------------------------------------------------------

std::string device_list_text(const std::vector<CaptureDevice>& devices) {
  std::string text;
  for (const CaptureDevice& device : devices) {
    if (device.ipv4_addresses.empty()) continue;
    text += text.empty() ? "" : ", ";
    text += device.name + " (";
    for (std::size_t i = 0; i < device.ipv4_addresses.size(); ++i) {
      text += (i ? " " : "") + device.ipv4_addresses[i];
    }
    text += ")";
  }
  return text.empty() ? "none with an IPv4 address" : text;
}

void check_adapter(CheckReport& report, Collector& out, int line) {
  report.adapter = device_holding_address(report.devices, report.adapter_address);
  if (report.adapter) return;
  if (report.adapter_address.empty()) {
    out.error("E03", line,
              "no SniffAdapterAddress in the last Network element: the daemon stops with \"Matching "
              "interface not found!\".");
  } else {
    out.error("E03", line,
              "no local adapter holds SniffAdapterAddress \"" + report.adapter_address +
                  "\": the daemon stops with \"Matching interface not found!\". Adapters here: " +
                  device_list_text(report.devices) + ".");
  }
}

int last_network_line(const TiXmlElement* root) {
  int line = root->Row();
  for (const TiXmlElement* network = root->FirstChildElement("Network"); network;
       network = network->NextSiblingElement("Network")) {
    line = network->Row();
  }
  return line;
}

}  // namespace

// Whether a text can match is the matcher's own decision; these only say why one never does.
std::string address_form_problem(const std::string& text) {
  if (compile_address(text).kind != FieldRule::Kind::Never) return "";
  if (text.find(':') != std::string::npos) return "an IPv6 address (only IPv4 is relayed)";
  if (has_blank(text)) return "written with blanks";
  if (has_letter(text)) return "a host name (names are never resolved)";
  if (has_leading_zero(text)) return "written with leading zeros";
  return "not four dotted numbers from 0 to 255";
}

std::string port_form_problem(const std::string& text) {
  if (compile_port(text).kind != FieldRule::Kind::Never) return "";
  if (has_blank(text)) return "written with blanks";
  if (!all_digits(text)) return "not a decimal number";
  if (has_leading_zero(text)) return "written with leading zeros";
  return "past 65535";
}

int CheckReport::exit_status() const {
  int status = 0;
  for (const Finding& finding : findings) {
    status = std::max(status, finding.severity == Severity::Error ? 2 : 1);
  }
  return status;
}

CheckReport check_configuration(const TiXmlElement* root, std::vector<CaptureDevice> devices) {
  CheckReport report;
  report.loaded = true;
  report.devices = std::move(devices);
  Collector out;
  report.adapter_address = read_adapter_address(root);

  WalkState state;
  walk_with_daemon_rules(root, state, out);
  for (auto& entry : state.links) report.links.push_back(entry.second);

  check_adapter(report, out, last_network_line(root));
  check_adapter_values(root, out);
  check_elements(root, out);
  check_ports(report.links, out);
  check_shadowed_links(report.links, out);
  if (report.links.empty()) {
    out.error("E04", 0,
              "no Terminal element gives a link: the daemon stops with \"No terminals were "
              "configured correctly. Exiting.\".");
  }
  // In the order of the file; findings about the whole file last.
  std::stable_sort(out.findings.begin(), out.findings.end(), [](const Finding& a, const Finding& b) {
    return (a.line == 0 ? INT_MAX : a.line) < (b.line == 0 ? INT_MAX : b.line);
  });
  report.findings = std::move(out.findings);
  return report;
}

CheckReport check_configuration_file(const std::string& path, std::vector<CaptureDevice> devices) {
  LoadedConfiguration loaded;
  const LoadResult result = load_configuration_file(path, loaded);
  if (result == LoadResult::Loaded) {
    CheckReport report = check_configuration(loaded.root, std::move(devices));
    report.path = path;
    return report;
  }
  CheckReport report;
  report.path = path;
  if (result == LoadResult::NotLoaded) {
    report.findings.push_back(
        {Severity::Error, "E01", loaded.error_line,
         "the file cannot be loaded (" + loaded.error +
             "): the daemon stops with \"Failed to load Marlobex.xml. Exiting.\"."});
  } else {
    report.findings.push_back(
        {Severity::Error, "E02", 0,
         "the file has no root element: the daemon stops with \"Failed to get config root "
         "element. Exiting.\"."});
  }
  return report;
}

std::string format_check_report(const CheckReport& report) {
  std::ostringstream out;
  out << "Configuration: " << report.path << "\n";
  if (report.loaded) {
    // Configured texts are shown with their control bytes as \xHH, as the daemon logs them.
    out << "Adapter: "
        << (report.adapter_address.empty() ? "(none)" : escape_control(report.adapter_address));
    if (report.adapter) out << " on " << report.adapter->name;
    out << "\n";
    out << "Links in key order (a packet goes to the first that matches; * matches any value):\n";
    auto shown = [](const std::string& text) {
      return text.empty() ? std::string("*") : escape_control(text);
    };
    for (const CheckedLink& link : report.links) {
      const TerminalEntry& entry = link.entry;
      out << "  line " << link.line << ": " << shown(entry.src_address) << ":" << shown(entry.src_port)
          << " -> " << shown(entry.dst_address) << ":" << shown(entry.dst_port) << "  recorder "
          << (entry.recorder_address.empty() ? "(none)" : escape_control(entry.recorder_address)) << " on port "
          << link.port << "\n";
    }
  }
  for (const Finding& finding : report.findings) {
    out << (finding.severity == Severity::Error ? "error " : "warning ") << finding.code;
    if (finding.line > 0) out << " line " << finding.line;
    out << ": " << escape_control(finding.text) << "\n";
  }
  const int status = report.exit_status();
  out << (status == 0   ? "OK: the daemon would relay everything configured.\n"
          : status == 1 ? "WARNING: the daemon would start, but not everything configured is relayed.\n"
                        : "ERROR: the daemon would not start.\n");
  return out.str();
}

}  // namespace marlobex
