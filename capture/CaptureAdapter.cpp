#include "capture/CaptureAdapter.h"

#include "log/Log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace marlobex {

namespace {

// The device list from pcap_findalldevs, freed on every way out.
class DeviceList {
 public:
  DeviceList() = default;
  ~DeviceList() {
    if (devices_) pcap_freealldevs(devices_);
  }
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;
  pcap_if_t** out() { return &devices_; }
  pcap_if_t* first() const { return devices_; }

 private:
  pcap_if_t* devices_ = nullptr;
};

// What pcap_open_live opens, with a kernel ring larger than its 2 MiB default: frames that arrive
// while the daemon waits for the scheduler or writes its counters must not overflow it.
pcap_t* open_live_handle(const std::string& name) {
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_t* handle = pcap_create(name.c_str(), error);
  if (!handle) return nullptr;
  if (pcap_set_snaplen(handle, kSnapshotLength) != 0 || pcap_set_promisc(handle, kPromiscuous) != 0 ||
      pcap_set_timeout(handle, kReadTimeoutMs) != 0 || pcap_set_buffer_size(handle, kRingBytes) != 0 ||
      pcap_activate(handle) < 0) {
    pcap_close(handle);
    return nullptr;
  }
  return handle;
}

// Dotted-decimal text of an IPv4 address in network byte order.
std::string format_ipv4(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace

std::vector<CaptureDevice> list_capture_devices(std::string& error) {
  char text[PCAP_ERRBUF_SIZE] = "";
  DeviceList devices;
  std::vector<CaptureDevice> result;
  if (pcap_findalldevs(devices.out(), text) == -1) {
    error = text[0] ? text : "unknown error";
    return result;
  }
  for (const pcap_if_t* device = devices.first(); device; device = device->next) {
    CaptureDevice entry{device->name, device->description ? device->description : "", {}};
    for (const pcap_addr_t* address = device->addresses; address; address = address->next) {
      if (!address->addr || address->addr->sa_family != AF_INET) continue;
      const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address->addr);
      entry.ipv4_addresses.push_back(format_ipv4(ipv4->sin_addr));
    }
    result.push_back(std::move(entry));
  }
  return result;
}

const CaptureDevice* device_holding_address(const std::vector<CaptureDevice>& devices,
                                            const std::string& adapter_address) {
  for (const CaptureDevice& device : devices) {
    for (const std::string& address : device.ipv4_addresses) {
      if (address == adapter_address) return &device;
    }
  }
  return nullptr;
}

CaptureOpening open_live_capture(const std::string& adapter_address,
                                 const std::string& file_argument) {
  CaptureOpening opening;
  std::string find_error;
  const std::vector<CaptureDevice> devices = list_capture_devices(find_error);
  if (!find_error.empty()) return opening.failed("Error in pcap_findalldevs: " + find_error, -3);
  if (!file_argument.empty()) {
    return opening.failed("This version is unable to play from a file in Linux: file://" + file_argument, -1);
  }
  if (devices.empty()) {
    opening.no_devices = true;
    return opening.failed(
        "No interfaces found! Make sure WinPcap (Windows) or libpcap (Linux) is installed and that "
        "you are running with administrator or root privileges.",
        -3);
  }
  const CaptureDevice* device = device_holding_address(devices, adapter_address);
  if (!device) return opening.failed("Matching interface not found!", -3);

  const std::string& name = device->name;
  const std::string not_supported =
      "Unable to open the adapter. " + name + " is not supported by pcap library.";
  pcap_t* handle = open_live_handle(name);
  if (!handle) return opening.failed(not_supported, -1);
  // Frames are decoded as Ethernet; any other link layer would be read as garbage.
  if (pcap_datalink(handle) != DLT_EN10MB) {
    pcap_close(handle);
    return opening.failed(not_supported, -1);
  }
  Log::instance().line() << "Listening on " << (device->description.empty() ? name : device->description)
                         << " " << escape_control(adapter_address) << std::endl;
  prepare_capture_reads(handle);
  opening.handle = handle;
  return opening;
}

pcap_t* open_capture_adapter(const std::string& adapter_address, const std::string& file_argument) {
  const CaptureOpening opening = open_live_capture(adapter_address, file_argument);
  if (opening.handle) return opening.handle;
  if (opening.no_devices) std::cout << opening.failure << std::endl;
  Log::instance().line() << opening.failure << std::endl;
  std::exit(opening.exit_code);
}

void prepare_capture_reads(pcap_t* handle) {
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_setnonblock(handle, 1, error);
}

int read_capture(pcap_t* handle, struct pcap_pkthdr** header, const unsigned char** data) {
  int result = pcap_next_ex(handle, header, data);
  if (result != 0) return result;
  // Linux's TPACKET_V3 ring hands over a block only when the kernel retires it, which never
  // happens on an adapter that carries no frame at all: wait here for the read timeout instead.
  const int fd = pcap_get_selectable_fd(handle);
  if (fd < 0) return 0;
  pollfd waiter{fd, POLLIN, 0};
  if (::poll(&waiter, 1, kReadTimeoutMs) <= 0) return 0;
  return pcap_next_ex(handle, header, data);
}

}  // namespace marlobex
