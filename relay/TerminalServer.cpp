#include "relay/TerminalServer.h"

#include "log/Log.h"

#include <boost/asio/placeholders.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>

namespace marlobex {

using boost::asio::ip::tcp;

TerminalServer::TerminalServer(IoService& io, const std::string& recorder_address,
                               const std::string& nvr_port)
    : acceptor_(io),
      peer_(boost::asio::ip::address_v4::any(), 0),
      recorder_address_(recorder_address),
      nvr_port_(nvr_port),
      accept_pause_(io) {
  Log::instance().line() << "Creating terminal connection: " << escape_control(recorder_address_)
                         << ":" << escape_control(nvr_port_) << std::endl;
  try {
    bind_and_listen();
  } catch (const boost::system::system_error& e) {
    // what() would prefix the failing call ("bind: "); the line carries the bare reason.
    Log::instance().line() << "Acceptor bind failed: Port " << escape_control(nvr_port_)
                           << " Error: " << e.code().message() << std::endl;
    state_ = State::Stopped;
    return;
  } catch (const std::exception& e) {
    Log::instance().line() << "Acceptor bind failed: Port " << escape_control(nvr_port_)
                           << " Error: " << e.what()
                           << std::endl;
    state_ = State::Stopped;
    return;
  }
  start_accept();
}

TerminalServer::~TerminalServer() {
  boost::system::error_code ignored;
  accept_pause_.cancel();
  acceptor_.close(ignored);
  if (incoming_) incoming_->close(ignored);
  if (recorder_) recorder_->close(ignored);
}

unsigned short TerminalServer::port_number(const std::string& nvr_port) {
  // atoi is (int)strtol; the low 16 bits of both agree, and strtol has no undefined overflow.
  const long value = std::strtol(nvr_port.c_str(), nullptr, 10);
  return static_cast<unsigned short>(static_cast<unsigned long>(value) & 0xFFFFu);
}

void TerminalServer::bind_and_listen() {
  acceptor_.open(tcp::v4());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(tcp::endpoint(boost::asio::ip::address_v4::any(), port_number(nvr_port_)));
  acceptor_.listen(kListenBacklog);
}

void TerminalServer::start_accept() {
  incoming_.reset(new tcp::socket(acceptor_.get_executor()));
  acceptor_.async_accept(*incoming_, peer_,
                         boost::bind(&TerminalServer::handle_accept, this,
                                     boost::asio::placeholders::error));
}

void TerminalServer::handle_accept(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  if (error) {
    accept_failed(error);
    return;
  }
  accept_failing_ = false;
  boost::system::error_code ignored;
  const std::string peer = peer_.address().to_string(ignored);
  if (peer == recorder_address_) {
    take_recorder_connection();
  } else {
    reject_peer(peer);
    incoming_.reset();
  }
  if (state_ != State::Connected) start_accept();
}

void TerminalServer::take_recorder_connection() {
  if (state_ == State::Listening) {
    admit();
    return;
  }
  // Finished: a recorder that came back replaces the connection whose stream ended; one that
  // already left again (a port check) replaces nothing.
  if (read_and_discard(*incoming_) == Stream::Open) {
    send_gathered();  // what the finished connection was owed goes before it
    recorder_gone();
    admit();
    return;
  }
  incoming_.reset();
}

namespace {

// Failures that pass once descriptors or memory are freed; the connection stays queued meanwhile.
bool is_resource_shortage(const boost::system::error_code& error) {
  if (error.category() != boost::asio::error::get_system_category()) return false;
  const int code = error.value();
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

}  // namespace

void TerminalServer::accept_failed(const boost::system::error_code& error) {
  const bool transient = is_resource_shortage(error);
  if (!transient || !accept_failing_) {
    Log::instance().line() << "Terminal port " << escape_control(nvr_port_)
                           << " Accept failed: " << error.message() << std::endl;
  }
  if (!transient) {
    if (has_recorder()) close_recorder();
    state_ = State::Stopped;
    return;
  }
  accept_failing_ = true;
  accept_pause_.expires_after(kAcceptRetryPause);
  accept_pause_.async_wait(boost::bind(&TerminalServer::handle_accept_pause, this,
                                       boost::asio::placeholders::error));
}

void TerminalServer::handle_accept_pause(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  start_accept();
}

void TerminalServer::reject_peer(const std::string& peer) {
  ++counters_.rejected_connections;
  if (rejected_.count(peer) != 0 || rejected_.size() >= kRejectedLimit) return;
  Log::instance().line() << "Rejected connection from address: " << peer
                         << " on port " << escape_control(nvr_port_)
                         << std::endl;
  rejected_.insert(peer);
}

void TerminalServer::admit() {
  Log::instance().line() << "Accepted connection from NVR address: " << escape_control(recorder_address_)
                         << " Port: " << escape_control(nvr_port_) << std::endl;
  ++counters_.recorder_connections;
  ++connection_;
  recorder_ = std::move(incoming_);
  state_ = State::Connected;
  start_read();
}

TerminalServer::Stream TerminalServer::read_and_discard(tcp::socket& socket) {
  unsigned char chunk[kReadChunk];
  const ssize_t got = ::recv(socket.native_handle(), chunk, sizeof chunk, MSG_DONTWAIT);
  if (got > 0) return Stream::Open;
  if (got == 0) return Stream::Ended;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Stream::Open : Stream::Reset;
}

// The recorder's bytes are awaited, not read into a buffer of each server's: one chunk is read
// per completion, and the wait is armed again, so a recorder that talks gets one turn per
// completion like every other peer.
void TerminalServer::start_read() {
  recorder_->async_wait(tcp::socket::wait_read,
                       boost::bind(&TerminalServer::handle_readable, this,
                                   boost::asio::placeholders::error, connection_));
}

void TerminalServer::handle_readable(const boost::system::error_code& error, unsigned connection) {
  if (error == boost::asio::error::operation_aborted || connection != connection_ ||
      state_ != State::Connected) {
    return;
  }
  const Stream stream = error ? Stream::Reset : read_and_discard(*recorder_);
  if (stream == Stream::Open) {
    start_read();
  } else if (stream == Stream::Ended) {
    // A recorder may shut down only its sending side and go on reading: it is kept, and the
    // port accepts again so that the recorder can come back.
    state_ = State::Finished;
    start_accept();
  } else {
    recorder_gone();
  }
}

void TerminalServer::recorder_gone() {
  Log::instance().line() << "Terminal port " << escape_control(recorder_address_) << ":"
                         << escape_control(nvr_port_) << " Recorder closed the connection." << std::endl;
  close_recorder();
}

bool TerminalServer::send_payload(const unsigned char* data, std::int32_t length,
                                  std::time_t captured_at) {
  if (length <= 0) return false;
  const std::size_t count = static_cast<std::size_t>(std::min(length, kMaxPayload));
  ++counters_.frames;
  counters_.payload_bytes += count;
  counters_.last_payload = captured_at;
  if (!has_recorder()) {
    ++counters_.dropped_no_recorder;
    return false;
  }
  if (queued_bytes() + count > kQueueLimit) {
    ++counters_.dropped_slow_recorder;
    if (!dropping_) {
      Log::instance().line() << "Terminal port " << escape_control(recorder_address_) << ":"
                             << escape_control(nvr_port_)
                             << " Recorder is not keeping up. Dropping data." << std::endl;
      dropping_ = true;
    }
    return false;
  }
  append_pending(data, count);
  ++pending_payloads_;
  if (write_in_flight_) return false;
  gathered_ends_.push_back(static_cast<std::uint32_t>(pending_.size()));
  return gathered_ends_.size() == 1;
}

// The gathered payloads go to the kernel at once. Only what a full socket buffer does not take
// waits for the reactor, so a recorder that keeps up costs one send per call, however many
// payloads it carries.
void TerminalServer::send_gathered() {
  if (write_in_flight_ || pending_.empty()) return;
  const ssize_t sent = ::send(recorder_->native_handle(), pending_.data(), pending_.size(),
                              MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    write_failed(boost::system::error_code(errno, boost::asio::error::get_system_category()));
    return;
  }
  const std::size_t taken = sent < 0 ? 0 : static_cast<std::size_t>(sent);
  counters_.sent_bytes += taken;
  const auto whole = std::upper_bound(gathered_ends_.begin(), gathered_ends_.end(), taken);
  pending_payloads_ -= static_cast<std::uint64_t>(whole - gathered_ends_.begin());
  gathered_ends_.clear();
  if (taken == pending_.size()) {
    pending_.clear();
    dropping_ = false;
    return;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
  start_write();
}

void TerminalServer::append_pending(const unsigned char* data, std::size_t count) {
  const std::size_t needed = pending_.size() + count;
  if (needed > pending_.capacity()) {
    // Grow geometrically but never past what the queue may hold.
    pending_.reserve(std::min(std::max(needed, 2 * pending_.capacity()), kQueueLimit));
  }
  pending_.insert(pending_.end(), data, data + count);
}

void TerminalServer::start_write() {
  in_flight_.swap(pending_);
  pending_.clear();
  in_flight_payloads_ = pending_payloads_;
  pending_payloads_ = 0;
  write_in_flight_ = true;
  boost::asio::async_write(*recorder_, boost::asio::buffer(in_flight_),
                           boost::bind(&TerminalServer::handle_write, this,
                                       boost::asio::placeholders::error,
                                       boost::asio::placeholders::bytes_transferred, connection_));
}

void TerminalServer::handle_write(const boost::system::error_code& error, std::size_t bytes,
                                  unsigned connection) {
  if (error == boost::asio::error::operation_aborted || connection != connection_) return;
  counters_.sent_bytes += bytes;
  if (!error) in_flight_payloads_ = 0;
  write_in_flight_ = false;
  in_flight_.clear();
  if (error) {
    write_failed(error);
    return;
  }
  if (!pending_.empty()) {
    start_write();
    return;
  }
  dropping_ = false;
}

void TerminalServer::write_failed(const boost::system::error_code& error) {
  Log::instance().line() << "Terminal port " << escape_control(recorder_address_) << ":"
                         << escape_control(nvr_port_) << " Write failed: " << error.message()
                         << std::endl;
  close_recorder();
}

// Connected or Finished to Listening; a Finished server already has its accept armed.
void TerminalServer::close_recorder() {
  const bool accepting = state_ == State::Finished;
  recorder_.reset();
  state_ = State::Listening;
  counters_.dropped_write_failed += in_flight_payloads_ + pending_payloads_;
  in_flight_payloads_ = 0;
  pending_payloads_ = 0;
  write_in_flight_ = false;
  in_flight_.clear();
  pending_.clear();
  gathered_ends_.clear();
  dropping_ = false;
  if (!accepting) start_accept();
}

unsigned short TerminalServer::local_port() const {
  boost::system::error_code error;
  const tcp::endpoint local = acceptor_.local_endpoint(error);
  return error ? 0 : local.port();
}

}  // namespace marlobex
