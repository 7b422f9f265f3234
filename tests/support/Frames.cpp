#include "tests/support/Frames.h"

#include <cstring>

namespace marlobex::test {

static void put16(std::vector<unsigned char>& f, std::size_t at, unsigned v) {
  f[at] = static_cast<unsigned char>(v >> 8);
  f[at + 1] = static_cast<unsigned char>(v);
}

std::vector<unsigned char> build(const FrameFields& s) {
  std::vector<unsigned char> f(12, 0xAA);
  f.reserve(64);  // the headers; growing from 12 bytes makes GCC 12 warn of a bounds error falsely
  if (s.tagged) f.insert(f.end(), {0x81, 0x00, 0x00, 0x05});
  f.push_back(static_cast<unsigned char>(s.ether_type >> 8));
  f.push_back(static_cast<unsigned char>(s.ether_type));
  const std::size_t ip = f.size();
  const unsigned ihl = 5 + s.ip_option_words;
  const unsigned transport = s.protocol == 17 ? 8 : 4 * (5 + s.tcp_option_words);
  f.resize(ip + 4 * ihl + transport, 0x01);  // options filled with NOPs
  f[ip] = static_cast<unsigned char>((s.ip_version << 4) | ihl);
  const int total = static_cast<int>(4 * ihl + transport + s.payload.size()) + s.total_length_delta;
  put16(f, ip + 2, static_cast<unsigned>(total));
  put16(f, ip + 6, s.fragment);
  f[ip + 9] = s.protocol;
  std::memcpy(&f[ip + 12], s.src.data(), 4);
  std::memcpy(&f[ip + 16], s.dst.data(), 4);
  const std::size_t t = ip + 4 * ihl;
  put16(f, t, s.src_port);
  put16(f, t + 2, s.dst_port);
  if (s.protocol == 6) f[t + 12] = static_cast<unsigned char>((5 + s.tcp_option_words) << 4);
  f.insert(f.end(), s.payload.begin(), s.payload.end());
  f.insert(f.end(), s.padding, 0);
  return f;
}

}  // namespace marlobex::test
