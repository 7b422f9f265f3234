/* baseline IFACE: the bare libpcap loop, opened as the daemon opens its adapter (snapshot 65536,
 * promiscuous, 10 ms timeout, non-blocking with a wait on the selectable descriptor when the ring
 * is empty), counting the frames of the configured link. Runs until SIGTERM.
 * Prints: frames matching cpu_seconds */
#define _GNU_SOURCE
#include <pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

static volatile sig_atomic_t stop;
static void on_signal(int s) { (void)s; stop = 1; }

int main(int argc, char** argv) {
  if (argc != 2) { fprintf(stderr, "usage: baseline IFACE\n"); return 2; }
  struct sigaction action = {0};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, NULL);
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* handle = pcap_open_live(argv[1], 65536, 1, 10, error);
  if (!handle) { fprintf(stderr, "%s\n", error); return 1; }
  pcap_setnonblock(handle, 1, error);
  const int fd = pcap_get_selectable_fd(handle);
  fprintf(stderr, "baseline listening\n");
  unsigned long long frames = 0, matching = 0;
  while (!stop) {
    struct pcap_pkthdr* header;
    const unsigned char* data;
    int result = pcap_next_ex(handle, &header, &data);
    if (result == 0) {
      struct pollfd waiter = {fd, POLLIN, 0};
      if (poll(&waiter, 1, 10) <= 0) continue;
      result = pcap_next_ex(handle, &header, &data);
    }
    if (result != 1) continue;
    ++frames;
    /* the link: IPv4 TCP to port 9100 from 10.204.0.1 */
    if (header->caplen >= 54 && data[12] == 0x08 && data[13] == 0x00 && data[23] == 6 &&
        data[26] == 10 && data[27] == 204 && data[28] == 0 && data[29] == 1 && data[36] == 0x23 &&
        data[37] == 0x8c) {
      ++matching;
    }
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  printf("%llu %llu %.6f\n", frames, matching,
         (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + (double)usage.ru_stime.tv_sec +
             usage.ru_stime.tv_usec / 1e6);
  pcap_close(handle);
  return 0;
}
