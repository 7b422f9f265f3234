// seed_from_captures OUTPUT_DIRECTORY CAPTURE...: one seed file per distinct frame of the
// captures, in the decode target's input format (two bytes of captured length, then the frame).
#include <pcap.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: seed_from_captures OUTPUT_DIRECTORY CAPTURE...\n");
    return 2;
  }
  const std::string out = argv[1];
  std::set<std::size_t> seen;
  unsigned written = 0;
  for (int i = 2; i < argc; ++i) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(argv[i], error);
    if (!capture) {
      std::fprintf(stderr, "%s\n", error);
      continue;
    }
    pcap_pkthdr* header;
    const unsigned char* data;
    while (pcap_next_ex(capture, &header, &data) == 1) {
      const std::string frame(reinterpret_cast<const char*>(data), header->caplen);
      if (!seen.insert(std::hash<std::string>()(frame)).second) continue;
      const unsigned length = header->caplen > 0xffff ? 0xffff : header->caplen;
      const std::string path = out + "/frame-" + std::to_string(written++);
      FILE* seed = std::fopen(path.c_str(), "wb");
      if (!seed) continue;
      const unsigned char prefix[2] = {static_cast<unsigned char>(length & 0xff),
                                       static_cast<unsigned char>(length >> 8)};
      std::fwrite(prefix, 1, 2, seed);
      std::fwrite(frame.data(), 1, frame.size(), seed);
      std::fclose(seed);
    }
    pcap_close(capture);
  }
  std::printf("%u seed frames\n", written);
  return 0;
}
