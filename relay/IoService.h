#pragma once

// Boost 1.74 still spells the I/O context io_service; the name lives here so that a later move to
// io_context touches few files.
#include <boost/asio/io_service.hpp>

namespace marlobex {

using IoService = boost::asio::io_service;
/// The daemon polls its I/O service from one thread and resolves no names, so the service and its
/// reactor need no locks.
constexpr int kSingleThreaded = BOOST_ASIO_CONCURRENCY_HINT_UNSAFE;
/// Keeps an I/O service from stopping when poll() finds no outstanding work.
using IoWorkGuard = boost::asio::io_service::work;

}  // namespace marlobex
