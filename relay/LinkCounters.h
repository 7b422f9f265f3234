#pragma once

#include <cstdint>
#include <ctime>

namespace marlobex {

/// What one link's server has done since start-up.
struct LinkCounters {
  std::uint64_t frames = 0;         ///< payloads of at least one byte handed to the server
  std::uint64_t payload_bytes = 0;  ///< their bytes, each payload capped as it is sent
  std::uint64_t sent_bytes = 0;     ///< bytes the kernel took for the recorder
  std::uint64_t dropped_no_recorder = 0;    ///< payloads handed over while no recorder was connected
  std::uint64_t dropped_slow_recorder = 0;  ///< payloads that did not fit in the recorder's queue
  std::uint64_t dropped_write_failed = 0;   ///< payloads lost with a failed write or a closed connection
  std::uint64_t recorder_connections = 0;   ///< recorders admitted
  std::uint64_t rejected_connections = 0;   ///< connections from other addresses, closed
  std::uint64_t duplicate_frames = 0;       ///< mirror copies of a packet the link just took, not sent
  std::time_t last_payload = 0;             ///< capture time of the last payload; 0 when none
};

}  // namespace marlobex
