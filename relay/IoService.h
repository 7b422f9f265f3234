#pragma once

// Boost 1.74 still spells the I/O context io_service; the name lives here so that a later move to
// io_context touches few files.
#include <boost/asio/io_service.hpp>

namespace marlobex {

using IoService = boost::asio::io_service;
/// Keeps an I/O service from stopping when poll() finds no outstanding work.
using IoWorkGuard = boost::asio::io_service::work;

}  // namespace marlobex
