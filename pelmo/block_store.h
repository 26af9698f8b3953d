// Delivered blocks waiting to be fetched, by handle.
//
// Owns every delivered block from its arrival until it is fetched or dropped, and the last few
// fetched blocks (so a pointer handed out by Fetch stays readable until later fetches). The
// buffers of blocks that leave are kept for the next arrivals (a few of them), so that a steady
// stream of blocks is stored without allocating a buffer for each. The I/O thread adds; any
// thread fetches. One mutex guards everything.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

namespace pelmo {

class BlockStore {
 public:
  static constexpr std::size_t kMaxBlocks = 16384;
  static constexpr std::size_t kMaxBytes = std::size_t{32} << 20;
  // Fetched blocks kept alive; the contract needs one, more helps threads fetching at once.
  static constexpr std::size_t kFetchedKept = 4;
  // Buffers of blocks gone (fetched long enough ago, or dropped) kept for the next arrivals.
  static constexpr std::size_t kSpareBuffers = 4;

  // Stores a copy of a block for owner and returns its handle (nonzero, increasing, wrapping
  // past zero). Beyond either bound the oldest unfetched blocks are dropped and counted.
  std::uint32_t Add(const void* owner, std::span<const std::uint8_t> data);

  // Removes the block from the backlog and returns its bytes; null (count 0) when unknown.
  // Older unfetched blocks stay where they are.
  const void* Fetch(std::uint32_t handle, std::uint32_t* byte_count);

  // An owner that reads in order: its blocks stored after the newest one it fetched, and when
  // it last fetched. Blocks older than its newest fetch were passed over (a paused monitor
  // leaves them) and do not count.
  struct Backlog {
    std::size_t blocks = 0;
    std::chrono::steady_clock::time_point last_fetch{};  // epoch: never fetched
  };
  Backlog BacklogOf(const void* owner);

  // Forgets the unfetched blocks of one owner (not counted as dropped).
  void DropOwner(const void* owner);
  // Forgets everything, fetched blocks included.
  void Clear();

  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  struct Entry {
    const void* owner;
    std::vector<std::uint8_t> data;
  };
  struct OwnerState {
    std::uint64_t newest_fetched = 0;  // sequence number
    Backlog backlog;
  };
  void Forget(std::map<std::uint64_t, Entry>::iterator it);  // with mutex_ held
  void KeepSpare(std::vector<std::uint8_t>&& buffer);        // with mutex_ held

  std::mutex mutex_;
  std::map<std::uint64_t, Entry> backlog_;  // by sequence number, oldest first
  std::map<const void*, OwnerState> owners_;
  std::uint64_t last_seq_ = 0;
  std::size_t bytes_ = 0;
  std::array<std::vector<std::uint8_t>, kFetchedKept> fetched_;
  std::size_t fetched_next_ = 0;
  std::vector<std::vector<std::uint8_t>> spares_;
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace pelmo
