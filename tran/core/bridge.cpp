#include "tran/core/bridge.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "tran/base/report.h"

namespace tran {

Bridge::Bridge(CanSource& source, DeliverFn deliver, SocketcandServer* server, CandumpLog* log)
    : source_(source), deliver_(std::move(deliver)), server_(server), log_(log) {
  source_echoes_ =
      source_.EchoTransmitted([this](std::span<const frame::FrameRecord> records,
                                     std::span<const FrameTime> times, std::uint64_t origin) {
        sent_ += records.size();
        Distribute(records, times, origin);
      });
  source_.OnBacklogShrunk([this] { CheckFlow(); });
}

Bridge::~Bridge() {
  TransmitPostsWaiting();
  if (hold_timer_ != 0) loop_->CancelTimer(hold_timer_);
}

void Bridge::CoalesceOn(zelk::EventLoop& loop, std::chrono::steady_clock::duration hold,
                        std::function<void()> take_posts) {
  loop_ = &loop;
  take_posts_ = std::move(take_posts);
  coalescer_.emplace(hold, kMaxBlockRecords,
                     [this](std::span<const frame::FrameRecord> block) { DeliverBlocks(block); });
}

void Bridge::DeliverBlocks(std::span<const frame::FrameRecord> records) {
  for (std::size_t at = 0; at < records.size(); at += kMaxBlockRecords) {
    const std::size_t count = std::min(kMaxBlockRecords, records.size() - at);
    deliver_(kFrameDeliveryCode,
             std::span(reinterpret_cast<const std::uint8_t*>(records.data() + at),
                       count * frame::kRecordSize));
  }
}

// Keeps a timer at the end of the coalescer's hold.
void Bridge::FollowHold() {
  const auto end = coalescer_->HoldEnd();
  if (!end) return;
  if (hold_timer_ != 0 && hold_timer_at_ == *end) return;
  if (hold_timer_ != 0) loop_->CancelTimer(hold_timer_);
  hold_timer_at_ = *end;
  hold_timer_ = loop_->AddTimer(*end, [this] { OnHoldEnd(); });
}

void Bridge::OnHoldEnd() {
  hold_timer_ = 0;
  // Frames posted during the hold join the block that goes out now.
  if (take_posts_) take_posts_();
  TransmitPostsWaiting();
  coalescer_->Tick(zelk::EventLoop::Clock::now());
  FollowHold();
}

void Bridge::Flush() {
  TransmitPostsWaiting();
  if (coalescer_) {
    if (const auto end = coalescer_->HoldEnd()) coalescer_->Tick(*end);
  }
  if (hold_timer_ != 0) loop_->CancelTimer(hold_timer_);
  hold_timer_ = 0;
}

void Bridge::TransmitPosted(std::uint32_t code, std::span<const std::uint8_t> block) {
  if ((code & kFramePostMask) != kFramePostCode) return;
  const std::size_t count = block.size() / frame::kRecordSize;  // a trailing part is ignored
  if (count == 0) return;
  const std::size_t before = posted_.size();
  posted_.resize(before + count);
  std::memcpy(posted_.data() + before, block.data(), count * frame::kRecordSize);
  if (!loop_) return TransmitPostsWaiting();
  // The first post of a round asks for the transmit at the round's end; later ones join it.
  if (before != 0) return;
  loop_->Defer([this, token = std::weak_ptr<int>(alive_)] {
    if (token.lock()) TransmitPostsWaiting();
  });
}

void Bridge::TransmitPostsWaiting() {
  if (posted_.empty()) return;
  posting_.swap(posted_);
  Transmit(posting_);
  posting_.clear();
}

std::size_t Bridge::Transmit(std::span<const frame::FrameRecord> records, std::uint64_t origin) {
  const std::size_t accepted = source_.Transmit(records, origin);
  if (!source_echoes_ && accepted > 0) {
    // On the bus as it is accepted: its time is now.
    now_times_.assign(accepted, FrameTimeNow());
    sent_ += accepted;
    Distribute(records.first(accepted), now_times_, origin);
  }
  CheckFlow();
  return accepted;
}

void Bridge::CheckFlow() {
  const std::size_t backlog = source_.TransmitBacklog();
  const bool congested = congested_ ? backlog > kTransmitLowWater : backlog >= kTransmitHighWater;
  if (congested == congested_) return;
  congested_ = congested;
  if (on_congestion_) on_congestion_(congested);
}

void Bridge::Received(std::span<const frame::FrameRecord> records,
                      std::span<const FrameTime> times) {
  received_ += records.size();
  Distribute(records, times, 0);
}

void Bridge::Distribute(std::span<const frame::FrameRecord> records,
                        std::span<const FrameTime> times, std::uint64_t skip_client) {
  if (records.empty()) return;
  stamped_.assign(records.begin(), records.end());
  for (std::size_t i = 0; i < stamped_.size(); ++i) StampRecord(stamped_[i], times[i]);
  if (coalescer_) {
    coalescer_->Add(stamped_, zelk::EventLoop::Clock::now());
    FollowHold();
  } else {
    DeliverBlocks(stamped_);
  }
  if (server_) server_->Broadcast(stamped_, times, skip_client);
  if (log_) {
    LogReport report;
    log_->Write(stamped_, times, source_.LogName(), &report);
    if (!report.error.empty()) ReportError(report.error);
    if (!report.notice.empty()) ReportNotice(report.notice);
  }
  load_.Add(stamped_);
  distributed_ += stamped_.size();
}

}  // namespace tran
