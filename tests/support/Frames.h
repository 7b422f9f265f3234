#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace marlobex::test {

/// An Ethernet frame carrying IPv4 with TCP or UDP, described field by field.
struct FrameFields {
  bool tagged = false;
  std::uint16_t ether_type = 0x0800;
  unsigned ip_version = 4;
  unsigned ip_option_words = 0;
  unsigned char protocol = 6;
  unsigned tcp_option_words = 0;
  std::uint16_t fragment = 0;  // flags and offset
  std::vector<unsigned char> src{192, 168, 1, 101}, dst{10, 0, 0, 5};
  std::uint16_t src_port = 40000, dst_port = 9100;
  std::string payload = "RECEIPT";
  std::size_t padding = 0;
  int total_length_delta = 0;
};

/// The frame's bytes, exactly as long as the headers, payload and padding.
std::vector<unsigned char> build(const FrameFields& fields);

}  // namespace marlobex::test
