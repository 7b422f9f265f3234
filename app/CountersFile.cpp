#include "app/CountersFile.h"

#include "app/CountersNames.h"

#include "log/InstallDirectory.h"
#include "log/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace marlobex {

namespace {

void family(std::FILE* out, const char* name, const char* type, const char* help) {
  std::fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void sample(std::FILE* out, const char* name, std::uint64_t value) {
  std::fprintf(out, "%s %" PRIu64 "\n", name, value);
}

std::string label(const std::string& text) { return escape_label_value(bounded_label_value(text)); }

std::string link_labels(const TerminalLink& link) {
  std::string labels;
  for (const metric::LinkLabel& link_label : metric::kLinkLabels) {
    labels += (labels.empty() ? "" : ",") + std::string(link_label.name) + "=\"" +
              label(link.texts().*link_label.text) + "\"";
  }
  return labels;
}

struct LinkMetric {
  const char* name;
  const char* type;
  const char* help;
  std::uint64_t (*value)(const TerminalServer& server);
};

const LinkMetric kLinkMetrics[] = {
    {metric::kLinkFrames, "counter", "Frames whose payload was handed to the link's server.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().frames; }},
    {metric::kLinkPayloadBytes, "counter",
     "Payload bytes handed to the link's server, each payload capped at 65535 bytes.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().payload_bytes; }},
    {metric::kLinkSentBytes, "counter", "Bytes the kernel took for the link's recorder.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().sent_bytes; }},
    {metric::kLinkRecorderConnections, "counter", "Recorders admitted on the link's port.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().recorder_connections; }},
    {metric::kLinkRejectedConnections, "counter",
     "Connections from other addresses closed on the link's port.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().rejected_connections; }},
    {metric::kLinkDuplicateFrames, "counter",
     "Mirror copies of a packet that the link took in the last 50 ms, not relayed.",
     [](const TerminalServer& s) -> std::uint64_t { return s.counters().duplicate_frames; }},
    {metric::kLinkListening, "gauge", "Whether the link's port is listened on (0 or 1).",
     [](const TerminalServer& s) -> std::uint64_t {
       return s.state() != TerminalServer::State::Stopped;
     }},
    {metric::kLinkRecorderConnected, "gauge", "Whether the link's recorder is connected (0 or 1).",
     [](const TerminalServer& s) -> std::uint64_t { return s.has_recorder(); }},
    {metric::kLinkLastPayload, "gauge",
     "Capture time of the link's last payload, in seconds since the Unix epoch; 0 when none.",
     [](const TerminalServer& s) -> std::uint64_t {
       return static_cast<std::uint64_t>(s.counters().last_payload);
     }},
};

void write_drops(std::FILE* out, const std::vector<std::string>& labels,
                 const TerminalTable& terminals) {
  family(out, metric::kLinkDroppedPayloads, "counter",
         "Payloads the link did not deliver, by reason.");
  std::size_t index = 0;
  for (const auto& entry : terminals) {
    const LinkCounters& counters = entry.second->server().counters();
    const std::uint64_t dropped[3] = {counters.dropped_no_recorder, counters.dropped_slow_recorder,
                                      counters.dropped_write_failed};
    for (std::size_t reason = 0; reason < 3; ++reason) {
      std::fprintf(out, "%s{%s,%s=\"%s\"} %" PRIu64 "\n", metric::kLinkDroppedPayloads, labels[index].c_str(),
                   metric::kReasonLabel, metric::kDropReasons[reason], dropped[reason]);
    }
    ++index;
  }
}

// 64-bit FNV-1a: small, and the same in every build.
std::uint64_t text_hash(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

std::string bounded_label_value(const std::string& text) {
  if (text.size() <= kMaxLabelValueBytes) return text;
  char mark[20];
  std::snprintf(mark, sizeof mark, "...%016" PRIx64, text_hash(text));
  std::size_t cut = kMaxLabelValueBytes - std::strlen(mark);
  // Not inside a UTF-8 sequence: a scraper refuses a label value that is not valid UTF-8.
  for (int step = 0; step < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++step) --cut;
  return text.substr(0, cut) + mark;
}

std::string escape_label_value(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool write_counters(std::FILE* out, const CountersView& view) {
  const CaptureCounters& capture = view.capture.counters();
  family(out, metric::kInfo, "gauge", "Marlobex version.");
  std::fprintf(out, "%s{version=\"%s\"} 1\n", metric::kInfo, kVersion);
  family(out, metric::kStartTime, "gauge", "Start time, in seconds since the Unix epoch.");
  sample(out, metric::kStartTime, static_cast<std::uint64_t>(view.start_time));
  family(out, metric::kCaptureOpen, "gauge", "Whether the capture adapter is open (0 or 1).");
  sample(out, metric::kCaptureOpen, view.capture.is_open());
  family(out, metric::kCaptureFrames, "counter", "Frames read from the capture adapter.");
  sample(out, metric::kCaptureFrames, capture.frames);
  family(out, metric::kCaptureKernelDrops, "counter",
         "Frames the kernel dropped because they were not read in time.");
  sample(out, metric::kCaptureKernelDrops, capture.kernel_drops);
  family(out, metric::kCaptureReadErrors, "counter", "Failed reads of the capture adapter.");
  sample(out, metric::kCaptureReadErrors, capture.read_errors);

  std::vector<std::string> labels;
  labels.reserve(view.terminals.size());
  for (const auto& entry : view.terminals) labels.push_back(link_labels(*entry.second));
  for (const LinkMetric& metric : kLinkMetrics) {
    family(out, metric.name, metric.type, metric.help);
    std::size_t index = 0;
    for (const auto& entry : view.terminals) {
      std::fprintf(out, "%s{%s} %" PRIu64 "\n", metric.name, labels[index++].c_str(),
                   metric.value(entry.second->server()));
    }
  }
  write_drops(out, labels, view.terminals);
  return std::ferror(out) == 0;
}

CountersFile::CountersFile(const std::string& directory)
    : path_(directory + kCountersFile), temporary_path_(directory + kCountersTemporary) {}

bool CountersFile::update(std::chrono::steady_clock::time_point now, const CountersView& view) {
  if (written_once_ && now - last_write_ < kInterval) return false;
  written_once_ = true;
  last_write_ = now;
  write(view);
  return true;
}

void CountersFile::write(const CountersView& view) {
  // The temporary is made afresh, never opened through whatever stands at its name: a symbolic
  // link would lead the write (and the mode) to another file, and a FIFO would hold the loop.
  ::unlink(temporary_path_.c_str());
  const int fd =
      ::open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
  std::FILE* out = fd < 0 ? nullptr : ::fdopen(fd, "w");
  if (fd >= 0 && !out) ::close(fd);
  // The mode of the file just made, whatever the umask.
  bool written = out && ::fchmod(fd, 0640) == 0 && write_counters(out, view);
  if (out && std::fclose(out) != 0) written = false;
  if (written && std::rename(temporary_path_.c_str(), path_.c_str()) != 0) written = false;
  if (written) {
    failing_ = false;
    return;
  }
  const int error = errno;
  if (fd >= 0) ::unlink(temporary_path_.c_str());
  if (!failing_) {
    Log::instance().line() << "Failed to write Marlobex.prom: " << std::strerror(error) << std::endl;
  }
  failing_ = true;
}

}  // namespace marlobex
