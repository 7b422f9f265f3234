#include "capture/CaptureSource.h"

#include "capture/CaptureAdapter.h"
#include "log/Log.h"

#include <sys/socket.h>

#include <ctime>

namespace marlobex {

namespace {

void pause_for_read_timeout() {
  const timespec pause{0, kReadTimeoutMs * 1000L * 1000L};
  nanosleep(&pause, nullptr);
}

// Whether the kernel runs `program` on the handle's socket. libpcap runs a program that the kernel
// refused (over net.core.optmem_max, for one) itself, on every frame, and says so only on stderr.
bool kernel_runs(pcap_t* handle, std::vector<bpf_insn>& program) {
  bpf_program attached{static_cast<u_int>(program.size()), program.data()};
  if (pcap_setfilter(handle, &attached) != 0) return false;
  socklen_t instructions = 0;
  return getsockopt(pcap_fileno(handle), SOL_SOCKET, SO_GET_FILTER, nullptr, &instructions) == 0 &&
         instructions == program.size();
}

long whole_seconds(CaptureSource::Clock::duration span) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

}  // namespace

CaptureSource::CaptureSource(std::string adapter_address, pcap_t* handle)
    : adapter_address_(std::move(adapter_address)), handle_(handle) {
  const Clock::time_point now = Clock::now();
  last_statistics_ = now;
  last_drop_report_ = now;
}

CaptureSource::~CaptureSource() { close(); }

void CaptureSource::close() {
  if (handle_) pcap_close(handle_);
  handle_ = nullptr;
}

std::string CaptureSource::error_text() const { return handle_ ? pcap_geterr(handle_) : ""; }

CaptureSource::Read CaptureSource::next(CapturedFrame& frame) {
  if (!handle_) return Read::Empty;
  struct pcap_pkthdr* header = nullptr;
  const int result = pcap_next_ex(handle_, &header, &frame.bytes);
  if (result == 1) {
    ++counters_.frames;
    failures_ = 0;
    last_error_.clear();
    frame.captured_length = header->caplen;
    frame.microseconds = std::int64_t{header->ts.tv_sec} * 1000000 + header->ts.tv_usec;
    return Read::Frame;
  }
  if (result == -2) return Read::End;
  if (result < 0) {
    read_failed();
  } else {
    failures_ = 0;
  }
  return Read::Empty;
}

void CaptureSource::read_failed() {
  ++counters_.read_errors;
  const std::string text = pcap_geterr(handle_);
  const Clock::time_point now = Clock::now();
  // The same text again, with no frame read in between, is written at most once a second.
  if (text != last_error_ || now - last_error_logged_ >= std::chrono::seconds(1)) {
    Log::instance().line() << "Error reading the packets: " << text << std::endl;
    last_error_ = text;
    last_error_logged_ = now;
  }
  // A link that goes down fails one read and then carries frames again when it comes up; an
  // adapter that was removed fails every read until its handle is given up.
  if (++failures_ >= kFailuresBeforeReopen) close_for_reopen();
}

void CaptureSource::wait() {
  if (!handle_) {
    pause_for_read_timeout();
    if (Clock::now() - last_open_attempt_ >= kReopenInterval) try_reopen();
    return;
  }
  if (failures_ > 0) {
    pause_for_read_timeout();
    return;
  }
  wait_for_frames(handle_);
}

void CaptureSource::close_for_reopen() {
  Log::instance().line() << "Closing the capture adapter; opening it again every second." << std::endl;
  fold_statistics();
  close();
  handle_drops_ = 0;
  failures_ = 0;
  last_open_attempt_ = Clock::now();
}

void CaptureSource::try_reopen() {
  last_open_attempt_ = Clock::now();
  const CaptureOpening opening = open_live_capture(adapter_address_, "");
  handle_ = opening.handle;
  attach_filter();
}

void CaptureSource::filter_for(const std::vector<MatchRule>& rules) {
  filter_ = build_kernel_filter(rules);
  if (filter_.coarse) {
    Log::instance().line() << "The capture filter for " << rules.size()
                           << " links would need more than 4096 instructions: it passes every IPv4 TCP and UDP frame."
                           << std::endl;
  }
  attach_filter();
}

void CaptureSource::attach_filter() {
  if (!handle_ || filter_.program.empty() || kernel_runs(handle_, filter_.program)) return;
  if (!filter_.coarse) {
    Log::instance().line() << "The kernel did not take the capture filter of " << filter_.program.size()
                           << " instructions: it passes every IPv4 TCP and UDP frame." << std::endl;
    filter_ = coarse_kernel_filter();
    if (kernel_runs(handle_, filter_.program)) return;
  }
  Log::instance().line() << "The kernel did not take the capture filter: every frame is read." << std::endl;
}

void CaptureSource::check_statistics(Clock::time_point now) {
  if (now - last_statistics_ < kStatisticsInterval) return;
  last_statistics_ = now;
  fold_statistics();
  report_drops(now);
}

void CaptureSource::fold_statistics() {
  struct pcap_stat statistics = {};
  if (!handle_ || pcap_stats(handle_, &statistics) != 0) return;
  // Both counts are 32 bits and count from the handle's opening; the difference in 32 bits is
  // right across a wrap.
  const std::uint32_t drops = statistics.ps_drop + statistics.ps_ifdrop;
  counters_.kernel_drops += static_cast<std::uint32_t>(drops - handle_drops_);
  handle_drops_ = drops;
}

void CaptureSource::report_drops(Clock::time_point now) {
  if (counters_.kernel_drops == reported_drops_) return;
  if (reported_drops_ != 0 && now - last_drop_report_ < kDropReportInterval) return;
  Log::instance().line() << "Capture dropped " << counters_.kernel_drops - reported_drops_
                         << " frames in the last " << whole_seconds(now - last_drop_report_) << " s."
                         << std::endl;
  reported_drops_ = counters_.kernel_drops;
  last_drop_report_ = now;
}

}  // namespace marlobex
