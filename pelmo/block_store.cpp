#include "pelmo/block_store.h"

#include <utility>

namespace pelmo {

namespace {
constexpr std::uint64_t kHandleSpan = std::uint64_t{1} << 32;
}

std::uint32_t BlockStore::Add(const void* owner, std::span<const std::uint8_t> bytes) {
  // The copy is made outside the lock, into a spare buffer when there is one.
  std::vector<std::uint8_t> data;
  {
    std::lock_guard lock(mutex_);
    if (!spares_.empty()) {
      data = std::move(spares_.back());
      spares_.pop_back();
    }
  }
  data.assign(bytes.begin(), bytes.end());
  std::lock_guard lock(mutex_);
  // Handles are the low 32 bits of a 64-bit sequence; sequences ending in 32 zero bits are
  // skipped so no handle is ever 0.
  ++last_seq_;
  if (static_cast<std::uint32_t>(last_seq_) == 0) ++last_seq_;
  bytes_ += data.size();
  backlog_.emplace(last_seq_, Entry{owner, std::move(data)});
  ++owners_[owner].backlog.blocks;
  while (backlog_.size() > kMaxBlocks || (bytes_ > kMaxBytes && backlog_.size() > 1)) {
    Forget(backlog_.begin());
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  return static_cast<std::uint32_t>(last_seq_);
}

const void* BlockStore::Fetch(std::uint32_t handle, std::uint32_t* byte_count) {
  if (byte_count) *byte_count = 0;
  if (handle == 0) return nullptr;
  std::lock_guard lock(mutex_);
  // The most recent sequence number whose low 32 bits equal the handle.
  std::uint64_t seq = (last_seq_ & ~(kHandleSpan - 1)) | handle;
  if (seq > last_seq_) {
    if (seq < kHandleSpan) return nullptr;
    seq -= kHandleSpan;
  }
  const auto it = backlog_.find(seq);
  if (it == backlog_.end()) return nullptr;
  OwnerState& state = owners_[it->second.owner];
  state.backlog.last_fetch = std::chrono::steady_clock::now();
  if (seq > state.newest_fetched) {
    // This block and the owner's unfetched ones before it leave its in-order backlog.
    for (auto at = backlog_.upper_bound(state.newest_fetched);
         at != backlog_.end() && at->first <= seq; ++at) {
      if (at->second.owner == it->second.owner) --state.backlog.blocks;
    }
    state.newest_fetched = seq;
  }
  auto& slot = fetched_[fetched_next_];
  fetched_next_ = (fetched_next_ + 1) % kFetchedKept;
  KeepSpare(std::move(slot));         // fetched kFetchedKept fetches ago
  slot = std::move(it->second.data);  // the buffer moves, its address stays
  bytes_ -= slot.size();
  backlog_.erase(it);
  if (byte_count) *byte_count = static_cast<std::uint32_t>(slot.size());
  // An empty block still gets a valid, non-null pointer.
  static const std::uint8_t kEmpty = 0;
  return slot.empty() ? &kEmpty : slot.data();
}

BlockStore::Backlog BlockStore::BacklogOf(const void* owner) {
  std::lock_guard lock(mutex_);
  const auto it = owners_.find(owner);
  return it == owners_.end() ? Backlog{} : it->second.backlog;
}

void BlockStore::Forget(std::map<std::uint64_t, Entry>::iterator it) {
  OwnerState& state = owners_[it->second.owner];
  if (it->first > state.newest_fetched) --state.backlog.blocks;
  bytes_ -= it->second.data.size();
  KeepSpare(std::move(it->second.data));
  backlog_.erase(it);
}

void BlockStore::KeepSpare(std::vector<std::uint8_t>&& buffer) {
  if (buffer.capacity() == 0 || spares_.size() >= kSpareBuffers) return;
  spares_.push_back(std::move(buffer));
  buffer = {};
}

void BlockStore::DropOwner(const void* owner) {
  std::lock_guard lock(mutex_);
  owners_.erase(owner);
  for (auto it = backlog_.begin(); it != backlog_.end();) {
    if (it->second.owner == owner) {
      bytes_ -= it->second.data.size();
      it = backlog_.erase(it);
    } else {
      ++it;
    }
  }
}

void BlockStore::Clear() {
  std::lock_guard lock(mutex_);
  backlog_.clear();
  owners_.clear();
  bytes_ = 0;
  for (auto& f : fetched_) std::vector<std::uint8_t>().swap(f);
  std::vector<std::vector<std::uint8_t>>().swap(spares_);
}

}  // namespace pelmo
