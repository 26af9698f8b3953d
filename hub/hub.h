// The bus hub: accepts clients on a Unix-domain SOCK_SEQPACKET socket and routes blocks among them.
//
// A program hosts it (the companion does; so does the standalone pelmo_hub tool). The host can
// also take part in the bus itself: it observes every posted block and delivers blocks of its own.
//
// Routing: a block goes, code word unchanged, to every other registered client whose value
// shares a bit with code bits 8..15. One exception: a host with a post observer is the bus's
// CAN bridge, so a monitor's frames for the CAN bus (bit 29 set, bit 28 clear, e.g.
// 0x20000412) go to that observer alone; the bridge delivers its echo (0x10000412) to every
// client. Without an observer (pelmo_hub alone) they are routed to the clients like any block,
// so that a client acting as the bridge receives them.
//
// Flow: the host may pause the clients that post blocks for it (PausePosters), when it cannot
// take more yet. The hub then leaves their sockets unread, so their library queues fill and
// posting is refused until the host resumes them; other clients are served as usual.
//
// Threads: the hub runs on an event loop. Start() gives it a loop of its own on a hub thread
// that owns every socket and client queue; Stop() (or the destructor) joins it. Deliver(),
// PausePosters(), ResumePosters() and the accessors may then be called from any thread, the
// post observer included. Start(loop) runs it on the caller's loop instead, with no thread of
// its own: every method is then called on that loop's thread, and the host's deliveries are
// routed at once. The post observer and the host answers run on the hub's loop thread and
// must not block.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zelk {
class EventLoop;
}

namespace pelmo {

struct HubOptions {
  std::string path;                          // socket path; empty: DefaultBusPath()
  std::size_t client_queue_blocks = 4096;    // per-client bound; overflow is dropped and counted
  std::size_t client_queue_bytes = 4 << 20;  // the same bound in bytes: big blocks fill it first
  // After reading a client's socket empty, wait this long before reading it again, so that a
  // trickle of posts is read in batches instead of one wake-up each (0: read at once). A client
  // with more waiting than one read takes is read again at once.
  std::chrono::microseconds read_hold{0};
};

struct HubStats {
  std::uint64_t clients = 0;         // connections currently registered
  std::uint64_t blocks_routed = 0;   // blocks handed to client queues
  std::uint64_t blocks_dropped = 0;  // blocks dropped because a client's queue was full
  std::uint64_t bad_messages = 0;    // connections closed for a malformed or oversized message
};

enum class HubStart { kStarted, kAlreadyServed, kFailed };

// A registered client, as the host sees it when it answers for a string (SetHostString).
struct ClientView {
  std::string name;
  long pid = 0;                    // of the process that connected; 0 when unknown
  std::size_t backlog_blocks = 0;  // blocks queued for it at the hub
  std::uint64_t dropped_blocks = 0;
};

class Hub {
 public:
  // Called on the hub's loop thread for every block a client posts, after it is routed to the
  // others. Setting one makes the host the bus's bridge (see Routing above).
  using PostObserver = std::function<void(std::uint32_t code, std::span<const std::uint8_t> block)>;

  explicit Hub(HubOptions options = {});
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  void SetPostObserver(PostObserver observer);  // before Start()

  // A named answer the host gives: a client's query (kQuery) of `name` is answered with what
  // `fn` returns (at most kMaxPayload bytes), called on the hub's loop thread with the registered
  // clients; it must not block. Before Start().
  using HostAnswer = std::function<std::string(const std::vector<ClientView>& clients)>;
  void SetHostAnswer(std::string name, HostAnswer fn);

  // Creates the socket's directory (mode 0700, owner checked), replaces a stale socket file,
  // binds and starts the hub thread. kAlreadyServed when a live hub answers on the path.
  HubStart Start(std::string* error = nullptr);
  // The same, served on `loop` (which must outlive the hub's serving) by the thread that runs it.
  HubStart Start(zelk::EventLoop& loop, std::string* error = nullptr);
  // Sends what is queued as far as the sockets take it without waiting, then closes.
  void Stop();

  // Delivers a block from the host to every registered client whose registration value
  // shares a bit with code bits 8..15. Thread-safe, never blocks on a client.
  void Deliver(std::uint32_t code, std::span<const std::uint8_t> block);

  // Stops reading clients that have posted blocks observed by the host, for `reason` (a bit
  // of the host's choosing), until every reason given is resumed. A client is read no further
  // than the packets of the read under way when the pause was asked for.
  void PausePosters(std::uint32_t reason);
  void ResumePosters(std::uint32_t reason);

  // Reads at once the clients whose last read started a hold (HubOptions::read_hold), ended
  // or not, and holds anew (for a quarter longer) those that had posted something: a host that
  // holds its own output on the same period calls it when its hold ends, so that the posts it takes
  // and the blocks it sends share one wake-up. Served on a caller's loop only (Start(loop)); does
  // nothing otherwise.
  void ReadHeldClients();

  const std::string& Path() const;
  HubStats Stats() const;
  // Blocks waiting for the slowest registered client: its queue plus the host deliveries the
  // hub's own thread has not routed yet. For a host that paces its deliveries on its readers (a
  // full-speed replay).
  std::size_t LargestClientBacklog() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// $PELMO_BUS, else $XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-<uid>/bus.
std::string DefaultBusPath();

}  // namespace pelmo
