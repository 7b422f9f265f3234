#pragma once

#include <cstdint>

// Where the decoder and the kernel filter find what they read in an Ethernet frame.
namespace marlobex::frame {

constexpr std::uint32_t kEtherType = 12;    ///< offset of the EtherType of an untagged frame
constexpr std::uint32_t kIPv4Header = 14;   ///< offset of the IPv4 header of an untagged frame
constexpr std::uint32_t kVlanTag = 4;       ///< bytes of one 802.1Q tag
constexpr std::uint32_t kEtherTypeIPv4 = 0x0800;
constexpr std::uint32_t kEtherTypeVlan = 0x8100;
constexpr std::uint32_t kIPv4MinHeader = 20;
constexpr std::uint32_t kTcpMinHeader = 20;
constexpr std::uint32_t kUdpHeader = 8;
constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kProtocolUdp = 17;
constexpr std::uint32_t kFragmentOffset = 0x1FFF;  ///< of the IPv4 flags and fragment offset field
constexpr std::uint32_t kMoreFragments = 0x2000;

}  // namespace marlobex::frame
