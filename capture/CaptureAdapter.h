#pragma once

#include <pcap.h>

#include <cstdint>
#include <string>
#include <vector>

namespace marlobex {

/// Snapshot length, promiscuous mode and read timeout of the live capture.
constexpr int kSnapshotLength = 65536;
constexpr int kPromiscuous = 1;
constexpr int kReadTimeoutMs = 10;
/// Bytes of the kernel's capture ring.
constexpr int kRingBytes = 8 * 1024 * 1024;

/// One capture device as pcap_findalldevs lists it, with its IPv4 addresses in dotted decimal.
struct CaptureDevice {
  std::string name;
  std::string description;
  std::vector<std::string> ipv4_addresses;
};

/// The capture devices in pcap_findalldevs order; on failure, empty with `error` set.
std::vector<CaptureDevice> list_capture_devices(std::string& error);

/// The first device that holds `adapter_address`, the one the daemon opens; null if none.
const CaptureDevice* device_holding_address(const std::vector<CaptureDevice>& devices,
                                            const std::string& adapter_address);

/// How one attempt to open the capture adapter ended: a handle, or the failure's log line and the
/// exit code that start-up gives it.
struct CaptureOpening {
  pcap_t* handle = nullptr;
  std::string failure;
  int exit_code = 0;
  bool no_devices = false;  ///< start-up also prints this failure to standard output
  CaptureOpening& failed(std::string text, int code) {
    failure = std::move(text);
    exit_code = code;
    return *this;
  }
};

/// Lists the devices, refuses a non-empty file argument, opens the first device that holds
/// `adapter_address` for live Ethernet capture in the mode that read_capture expects and logs
/// "Listening on ...". Logs nothing when it fails.
CaptureOpening open_live_capture(const std::string& adapter_address, const std::string& file_argument);

/// open_live_capture at start-up: every failure is logged and ends the process.
pcap_t* open_capture_adapter(const std::string& adapter_address, const std::string& file_argument);

/// One read of the capture handle that returns 0 within the read timeout when no frame comes.
/// The handle is put in non-blocking mode; an empty read waits on its descriptor for at most the
/// read timeout and then reads once more.
int read_capture(pcap_t* handle, struct pcap_pkthdr** header, const unsigned char** data);

/// Puts the handle in the mode that read_capture expects.
void prepare_capture_reads(pcap_t* handle);

}  // namespace marlobex
