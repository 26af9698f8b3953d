#include "tran/bridge.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "tran/report.h"

namespace tran {

std::uint16_t RecordClockMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
  return static_cast<std::uint16_t>(ms);
}

void StampRecord(frame::FrameRecord& record, std::uint16_t stamp) {
  record[14] = static_cast<std::uint8_t>(stamp);
  record[15] = static_cast<std::uint8_t>(stamp >> 8);
}

Bridge::Bridge(CanSource& source, DeliverFn deliver, SocketcandServer* server, CandumpLog* log)
    : source_(source), deliver_(std::move(deliver)), server_(server), log_(log) {}

void Bridge::Transmit(std::span<const frame::FrameRecord> records, std::uint64_t origin) {
  const std::size_t accepted = source_.Transmit(records);
  Distribute(records.first(accepted), origin);
}

void Bridge::Received(std::span<const frame::FrameRecord> records) { Distribute(records, 0); }

void Bridge::Distribute(std::span<const frame::FrameRecord> records, std::uint64_t skip_client) {
  if (records.empty()) return;
  const std::uint16_t stamp = RecordClockMs();
  stamped_.assign(records.begin(), records.end());
  for (auto& record : stamped_) StampRecord(record, stamp);
  for (std::size_t at = 0; at < stamped_.size(); at += kMaxBlockRecords) {
    const std::size_t count = std::min(kMaxBlockRecords, stamped_.size() - at);
    deliver_(kFrameDeliveryCode,
             std::span(reinterpret_cast<const std::uint8_t*>(stamped_.data() + at),
                       count * frame::kRecordSize));
  }
  timeval now;
  gettimeofday(&now, nullptr);
  if (server_) server_->Broadcast(stamped_, now, skip_client);
  if (log_) {
    std::string error;
    if (!log_->Write(stamped_, now, source_.LogName(), &error) && !log_error_reported_) {
      ReportError(error);
      log_error_reported_ = true;
    }
  }
  distributed_ += stamped_.size();
}

PostQueue::PostQueue(EventLoop& loop, Consumer consumer, std::size_t max_records)
    : loop_(loop), consumer_(std::move(consumer)), max_records_(max_records) {}

void PostQueue::Push(std::uint32_t code, std::span<const std::uint8_t> block) {
  if ((code & kFramePostMask) != kFramePostCode) return;
  const std::size_t count = block.size() / frame::kRecordSize;  // a trailing part is ignored
  if (count == 0) return;
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    const std::size_t room = max_records_ - std::min(max_records_, pending_.size());
    const std::size_t taken = std::min(room, count);
    dropped_ += count - taken;
    wake = pending_.empty() && taken > 0;
    for (std::size_t i = 0; i < taken; ++i) {
      frame::FrameRecord record;
      std::memcpy(record.data(), block.data() + i * frame::kRecordSize, frame::kRecordSize);
      pending_.push_back(record);
    }
  }
  if (wake) loop_.Post([this] { Drain(); });
}

std::uint64_t PostQueue::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void PostQueue::Drain() {
  draining_.clear();
  {
    std::lock_guard lock(mutex_);
    draining_.swap(pending_);
  }
  consumer_(draining_);
}

}  // namespace tran
