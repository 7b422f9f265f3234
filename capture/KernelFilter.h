#pragma once

#include "capture/LinkMatcher.h"

#include <pcap.h>

#include <cstddef>
#include <vector>

namespace marlobex {

/// The most instructions the kernel takes in one classic BPF program.
constexpr std::size_t kKernelFilterLimit = 4096;

/// A classic BPF program for the capture handle, made from the links' rules.
struct KernelFilter {
  std::vector<bpf_insn> program;
  /// The exact program would not fit: this one passes every IPv4 TCP and UDP frame.
  bool coarse = false;
};

/// The program that passes every frame from which decode_frame gets a packet that one of `rules`
/// matches: untagged, behind one 802.1Q tag, and with that tag already taken out, as the kernel
/// runs it (its receive path takes the tag out; libpcap puts it back afterwards). Of the frames
/// that decode, it rejects exactly those that no rule matches; of the rest, most. Frames that pass
/// are still decoded and matched in full, so the program only saves work.
KernelFilter build_kernel_filter(const std::vector<MatchRule>& rules);

/// The program that passes every IPv4 TCP and UDP frame but later fragments, tagged or not.
KernelFilter coarse_kernel_filter();

}  // namespace marlobex
