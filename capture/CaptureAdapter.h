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

/// Why the capture adapter could not be opened.
enum class CaptureFailure { None, DeviceList, FileArgument, NoDevices, NoMatchingDevice, CannotOpen };

/// How one attempt to open the capture adapter ended: a handle, or why not with the log line.
struct CaptureOpening {
  pcap_t* handle = nullptr;
  CaptureFailure failure = CaptureFailure::None;
  std::string text;
};

/// Opens a device for live Ethernet capture as the daemon reads it: snapshot length, promiscuous
/// mode, read timeout, a large kernel ring and non-blocking reads for read_capture. Null, with
/// `error` set, when the device cannot be opened or does not carry Ethernet.
pcap_t* open_adapter(const std::string& device_name, std::string& error);

/// Lists the devices, refuses a non-empty file argument, opens the first device that holds
/// `adapter_address` and logs "Listening on ...". Logs nothing when it fails.
CaptureOpening open_live_capture(const std::string& adapter_address, const std::string& file_argument);

/// Waits at most the read timeout for the handle to hold a frame. Linux's TPACKET_V3 ring hands
/// over a block only when the kernel retires it, which never happens on an adapter that carries no
/// frame at all, so the descriptor is waited on, not the read.
void wait_for_frames(pcap_t* handle);

/// One read of a handle from open_adapter that returns 0 within the read timeout when no frame
/// comes.
int read_capture(pcap_t* handle, struct pcap_pkthdr** header, const unsigned char** data);

}  // namespace marlobex
