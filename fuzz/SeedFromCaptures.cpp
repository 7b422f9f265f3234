// seed_from_captures OUTPUT_DIRECTORY CAPTURE...: one seed file per distinct frame of the
// captures, in the decode target's input format (two bytes of captured length, then the frame).
#include <pcap.h>

#include <fstream>
#include <iostream>
#include <set>
#include <string>

int main(int argc, char** argv) {
  std::set<std::string> seen;
  for (int i = 2; i < argc; ++i) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* capture = pcap_open_offline(argv[i], error);
    if (!capture) {
      std::cerr << error << "\n";
      continue;
    }
    pcap_pkthdr* header;
    const unsigned char* data;
    while (pcap_next_ex(capture, &header, &data) == 1) {
      const unsigned length = header->caplen > 0xffff ? 0xffff : header->caplen;
      const std::string seed = std::string{static_cast<char>(length & 0xff), static_cast<char>(length >> 8)} +
                               std::string(reinterpret_cast<const char*>(data), header->caplen);
      if (seen.insert(seed).second) {
        std::ofstream(argv[1] + ("/frame-" + std::to_string(seen.size() - 1)), std::ios::binary) << seed;
      }
    }
    pcap_close(capture);
  }
  std::cout << seen.size() << " seed frames\n";
  return 0;
}
