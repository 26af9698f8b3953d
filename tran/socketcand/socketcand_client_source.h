// The socketcand client source: a client of a remote socketcand daemon in raw mode.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tran/can/can_source.h"

namespace tran {

struct SocketcandClientOptions {
  std::string host;
  std::uint16_t port = 0;
  std::string channel;
  std::chrono::milliseconds min_backoff{250};
  std::chrono::milliseconds max_backoff{8000};
  std::size_t max_output_bytes = 256 * 1024;
};
std::unique_ptr<CanSource> MakeSocketcandClientSource(SocketcandClientOptions options);

}  // namespace tran
