#pragma once

// Boost 1.74 still spells the I/O context io_service; the name lives here so that a later move to
// io_context touches few files.
#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>

#include <cstddef>

namespace marlobex {

using IoService = boost::asio::io_service;
/// The daemon polls its I/O service from one thread and resolves no names, so the service and its
/// reactor need no locks.
constexpr int kSingleThreaded = BOOST_ASIO_CONCURRENCY_HINT_UNSAFE;
/// Keeps an I/O service from stopping when poll() finds no outstanding work.
using IoWorkGuard = boost::asio::io_service::work;

/// Runs at most `limit` handlers that are ready, without waiting. poll() would also run the handlers
/// that become ready while it runs, so a peer whose reads complete at once would never let it return.
inline void run_ready_handlers(IoService& io, std::size_t limit) {
  for (std::size_t i = 0; i < limit; ++i) {
    boost::system::error_code error;
    const std::size_t ran = io.poll_one(error);
    if (error) throw boost::system::system_error(error);
    if (ran == 0) return;
  }
}

}  // namespace marlobex
