// The frames a CAN interface has not taken yet, and those it took whose echo has not come back.
//
// A CAN interface queues a few frames (txqueuelen, 10 by default) and its controller drains
// them at the bus rate; a write beyond that fails with ENOBUFS. The source keeps what it
// accepted here, in order, and writes it as the queue empties. Each frame keeps the id of the
// socketcand client that sent it (0: none), so that its echo can skip that client.
//
// Echoes: with CAN_RAW_RECV_OWN_MSGS the kernel hands the socket back each frame it sent once
// the interface has transmitted it, in order. TakeEcho matches an echo to the oldest frame in
// flight; frames before it whose echo never came (dropped by a link that went down) are
// forgotten.
//
// Threads: used on the event loop thread only.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <deque>
#include <span>

#include "frame/frame_record.h"

namespace tran {

class TransmitHold {
 public:
  // At most `capacity` frames wait; more are not accepted.
  explicit TransmitHold(std::size_t capacity) : capacity_(capacity) {}

  // Accepts the leading records that fit; returns how many.
  std::size_t Add(std::span<const frame::FrameRecord> records, std::uint64_t origin);
  std::size_t Waiting() const { return waiting_.size(); }
  std::size_t Capacity() const { return capacity_; }
  const can_frame& Front() const { return waiting_.front().frame; }
  // The front frame was written: it is now in flight.
  void FrontWritten();
  void DropFront() { waiting_.pop_front(); }
  // Empties the waiting frames; returns how many there were.
  std::size_t DropWaiting();

  // The origin of the frame `echo` confirms; 0 when no frame in flight matches it.
  std::uint64_t TakeEcho(const can_frame& echo);
  void ForgetInFlight() { in_flight_.clear(); }
  std::size_t InFlight() const { return in_flight_.size(); }

 private:
  struct Entry {
    can_frame frame;
    std::uint64_t origin;
  };
  std::size_t capacity_;
  std::deque<Entry> waiting_;
  std::deque<Entry> in_flight_;
};

}  // namespace tran
