// What the companion serves with one set of settings: the CAN source, the socketcand server,
// the log, the bridge between them and the bus, and the generator. The hub and its clients
// outlive it, so that a reload of the settings replaces all of this while the monitors stay
// registered.
//
// Flow: frames for CAN that the source cannot send yet are held by it; while the bridge says
// it is congested, the hub stops reading posting clients and the socketcand server stops
// reading its sending clients, and the generator skips the frames that fall due.
//
// Threads: created, used and destroyed on the event loop thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "hub/hub.h"
#include "loop/event_loop.h"
#include "tran/can/can_source.h"
#include "tran/candump/candump_log.h"
#include "tran/core/bridge.h"
#include "tran/core/settings.h"
#include "tran/socketcand/socketcand_server.h"

namespace tran {

// The companion's reason to pause the hub's posting clients (pelmo::Hub::PausePosters).
inline constexpr std::uint32_t kPauseCongested = 2;  // the CAN source holds many frames

class GeneratorDriver;

class Serving {
 public:
  // Opens the log, starts the server and the source. Null, with the reason, when one fails;
  // what had started is stopped again.
  static std::unique_ptr<Serving> Start(const TranSettings& settings, zelk::EventLoop& loop,
                                        pelmo::Hub& hub, std::string* error);
  // Hands over what the bridge holds, then stops the source and the server.
  ~Serving();
  Serving(const Serving&) = delete;
  Serving& operator=(const Serving&) = delete;

  const TranSettings& Settings() const { return settings_; }
  Bridge& GetBridge() { return *bridge_; }
  CanSource& Source() { return *source_; }
  SocketcandServer* Server() { return server_.get(); }
  CandumpLog& Log() { return log_; }

 private:
  Serving(const TranSettings& settings, zelk::EventLoop& loop, pelmo::Hub& hub);
  bool Open(std::string* error);

  TranSettings settings_;
  zelk::EventLoop& loop_;
  pelmo::Hub& hub_;
  CandumpLog log_;
  std::unique_ptr<SocketcandServer> server_;
  std::unique_ptr<CanSource> source_;
  std::unique_ptr<Bridge> bridge_;
  std::unique_ptr<GeneratorDriver> generator_;
  bool source_started_ = false;
};

}  // namespace tran
