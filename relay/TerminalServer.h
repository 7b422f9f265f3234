#pragma once

#include "relay/IoService.h"
#include "relay/LinkCounters.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace marlobex {

/// The TCP server of one terminal link: listens on the link's NvrPort, admits one connection at a
/// time and only from the recorder address, and writes the link's payload to it.
class TerminalServer {
 public:
  /// The life of the server and its recorder connection. An accept is armed exactly while
  /// Listening or Finished (or its retry pause runs); a Finished connection is still written to.
  ///   (creation)  bind and listen succeed                         -> Listening
  ///   (creation)  they fail (bind-failure line)                   -> Stopped
  ///   Listening   the recorder's address connects (admission)     -> Connected
  ///   Connected   the recorder's stream ends                      -> Finished (accepts again)
  ///   Finished    the recorder's address connects, still open     -> Connected (closed line, then
  ///               the admission line; the finished connection goes)
  ///   Finished    a connection that already ended                 -> Finished (closed silently)
  ///   Listening, Finished  another address connects (rejection)   -> unchanged
  ///   Connected   the recorder resets (closed line)               -> Listening
  ///   Connected, Finished  a write fails (write-failure line)     -> Listening
  ///   Listening, Finished  an accept fails for good               -> Stopped
  enum class State { Listening, Connected, Finished, Stopped };

  /// At most this many bytes of one payload are sent.
  static constexpr std::int32_t kMaxPayload = 65535;
  /// Bytes that may wait for a slow recorder; a payload that does not fit is dropped whole.
  static constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;
  /// Distinct rejected peer addresses that are logged; later strangers are closed silently.
  static constexpr std::size_t kRejectedLimit = 1024;
  static constexpr int kListenBacklog = 128;
  /// Pause before accepting again after an accept failed for lack of descriptors or memory.
  static constexpr std::chrono::milliseconds kAcceptRetryPause{100};
  /// What a recorder sends is read in chunks of this size and discarded, one chunk per completion.
  static constexpr std::size_t kReadChunk = 64 * 1024;

  /// Logs the creation line, binds 0.0.0.0 on the port that NvrPort gives and arms the first accept.
  /// A failing bind is logged and leaves the server Stopped; it never throws for the network.
  TerminalServer(IoService& io, const std::string& recorder_address, const std::string& nvr_port);
  ~TerminalServer();
  TerminalServer(const TerminalServer&) = delete;
  TerminalServer& operator=(const TerminalServer&) = delete;

  /// Hands one payload, captured at `captured_at` (Unix time), to the admitted recorder; discarded
  /// when no recorder is connected. It waits for send_gathered() unless a write is in flight, which
  /// takes it along. True when it is the first to wait: the caller then owes one send_gathered().
  bool send_payload(const unsigned char* data, std::int32_t length, std::time_t captured_at);

  /// Sends the payloads handed over since the last call in one send, unless a write is in flight;
  /// what the kernel does not take at once is written as the recorder reads.
  void send_gathered();

  /// Counts a second copy of a payload, which is not sent.
  void count_duplicate() { ++counters_.duplicate_frames; }

  /// The port number a NvrPort text names: what atoi reads, reduced to 16 bits.
  static unsigned short port_number(const std::string& nvr_port);

  State state() const { return state_; }
  /// Whether a recorder connection is held and written to (Connected or Finished).
  bool has_recorder() const { return state_ == State::Connected || state_ == State::Finished; }
  /// The local port actually listened on (the system's choice for port 0); 0 when not bound.
  unsigned short local_port() const;
  /// Bytes handed over but not yet written to the recorder.
  std::size_t queued_bytes() const { return in_flight_.size() + pending_.size(); }
  const LinkCounters& counters() const { return counters_; }
  const std::string& recorder_address() const { return recorder_address_; }
  const std::string& nvr_port() const { return nvr_port_; }

 private:
  // What a non-blocking read of a connection found.
  enum class Stream { Open, Ended, Reset };

  void bind_and_listen();
  void start_accept();
  void handle_accept(const boost::system::error_code& error);
  void accept_failed(const boost::system::error_code& error);
  void handle_accept_pause(const boost::system::error_code& error);
  void take_recorder_connection();
  void reject_peer(const std::string& peer);
  void admit();
  static Stream read_and_discard(boost::asio::ip::tcp::socket& socket);
  void start_read();
  void handle_readable(const boost::system::error_code& error, unsigned connection);
  void recorder_gone();
  void start_write();
  void handle_write(const boost::system::error_code& error, std::size_t bytes, unsigned connection);
  void write_failed(const boost::system::error_code& error);
  void close_recorder();
  void append_pending(const unsigned char* data, std::size_t count);

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::endpoint peer_;
  // The target of the pending accept, and the admitted recorder connection.
  std::unique_ptr<boost::asio::ip::tcp::socket> incoming_;
  std::unique_ptr<boost::asio::ip::tcp::socket> recorder_;
  std::string recorder_address_;
  std::string nvr_port_;
  boost::asio::steady_timer accept_pause_;
  State state_ = State::Listening;
  bool accept_failing_ = false;
  // Counts admissions, so that a completion of an earlier connection is told from the current's.
  unsigned connection_ = 0;
  // Payload bytes in hand-off order: in_flight_ is being written, pending_ waits behind it or, with
  // no write in flight, for send_gathered(). The first bytes of in_flight_ may be the tail of a
  // payload whose head the kernel took at once.
  // All three keep their capacity, so a steady stream of payloads allocates nothing.
  std::vector<unsigned char> in_flight_;
  std::vector<unsigned char> pending_;
  // Where each payload gathered for send_gathered() ends in pending_, so that a partial send
  // tells whole payloads taken from those still waiting. Empty while a write is in flight.
  std::vector<std::uint32_t> gathered_ends_;
  // How many payloads have bytes in each, so that those lost with a connection are counted.
  std::uint64_t in_flight_payloads_ = 0;
  std::uint64_t pending_payloads_ = 0;
  bool write_in_flight_ = false;
  bool dropping_ = false;
  std::set<std::string> rejected_;
  LinkCounters counters_;
};

}  // namespace marlobex
