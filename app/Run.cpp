#include "app/Run.h"

#include "app/CountersFile.h"
#include "app/Daemon.h"
#include "app/ServiceNotifier.h"
#include "capture/CaptureAdapter.h"
#include "capture/CaptureSource.h"
#include "capture/Dispatch.h"
#include "config/Configuration.h"
#include "log/InstallDirectory.h"
#include "log/Log.h"
#include "relay/IoService.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>

namespace marlobex {

namespace {

// Everything that lives from the I/O service on. Members are destroyed in reverse order: the
// links (and their sockets) go before the I/O service they were made on.
struct Relay {
  IoService io{kSingleThreaded};
  std::unique_ptr<IoWorkGuard> work{new IoWorkGuard(io)};
  RecorderTable recorders;
  NvrPortSet ports;
  TerminalTable terminals;
  std::time_t start_time = std::time(nullptr);
  std::unique_ptr<TerminalMatcher> matcher;  // over `terminals`, once they are built

  CountersView counters_view(const CaptureSource& capture) const {
    return CountersView{start_time, capture, terminals};
  }
};

enum class LoopEnd { EndOfCapture, Signal };

using Clock = CaptureSource::Clock;

// While frames stream in, relay I/O waits at most this long for its turn.
constexpr std::chrono::milliseconds kServiceInterval{1};
// Relay completions run per turn, so that no peer keeps the capture from being read.
constexpr std::size_t kHandlersPerTurn = 32;

// Sends the payloads gathered since the last turn, runs the relay completions that are ready, up
// to a bound, and the periodic work of the capture, the counters and the service manager's watchdog.
void service(Relay& relay, CaptureSource& capture, CountersFile& counters, ServiceNotifier& notifier,
             Clock::time_point now) {
  relay.matcher->send_gathered();
  run_ready_handlers(relay.io, kHandlersPerTurn);
  capture.check_statistics(now);
  const CountersView view = relay.counters_view(capture);
  if (counters.update(now, view)) notifier.report(now, view);
  notifier.keep_alive(now);
}

// Frames are read without a system call of their own while the ring holds any; relay I/O, with the
// sends of the payloads gathered meanwhile, is serviced whenever the ring is empty, before any
// wait, and otherwise once a millisecond.
LoopEnd main_loop(Relay& relay, CaptureSource& capture, CountersFile& counters,
                  ServiceNotifier& notifier) {
  Clock::time_point last_service;
  for (;;) {
    if (pending_signal()) return LoopEnd::Signal;
    CapturedFrame frame;
    const CaptureSource::Read read = capture.next(frame);
    if (read == CaptureSource::Read::End) {
      Log::instance().line() << "EOF: " << capture.error_text() << std::endl;
      return LoopEnd::EndOfCapture;
    }
    if (read == CaptureSource::Read::Frame) {
      dispatch_packet(*relay.matcher, frame.bytes, frame.captured_length, frame.microseconds);
      const Clock::time_point now = Clock::now();
      if (now - last_service < kServiceInterval) continue;
      service(relay, capture, counters, notifier, now);
      last_service = now;
      continue;
    }
    last_service = Clock::now();
    service(relay, capture, counters, notifier, last_service);
    capture.wait();
  }
}

int run_relay(const TiXmlElement* root, CaptureSource& capture) {
  std::unique_ptr<Relay> relay;
  try {
    relay.reset(new Relay);
    build_terminal_links(root, relay->io, relay->recorders, relay->ports, relay->terminals);
    if (relay->terminals.empty()) {
      Log::instance().line() << "No terminals were configured correctly. Exiting." << std::endl;
      capture.close();
      relay.reset();
      return kNoTerminalsStatus;
    }
    const bool suppress_duplicates = suppresses_duplicates(read_duplicate_setting(root));
    relay->matcher.reset(new TerminalMatcher(relay->terminals, suppress_duplicates));
    capture.filter_for(relay->matcher->rules());
    if (suppress_duplicates) {
      Log::instance().line()
          << "Suppressing duplicate frames: a copy of a packet that its link took in the last 50 ms is not relayed."
          << std::endl;
    }
    CountersFile counters(kInstallDirectory);
    ServiceNotifier notifier;
    notifier.ready();
    const LoopEnd end = main_loop(*relay, capture, counters, notifier);
    relay->matcher->send_gathered();  // what the last frames gathered, as the loop would have
    counters.write(relay->counters_view(capture));
    // The signal's line is the run's last, after anything the counters' last write had to say.
    if (end == LoopEnd::Signal) Log::instance().line() << signal_exit_message(pending_signal()) << std::endl;
    // Links first, then the I/O service without running it again, then the capture handle.
    relay.reset();
    capture.close();
    if (end != LoopEnd::Signal) Log::instance().line() << "Exiting." << std::endl;
    return kSuccessStatus;
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

// The statuses of the processes that daemon start-up does not leave to go on.
int status_of(DaemonStart start) {
  return start == DaemonStart::ForkFailed || start == DaemonStart::LockFailed ? kDaemonStartFailedStatus
                                                                               : kSuccessStatus;
}

int configuration_failed(LoadResult result) {
  if (result == LoadResult::NoRootElement) {
    Log::instance().line() << "Failed to get config root element. Exiting." << std::endl;
    return kNoRootElementStatus;
  }
  Log::instance().line() << "Failed to load Marlobex.xml. Exiting." << std::endl;
  return kConfigurationFailedStatus;
}

int capture_failed(const CaptureOpening& opening) {
  // Started from a shell, the operator sees at once that capture needs root.
  if (opening.failure == CaptureFailure::NoDevices) std::cout << opening.text << std::endl;
  Log::instance().line() << opening.text << std::endl;
  const bool not_found = opening.failure == CaptureFailure::DeviceList ||
                         opening.failure == CaptureFailure::NoDevices ||
                         opening.failure == CaptureFailure::NoMatchingDevice;
  return not_found ? kAdapterNotFoundStatus : kAdapterFailedStatus;
}

}  // namespace

void build_terminal_links(const TiXmlElement* root, IoService& io, RecorderTable& recorders,
                          NvrPortSet& ports, TerminalTable& terminals) {
  ConfigurationSink sink;
  sink.has_link = [&terminals](const std::string& key) { return terminals.count(key) != 0; };
  sink.add_link = [&terminals, &io](const TerminalEntry& entry) { add_link(terminals, io, entry); };
  sink.report = [](const std::string& message) { Log::instance().line() << message << std::endl; };
  walk_terminal_entries(root, recorders, ports, sink);
}

int run(const std::string& file_argument) {
  const DaemonStart start = daemonize();
  if (start != DaemonStart::Daemon) return status_of(start);
  raise_descriptor_limit();
  LoadedConfiguration configuration;
  std::unique_ptr<CaptureSource> capture;
  try {
    Log::instance().line() << "------ Starting Marlobex version " << kVersion << std::endl;
    const LoadResult loaded = load_configuration_file(configuration_path(), configuration);
    if (loaded != LoadResult::Loaded) return configuration_failed(loaded);
    const std::string adapter_address = read_adapter_address(configuration.root);
    const CaptureOpening opening = open_live_capture(adapter_address, file_argument);
    if (!opening.handle) return capture_failed(opening);
    capture.reset(new CaptureSource(adapter_address, opening.handle));
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
