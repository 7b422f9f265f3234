#include "app/Run.h"

#include "app/Daemon.h"
#include "capture/CaptureAdapter.h"
#include "capture/Dispatch.h"
#include "config/Configuration.h"
#include "log/Log.h"
#include "relay/IoService.h"

#include <boost/system/system_error.hpp>

#include <ctime>
#include <exception>
#include <memory>

namespace marlobex {

namespace {

const char kBannerVersion[] = "1.2.6.72482";

// The capture handle, closed once by its owner.
class CaptureHandle {
 public:
  explicit CaptureHandle(pcap_t* handle) : handle_(handle) {}
  ~CaptureHandle() { close(); }
  CaptureHandle(const CaptureHandle&) = delete;
  CaptureHandle& operator=(const CaptureHandle&) = delete;
  pcap_t* get() const { return handle_; }
  void close() {
    if (handle_) pcap_close(handle_);
    handle_ = nullptr;
  }

 private:
  pcap_t* handle_;
};

// Everything that lives from the I/O service on. Members are destroyed in reverse order: the
// links (and their sockets) go before the I/O service they were made on.
struct Relay {
  IoService io{kSingleThreaded};
  std::unique_ptr<IoWorkGuard> work{new IoWorkGuard(io)};
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  std::unique_ptr<TerminalMatcher> matcher;  // over `terminals`, once they are built

  ~Relay() { release(); }
  void release() {
    matcher.reset();
    terminals.clear();
    ports.clear();
    recorders.clear();
    work.reset();
  }
};

enum class LoopEnd { EndOfCapture, Signal };

void pause_after_failed_read() {
  const timespec pause{0, 10 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

LoopEnd main_loop(Relay& relay, pcap_t* capture) {
  ReadErrorReporter read_errors;
  for (;;) {
    if (const int signal_number = pending_signal()) {
      Log::instance().line() << signal_exit_message(signal_number) << std::endl;
      return LoopEnd::Signal;
    }
    boost::system::error_code error;
    relay.io.poll(error);
    if (error) throw boost::system::system_error(error);

    struct pcap_pkthdr* header = nullptr;
    const unsigned char* frame = nullptr;
    const int result = read_capture(capture, &header, &frame);
    if (result == 1) {
      read_errors.frame_read();
      dispatch_packet(*relay.matcher, frame, header->caplen);
    } else if (result == -2) {
      Log::instance().line() << "EOF: " << pcap_geterr(capture) << std::endl;
      return LoopEnd::EndOfCapture;
    } else if (result < 0) {
      read_errors.report(pcap_geterr(capture));
      pause_after_failed_read();
    }
  }
}

int run_relay(const TiXmlElement* root, CaptureHandle& capture) {
  std::unique_ptr<Relay> relay;
  try {
    relay.reset(new Relay);
    build_terminal_links(root, relay->io, relay->recorders, relay->ports, relay->terminals);
    if (relay->terminals.empty()) {
      Log::instance().line() << "No terminals were configured correctly. Exiting." << std::endl;
      capture.close();
      relay.reset();
      return -2;
    }
    relay->matcher.reset(new TerminalMatcher(relay->terminals));
    const LoopEnd end = main_loop(*relay, capture.get());
    // Links first, then the I/O service without running it again, then the capture handle.
    relay.reset();
    capture.close();
    if (end == LoopEnd::Signal) return 0;
    Log::instance().line() << "Exiting." << std::endl;
    return 0;
  } catch (const std::exception& e) {
    relay.reset();
    try {
      Log::instance().line() << "Exception: " << e.what() << std::endl;
      capture.close();
      Log::instance().line() << "Exiting." << std::endl;
    } catch (...) {
      // The log itself failing must not keep the process from ending with its status.
    }
    return kExceptionStatus;
  }
}

}  // namespace

int run(const std::string& file_argument) {
  daemonize();
  LoadedConfiguration configuration;
  std::unique_ptr<CaptureHandle> capture;
  try {
    Log::instance().line() << "------ Starting Marlobex version " << kBannerVersion << std::endl;
    configuration = load_configuration();
    const std::string adapter_address = read_adapter_address(configuration.root);
    capture.reset(new CaptureHandle(open_capture_adapter(adapter_address, file_argument)));
  } catch (const std::exception& e) {
    try {
      Log::instance().line() << "Exception: " << e.what() << std::endl;
    } catch (...) {
    }
    return kExceptionStatus;
  }
  return run_relay(configuration.root, *capture);
}

}  // namespace marlobex
