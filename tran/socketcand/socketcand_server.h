// A socketcand-compatible server in raw mode, so socketcand clients (python-can, Kayak,
// SavvyCAN) join the bus over TCP.
//
// Per connection: "< hi >" on connect; "< open CHANNEL >" -> "< ok >"; "< rawmode >" -> "< ok >";
// "< echo >" -> "< echo >"; "< send ... >" puts a frame on the bus; anything else gets
// "< error ... >". Frames go out as "< frame ... >" once the client is in raw mode.
// Limits: kMaxPendingLine bytes without '>' closes the connection; beyond max_clients a new
// connection gets "< error too many clients >" and is closed; a client that does not read
// loses frames once its output queue is full (counted), and is closed if it also stops
// reading its replies.
// Who: on a loopback address only clients whose socket belongs to the companion's own user
// (the kernel names the owner of a local peer's socket); others are closed at once, before
// "< hi >", and reported once per user. any_user serves every local user. On any other
// address everyone is served: the user of a remote peer cannot be known.
//
// Flow: while PauseReading(true) holds, clients that have sent frames are not read (one
// closing its connection still is), so TCP flow control stops their senders instead of
// frames being dropped. Other clients can still connect and open their channel.
//
// Threads: everything runs on the event loop thread that owns the server.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "frame/frame_record.h"
#include "loop/event_loop.h"
#include "tran/base/frame_time.h"
#include "tran/socketcand/socket_owner.h"
#include "tran/socketcand/socketcand_protocol.h"
#include "tran/socketcand/tcp_output.h"

namespace tran {

struct SocketcandServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port, see Port()
  std::size_t max_clients = 32;
  std::size_t max_output_bytes = 1024 * 1024;
  // Frames wait this long after the raw-mode reply, so a client reading that reply with one
  // recv() does not get a frame glued to it.
  std::chrono::milliseconds rawmode_settle{50};
  // On a loopback address, also serve clients of other users.
  bool any_user = false;
  // Names the user owning a client's socket (a seam for tests).
  std::optional<uid_t> (*peer_owner)(int fd, std::string* error) = TcpPeerOwner;
};

struct SocketcandServerCounters {
  std::uint64_t frames_dropped = 0;          // frames not queued for a slow client
  std::uint64_t clients_refused = 0;         // connections over the limit
  std::uint64_t clients_dropped = 0;         // connections closed for bad behaviour
  std::uint64_t frames_received = 0;         // frames sent by clients
  std::uint64_t clients_of_other_users = 0;  // loopback connections not of our user
};

class SocketcandServer {
 public:
  // Frames one client sent, with that client's id (never 0).
  using FrameSink = std::function<void(std::span<const frame::FrameRecord>, std::uint64_t client)>;

  SocketcandServer(zelk::EventLoop& loop, SocketcandServerOptions options, FrameSink sink);
  ~SocketcandServer();
  SocketcandServer(const SocketcandServer&) = delete;
  SocketcandServer& operator=(const SocketcandServer&) = delete;

  bool Start(std::string* error);
  void Stop();
  std::uint16_t Port() const { return port_; }

  // Sends frames, each with its time, to every client in raw mode except `skip_client` (0
  // skips none).
  void Broadcast(std::span<const frame::FrameRecord> records, std::span<const FrameTime> times,
                 std::uint64_t skip_client);
  // The same, every frame at `time`.
  void Broadcast(std::span<const frame::FrameRecord> records, const timeval& time,
                 std::uint64_t skip_client);

  void PauseReading(bool paused);

  std::size_t ClientCount() const { return clients_.size(); }
  // Bytes waiting for the slowest client, for a producer that paces itself on its readers.
  std::size_t LargestClientBacklogBytes() const;
  SocketcandServerCounters Counters() const { return counters_; }

 private:
  struct Client {
    int fd = -1;
    std::uint64_t id = 0;
    bool opened = false;
    bool rawmode = false;
    zelk::EventLoop::Clock::time_point frames_from{};
    std::uint64_t settle_timer = 0;
    bool waiting_writable = false;
    bool sent_frames = false;
    MessageSplitter splitter;
    TcpOutput output;
    explicit Client(std::size_t max_output) : output(max_output) {}
  };

  void OnAccept();
  bool PeerIsOurUser(int fd);
  std::string Endpoint() const;
  void OnClientEvent(std::uint64_t id, short revents);
  void ReadFrom(Client& client);
  void HandleMessage(Client& client, const std::string& inner,
                     std::vector<frame::FrameRecord>& frames);
  void Reply(Client& client, std::string_view text);
  void Flush(Client& client);
  short EventsFor(const Client& client) const;
  void CloseClient(std::uint64_t id);
  void PauseAccepting();

  zelk::EventLoop& loop_;
  SocketcandServerOptions options_;
  FrameSink sink_;
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint64_t next_id_ = 1;
  std::uint64_t accept_timer_ = 0;
  bool check_peer_user_ = false;
  uid_t our_uid_ = 0;
  std::set<uid_t> users_reported_;
  std::set<std::string> reasons_reported_;
  std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
  std::string scratch_;
  bool reading_paused_ = false;
  SocketcandServerCounters counters_;
};

}  // namespace tran
