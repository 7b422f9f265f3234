#include "relay/TerminalLink.h"

namespace marlobex {

TerminalLink::TerminalLink(IoService& io, const std::string& src_address,
                           const std::string& dst_address, const std::string& src_port,
                           const std::string& dst_port, const std::string& recorder_address,
                           const std::string& nvr_port)
    : server(new TerminalServer(io, recorder_address, nvr_port)),
      SrcAddress(src_address),
      DstAddress(dst_address),
      SrcPort(src_port),
      DstPort(dst_port),
      RecorderAddress(recorder_address),
      NvrPort(nvr_port) {}

std::string TerminalLink::key(const std::string& src_address, const std::string& src_port,
                              const std::string& dst_address, const std::string& dst_port) {
  return src_address + ":" + src_port + ":" + dst_address + ":" + dst_port;
}

}  // namespace marlobex
