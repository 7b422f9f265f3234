#pragma once

#include "config/Configuration.h"

#include <string>

// The names in the counters file, for the daemon that writes it and the status tool that reads it.
namespace marlobex::metric {

constexpr const char* kInfo = "marlobex_info";
constexpr const char* kStartTime = "marlobex_start_time_seconds";
constexpr const char* kCaptureOpen = "marlobex_capture_open";
constexpr const char* kCaptureFrames = "marlobex_capture_frames_total";
constexpr const char* kCaptureKernelDrops = "marlobex_capture_kernel_drops_total";
constexpr const char* kCaptureReadErrors = "marlobex_capture_read_errors_total";
/// Every link metric begins so.
constexpr const char* kLinkPrefix = "marlobex_link_";
constexpr const char* kLinkFrames = "marlobex_link_frames_total";
constexpr const char* kLinkPayloadBytes = "marlobex_link_payload_bytes_total";
constexpr const char* kLinkSentBytes = "marlobex_link_sent_bytes_total";
constexpr const char* kLinkRecorderConnections = "marlobex_link_recorder_connections_total";
constexpr const char* kLinkRejectedConnections = "marlobex_link_rejected_connections_total";
constexpr const char* kLinkDuplicateFrames = "marlobex_link_duplicate_frames_total";
constexpr const char* kLinkListening = "marlobex_link_listening";
constexpr const char* kLinkRecorderConnected = "marlobex_link_recorder_connected";
constexpr const char* kLinkLastPayload = "marlobex_link_last_payload_seconds";
constexpr const char* kLinkDroppedPayloads = "marlobex_link_dropped_payloads_total";
/// The label of a dropped payload's reason, and the reasons in the order they are written.
constexpr const char* kReasonLabel = "reason";
constexpr const char* kDropReasons[3] = {"no_recorder", "slow_recorder", "write_failed"};

/// The labels of every link sample, in the order they are written, with the configured text each
/// carries.
struct LinkLabel {
  const char* name;
  std::string TerminalEntry::*text;
};
constexpr LinkLabel kLinkLabels[6] = {
    {"nvr_port", &TerminalEntry::nvr_port},       {"recorder", &TerminalEntry::recorder_address},
    {"src_address", &TerminalEntry::src_address}, {"src_port", &TerminalEntry::src_port},
    {"dst_address", &TerminalEntry::dst_address}, {"dst_port", &TerminalEntry::dst_port}};

}  // namespace marlobex::metric
