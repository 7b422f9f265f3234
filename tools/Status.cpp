#include "tools/Status.h"

#include "app/CountersNames.h"
#include "relay/TerminalServer.h"
#include "tools/EscapedText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace marlobex {


namespace {

// The daemon writes at most a few kilobytes per link, and a configuration of at most 1 MiB holds
// fewer than 30,000 links; a file past this is not its own.
constexpr std::size_t kMaxCountersBytes = 256 * 1024 * 1024;
constexpr std::chrono::milliseconds kReplacementPoll{100};

// One line of the exposition format, read left to right; every read checks the end first.
class SampleLine {
 public:
  explicit SampleLine(const std::string& line) : line_(line) {}

  bool parse(MetricSample& sample) {
    skip_blanks();
    if (!name(true, sample.name)) return false;
    const std::size_t after_name = position_;
    skip_blanks();
    // A bare name needs a blank before its value; a closing brace ends the name as well.
    if (peek('{')) {
      if (!labels(sample)) return false;
      skip_blanks();
    } else if (position_ == after_name) {
      return false;
    }
    if (!number(sample.value)) return false;
    skip_blanks();
    if (position_ < line_.size() && !timestamp()) return false;
    skip_blanks();
    return position_ == line_.size();
  }

 private:
  static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  bool peek(char c) const { return position_ < line_.size() && line_[position_] == c; }
  bool take(char c) {
    if (!peek(c)) return false;
    ++position_;
    return true;
  }
  void skip_blanks() {
    while (position_ < line_.size() && (line_[position_] == ' ' || line_[position_] == '\t')) ++position_;
  }

  // Metric names may hold colons, label names may not; neither starts with a digit.
  bool name(bool colons, std::string& out) {
    const std::size_t start = position_;
    while (position_ < line_.size()) {
      const char c = line_[position_];
      if (!(is_letter(c) || (colons && c == ':') || (position_ > start && is_digit(c)))) break;
      ++position_;
    }
    out.assign(line_, start, position_ - start);
    return position_ > start;
  }

  // `{name="value",...}`, a comma allowed before the closing brace.
  bool labels(MetricSample& sample) {
    take('{');
    for (;;) {
      skip_blanks();
      if (take('}')) return true;
      std::string label, value;
      if (!name(false, label)) return false;
      skip_blanks();
      if (!take('=')) return false;
      skip_blanks();
      if (!take('"') || !quoted(value)) return false;
      sample.labels.emplace_back(std::move(label), std::move(value));
      skip_blanks();
      if (take(',')) continue;
      return take('}');
    }
  }

  // After the opening quote, up to and past the closing one: \\, \" and \n are the only escapes.
  bool quoted(std::string& out) {
    while (position_ < line_.size()) {
      const char c = line_[position_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (position_ >= line_.size()) return false;
      const char escaped = line_[position_++];
      if (escaped == 'n') {
        out += '\n';
      } else if (escaped == '\\' || escaped == '"') {
        out += escaped;
      } else {
        return false;
      }
    }
    return false;
  }

  std::string token() {
    const std::size_t start = position_;
    while (position_ < line_.size() && line_[position_] != ' ' && line_[position_] != '\t') ++position_;
    return line_.substr(start, position_ - start);
  }

  bool number(double& value) {
    const std::string text = token();
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0';
  }

  // Milliseconds since the epoch, which this reader does not need.
  bool timestamp() {
    const std::string text = token();
    const std::size_t digits = text.size() > 0 && text[0] == '-' ? 1 : 0;
    if (text.size() == digits) return false;
    return std::all_of(text.begin() + static_cast<long>(digits), text.end(), is_digit);
  }

  const std::string& line_;
  std::size_t position_ = 0;
};

// One line of the text; false for a comment, a blank line or a line that does not parse.
bool parse_sample_line(const std::string& line, MetricSample& sample) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return false;
  sample.labels.clear();
  return SampleLine(line).parse(sample);
}

std::uint64_t count_of(double value) {
  // Also false for NaN, which no cast may see.
  return value >= 0 && value < 18446744073709551616.0 ? static_cast<std::uint64_t>(value) : 0;
}

std::uint64_t growth(std::uint64_t later, std::uint64_t earlier) {
  return later >= earlier ? later - earlier : 0;
}

std::string label_value(const MetricSample& sample, const char* label) {
  for (const auto& pair : sample.labels) {
    if (pair.first == label) return pair.second;
  }
  return std::string();
}

// The six link labels as one text, each value after its length: no two links give the same text.
std::string identity(const LinkCounts& link) {
  std::string text;
  for (const metric::LinkLabel& label : metric::kLinkLabels) {
    const std::string& value = link.texts.*label.text;
    text += std::to_string(value.size()) + ':' + value;
  }
  return text;
}

// Folds samples into counters; the link a sample belongs to is found by its six labels in constant
// time, and added in the order first seen.
class CountersBuilder {
 public:
  void add(const MetricSample& sample);
  void add_line(const std::string& line) {
    if (parse_sample_line(line, line_sample_)) add(line_sample_);
  }
  Counters counters;

 private:
  LinkCounts& link_of(const MetricSample& sample);

  std::unordered_map<std::string, std::size_t> index_;
  LinkCounts scratch_;
  MetricSample line_sample_;
};

LinkCounts& CountersBuilder::link_of(const MetricSample& sample) {
  for (const metric::LinkLabel& label : metric::kLinkLabels) {
    scratch_.texts.*label.text = label_value(sample, label.name);
  }
  const auto found = index_.emplace(identity(scratch_), counters.links.size());
  if (found.second) counters.links.push_back(scratch_);
  return counters.links[found.first->second];
}

void read_link_sample(const MetricSample& sample, LinkCounts& link) {
  const std::string& name = sample.name;
  const std::uint64_t value = count_of(sample.value);
  if (name == metric::kLinkFrames) {
    link.frames = value;
  } else if (name == metric::kLinkPayloadBytes) {
    link.payload_bytes = value;
  } else if (name == metric::kLinkListening) {
    link.listening = value == 1;
  } else if (name == metric::kLinkRecorderConnected) {
    link.recorder_connected = value == 1;
  } else if (name == metric::kLinkLastPayload) {
    link.last_payload = static_cast<std::time_t>(value);
  } else if (name == metric::kLinkDroppedPayloads) {
    const std::string reason = label_value(sample, metric::kReasonLabel);
    for (std::size_t i = 0; i < 3; ++i) {
      if (reason == metric::kDropReasons[i]) link.dropped[i] = value;
    }
  }
}

void CountersBuilder::add(const MetricSample& sample) {
  const std::uint64_t value = count_of(sample.value);
  if (sample.name == metric::kStartTime) {
    counters.start_time = static_cast<std::time_t>(value);
  } else if (sample.name == metric::kCaptureOpen) {
    counters.capture_open = value == 1;
  } else if (sample.name == metric::kCaptureFrames) {
    counters.capture_frames = value;
  } else if (sample.name == metric::kCaptureKernelDrops) {
    counters.kernel_drops = value;
  } else if (sample.name == metric::kCaptureReadErrors) {
    counters.read_errors = value;
  } else if (sample.name.rfind(metric::kLinkPrefix, 0) == 0) {
    read_link_sample(sample, link_of(sample));
  }
}

// The links of an earlier sample by their labels, so that each link finds its own in constant time.
class EarlierLinks {
 public:
  explicit EarlierLinks(const Counters* before) {
    if (!before) return;
    for (const LinkCounts& link : before->links) index_.emplace(identity(link), &link);
  }
  const LinkCounts* find(const LinkCounts& link) const {
    if (index_.empty()) return nullptr;
    const auto found = index_.find(identity(link));
    return found == index_.end() ? nullptr : found->second;
  }

 private:
  std::unordered_map<std::string, const LinkCounts*> index_;
};

// Opens a regular file for reading; -1 for anything else. A FIFO does not hold the open.
int open_regular(const std::string& path, struct stat& info) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads `length` bytes from `offset` on, fewer when the file is shorter.
std::string read_at(int fd, off_t offset, std::size_t length) {
  std::string text(length, '\0');
  std::size_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd, &text[done], length - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  text.resize(done);
  return text;
}

// Up to `limit` bytes from the end of the regular file at `path`, from the start of a line; `whole`
// tells whether that is the whole file.
std::string file_end(const std::string& path, std::size_t limit, bool& whole) {
  whole = true;
  struct stat info {};
  const int fd = open_regular(path, info);
  if (fd < 0) return std::string();
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  const std::size_t start = size > limit ? size - limit : 0;
  std::string text = read_at(fd, static_cast<off_t>(start), size - start);
  ::close(fd);
  whole = start == 0;
  if (!whole) {
    const std::size_t first_end = text.find('\n');
    text.erase(0, first_end == std::string::npos ? text.size() : first_end + 1);
  }
  return text;
}

std::string no_recorder(const LinkCounts& link) {
  return "no recorder connected" + (link.texts.recorder_address.empty() ? std::string(" (no NVR Address configured)")
                                                          : " from " + escaped_line(link.texts.recorder_address));
}

std::string link_state(const LinkCounts& link) {
  if (!link.listening) return "not listening";
  if (link.recorder_connected) return "listening, recorder " + escaped_line(link.texts.recorder_address) + " connected";
  return "listening, " + no_recorder(link);
}

std::string drops_growth(const LinkCounts& link, const LinkCounts& earlier) {
  std::string text;
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint64_t grown = growth(link.dropped[i], earlier.dropped[i]);
    if (grown == 0) continue;
    text += (text.empty() ? "" : ", ") + std::string(metric::kDropReasons[i]) + " " + std::to_string(grown);
  }
  return text;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

const char* const kEventMarks[] = {"Starting Marlobex", "Accepted connection", "Rejected connection",
                                   "Write failed",      "Error",               "failed",
                                   "Exiting",           "not keeping up",      "Listening on"};

bool is_event(const std::string& line) {
  for (const char* mark : kEventMarks) {
    if (line.find(mark) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::vector<MetricSample> parse_metrics(const std::string& text) {
  std::vector<MetricSample> samples;
  std::istringstream lines(text);
  std::string line;
  MetricSample sample;
  while (std::getline(lines, line)) {
    if (parse_sample_line(line, sample)) samples.push_back(sample);
  }
  return samples;
}

std::string LinkCounts::name() const {
  const std::string& nvr_port = texts.nvr_port;
  const std::string port = std::to_string(TerminalServer::port_number(nvr_port));
  return "port " + port + (port == nvr_port ? "" : " for NvrPort \"" + escaped_line(nvr_port) + "\"") +
         " (" + escaped_line(texts.key()) + ")";
}

Counters read_counters(const std::vector<MetricSample>& samples) {
  CountersBuilder builder;
  for (const MetricSample& sample : samples) builder.add(sample);
  return std::move(builder.counters);
}

double CountersSnapshot::seconds_since(const CountersSnapshot& earlier) const {
  return static_cast<double>(written - earlier.written) +
         static_cast<double>(written_nanoseconds - earlier.written_nanoseconds) / 1e9;
}

bool read_counters_file(const std::string& path, CountersSnapshot& snapshot) {
  // The file's identity and its text come from one open file, however often it is replaced.
  struct stat info {};
  const int fd = open_regular(path, info);
  if (fd < 0) return false;
  // Line by line: neither the whole text nor every sample is ever held at once.
  CountersBuilder builder;
  std::string line;
  char buffer[65536];
  for (std::size_t total = 0; total < kMaxCountersBytes;) {
    const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, kMaxCountersBytes - total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
    const char* at = buffer;
    const char* const end = buffer + got;
    while (const void* found = std::memchr(at, '\n', static_cast<std::size_t>(end - at))) {
      const char* const line_end = static_cast<const char*>(found);
      line.append(at, line_end);
      builder.add_line(line);
      line.clear();
      at = line_end + 1;
    }
    line.append(at, end);
  }
  ::close(fd);
  builder.add_line(line);
  snapshot.counters = std::move(builder.counters);
  snapshot.inode = info.st_ino;
  snapshot.written = info.st_mtim.tv_sec;
  snapshot.written_nanoseconds = info.st_mtim.tv_nsec;
  return true;
}

bool wait_for_replacement(const std::string& path, const CountersSnapshot& snapshot,
                          std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    struct stat info {};
    // A new file may reuse the old one's inode number, but not its modification time as well.
    if (::stat(path.c_str(), &info) == 0 &&
        (info.st_ino != snapshot.inode || info.st_mtim.tv_sec != snapshot.written ||
         info.st_mtim.tv_nsec != snapshot.written_nanoseconds)) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kReplacementPoll, deadline - now));
  }
}

std::vector<Problem> judge_counters(const Counters& latest, const Counters* before, long age,
                                    std::time_t now, long quiet_minutes) {
  std::vector<Problem> problems;
  if (age > kStaleSeconds) {
    // What it says about the links is old news.
    problems.push_back({2, "the counters file was written " + std::to_string(age) +
                               " s ago: the daemon has not replaced it for more than " +
                               std::to_string(kStaleSeconds) + " s"});
    return problems;
  }
  if (!latest.capture_open) {
    problems.push_back({2, "the capture adapter is not open: nothing is relayed (see the log)"});
  }
  const EarlierLinks earlier_links(before);
  for (const LinkCounts& link : latest.links) {
    if (!link.listening) {
      problems.push_back({1, link.name() + " is not listening: another program holds the port, or "
                                           "its server stopped (see the log)"});
    } else if (!link.recorder_connected) {
      problems.push_back({1, link.name() + " has " + no_recorder(link)});
    }
    const LinkCounts* earlier = earlier_links.find(link);
    if (earlier && link.all_dropped() > earlier->all_dropped()) {
      problems.push_back({1, link.name() + " is dropping payloads: " + drops_growth(link, *earlier) +
                                 " since the previous sample"});
    }
    const std::time_t since = link.last_payload ? link.last_payload : latest.start_time;
    if (quiet_minutes > 0 && link.recorder_connected && now - since > quiet_minutes * 60) {
      problems.push_back({1, link.name() + " has carried no payload for " +
                                 std::to_string((now - since) / 60) + " minutes" +
                                 (link.last_payload ? "" : ", since the start")});
    }
  }
  return problems;
}

std::string format_counters(const Counters& latest, const Counters* before, double interval) {
  std::ostringstream out;
  const std::string last = "in the last " + seconds_text(interval);
  out << "Capture: " << (latest.capture_open ? "open" : "NOT OPEN") << "; since the start "
      << latest.capture_frames << " frames, " << latest.kernel_drops << " kernel drops, "
      << latest.read_errors << " read errors";
  if (before) {
    out << "; " << last << " " << growth(latest.capture_frames, before->capture_frames)
        << " frames, " << growth(latest.kernel_drops, before->kernel_drops) << " kernel drops, "
        << growth(latest.read_errors, before->read_errors) << " read errors";
  }
  out << "\n";
  const EarlierLinks earlier_links(before);
  for (const LinkCounts& link : latest.links) {
    const LinkCounts* earlier = earlier_links.find(link);
    out << "  " << link.name() << ": " << link_state(link) << "\n    " << link.frames << " frames, "
        << link.payload_bytes << " bytes since the start";
    if (earlier) {
      out << "; " << growth(link.frames, earlier->frames) << " frames, "
          << growth(link.payload_bytes, earlier->payload_bytes) << " bytes " << last;
    }
    out << "\n    dropped:";
    for (std::size_t i = 0; i < 3; ++i) {
      out << (i ? ", " : " ") << metric::kDropReasons[i] << " " << link.dropped[i];
      if (earlier) out << " (+" << growth(link.dropped[i], earlier->dropped[i]) << ")";
    }
    out << "\n";
  }
  return out.str();
}

pid_t lock_holder(const std::string& path) {
  struct stat info {};
  const int fd = open_regular(path, info);
  if (fd < 0) return -1;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  // lockf locks from the current offset, the start, to the end of the file.
  const int result = ::fcntl(fd, F_GETLK, &query);
  ::close(fd);
  if (result != 0 || query.l_type == F_UNLCK) return 0;
  return query.l_pid;
}

std::vector<pid_t> processes_running(const std::string& executable) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end || pid <= 0 || pid == ::getpid()) continue;
    char target[4096];
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    if (std::string(target, static_cast<std::size_t>(length)) == executable) {
      found.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(proc);
  return found;
}

std::string read_log_tail(const std::string& log_path, const std::string& old_path, std::size_t limit) {
  bool whole = false;
  const std::string newer = file_end(log_path, limit, whole);
  if (!whole || newer.size() >= limit) return newer;
  return file_end(old_path, limit - newer.size(), whole) + newer;
}

std::vector<std::string> recent_log_events(const std::string& log_text, std::size_t count) {
  std::vector<std::string> events;
  std::istringstream lines(log_text);
  std::string line;
  while (std::getline(lines, line)) {
    if (is_event(line)) events.push_back(line);
  }
  if (events.size() > count) events.erase(events.begin(), events.end() - static_cast<long>(count));
  return events;
}

}  // namespace marlobex
