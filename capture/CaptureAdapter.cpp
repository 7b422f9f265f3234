#include "capture/CaptureAdapter.h"

#include "log/Log.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

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

// What pcap_open_live opens, with a kernel ring larger than its 2 MiB default: frames that arrive
// while the daemon waits for the scheduler or writes its counters must not overflow it.
pcap_t* open_adapter(const std::string& device_name, std::string& error) {
  char text[PCAP_ERRBUF_SIZE] = "";
  pcap_t* handle = pcap_create(device_name.c_str(), text);
  if (!handle) {
    error = text;
    return nullptr;
  }
  if (pcap_set_snaplen(handle, kSnapshotLength) != 0 || pcap_set_promisc(handle, kPromiscuous) != 0 ||
      pcap_set_timeout(handle, kReadTimeoutMs) != 0 || pcap_set_buffer_size(handle, kRingBytes) != 0 ||
      pcap_activate(handle) < 0) {
    error = pcap_geterr(handle);
    pcap_close(handle);
    return nullptr;
  }
  // Frames are decoded as Ethernet; any other link layer would be read as garbage.
  if (pcap_datalink(handle) != DLT_EN10MB) {
    error = "not an Ethernet adapter";
    pcap_close(handle);
    return nullptr;
  }
  pcap_setnonblock(handle, 1, text);
  return handle;
}

CaptureOpening open_live_capture(const std::string& adapter_address,
                                 const std::string& file_argument) {
  std::string find_error;
  const std::vector<CaptureDevice> devices = list_capture_devices(find_error);
  if (!find_error.empty()) {
    return {nullptr, CaptureFailure::DeviceList, "Error in pcap_findalldevs: " + find_error};
  }
  if (!file_argument.empty()) {
    return {nullptr, CaptureFailure::FileArgument,
            "This version is unable to play from a file in Linux: file://" + file_argument};
  }
  if (devices.empty()) {
    return {nullptr, CaptureFailure::NoDevices,
            "No interfaces found! Make sure WinPcap (Windows) or libpcap (Linux) is installed and that "
            "you are running with administrator or root privileges."};
  }
  const CaptureDevice* device = device_holding_address(devices, adapter_address);
  if (!device) return {nullptr, CaptureFailure::NoMatchingDevice, "Matching interface not found!"};
  const std::string& name = device->name;
  std::string open_error;
  pcap_t* handle = open_adapter(name, open_error);
  if (!handle) {
    return {nullptr, CaptureFailure::CannotOpen,
            "Unable to open the adapter. " + name + " is not supported by pcap library."};
  }
  Log::instance().line() << "Listening on " << (device->description.empty() ? name : device->description)
                         << " " << escape_control(adapter_address) << std::endl;
  return {handle, CaptureFailure::None, ""};
}

void wait_for_frames(pcap_t* handle) {
  const int fd = pcap_get_selectable_fd(handle);
  if (fd < 0) return;
  pollfd waiter{fd, POLLIN, 0};
  ::poll(&waiter, 1, kReadTimeoutMs);
}

int read_capture(pcap_t* handle, struct pcap_pkthdr** header, const unsigned char** data) {
  const int result = pcap_next_ex(handle, header, data);
  if (result != 0) return result;
  wait_for_frames(handle);
  return pcap_next_ex(handle, header, data);
}

}  // namespace marlobex
