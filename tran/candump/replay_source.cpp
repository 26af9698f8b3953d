// The replay source: plays a candump -l log onto the bus (see ReplayOptions in replay_source.h).
//
// The file is read through one fixed buffer, so memory stays flat however long the log is.
// Each round of the event loop plays the frames that are due (at most kRoundFrames, in
// batches of one hub block), then arms a timer for the next due frame. At speed 0 it plays a
// batch whenever the consumers have room and yields to the loop between rounds.
//
// Threads: everything runs on the event loop thread given to Start().
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "tran/base/report.h"
#include "tran/can/can_source.h"
#include "tran/candump/candump_log.h"
#include "tran/candump/replay_source.h"

namespace tran {

namespace {

using Clock = zelk::EventLoop::Clock;

constexpr std::size_t kBatchFrames = 256;   // one hub block per batch
constexpr std::size_t kRoundFrames = 4096;  // then other events get a turn
constexpr std::size_t kRoundLines = 16384;  // lines read per round, frames or not
constexpr auto kFullPoll = std::chrono::milliseconds(1);
constexpr auto kReadyPoll = std::chrono::milliseconds(5);
constexpr double kMaxGapNs = 1e17;  // about three years; keeps time points finite

// Lines of a file through a fixed buffer.
class LineReader {
 public:
  enum class Result { kLine, kTooLong, kTruncated, kEnd, kError };

  explicit LineReader(std::size_t buffer_bytes) : buffer_(std::max<std::size_t>(buffer_bytes, 2)) {}

  void Reset(int fd) {
    fd_ = fd;
    begin_ = end_ = 0;
    eof_ = skipping_ = false;
  }

  // The next line without its '\n', valid until the next call. kTooLong: a line longer than
  // the buffer was skipped; kTruncated: the file ends in a line without '\n' (in `line`).
  Result Next(std::string_view& line, int& error) {
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
      if (newline) {
        const auto length = static_cast<std::size_t>(newline - start);
        begin_ += length + 1;
        if (skipping_) {
          skipping_ = false;
          return Result::kTooLong;
        }
        line = std::string_view(start, length);
        return Result::kLine;
      }
      if (skipping_) begin_ = end_ = 0;
      if (eof_) {
        if (skipping_) {
          skipping_ = false;
          return Result::kTooLong;
        }
        if (begin_ == end_) return Result::kEnd;
        line = std::string_view(start, end_ - begin_);
        begin_ = end_;
        return Result::kTruncated;
      }
      if (begin_ > 0) {  // keep the partial line, at the front
        std::memmove(buffer_.data(), start, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
      }
      if (end_ == buffer_.size()) {
        skipping_ = true;
        begin_ = end_ = 0;
        continue;
      }
      const ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = errno;
        return Result::kError;
      }
      if (n == 0) eof_ = true;
      end_ += static_cast<std::size_t>(n);
    }
  }

 private:
  std::vector<char> buffer_;
  int fd_ = -1;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  bool skipping_ = false;  // inside a line longer than the buffer
};

class ReplaySource final : public CanSource {
 public:
  explicit ReplaySource(ReplayOptions options)
      : options_(std::move(options)), reader_(options_.read_buffer_bytes) {
    batch_.reserve(kBatchFrames);
  }
  ~ReplaySource() override { Stop(); }

  bool Start(zelk::EventLoop& loop, ReceiveFn on_receive, std::string* error) override {
    const int fd = ::open(options_.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      if (error) {
        *error = "cannot replay " + options_.path + ": " +
                 (fd < 0 ? std::strerror(errno) : "not a regular file");
      }
      if (fd >= 0) ::close(fd);
      return false;
    }
    fd_ = fd;
    reader_.Reset(fd_);
    loop_ = &loop;
    on_receive_ = std::move(on_receive);
    summary_.pass = 1;
    Arm(Clock::now());
    return true;
  }

  void Stop() override {
    if (loop_ && timer_) loop_->CancelTimer(timer_);
    timer_ = 0;
    loop_ = nullptr;
    CloseFile();
  }

  std::size_t Transmit(std::span<const frame::FrameRecord> records, std::uint64_t) override {
    return records.size();
  }
  SourceCounters Counters() const override {
    SourceCounters counters;
    counters.rx_malformed = lines_skipped_;
    return counters;
  }
  std::string LogName() const override { return log_name_; }
  SourceStatus Status() const override { return {fd_ >= 0 ? "playing" : "finished", {}, {}, {}}; }

 private:
  struct Pending {
    std::int64_t time_us;
    frame::FrameRecord record;
  };
  enum class Step { kBatchFull, kWaiting, kBusy, kEnd };

  void Arm(Clock::time_point when) {
    timer_ = loop_->AddTimer(when, [this] { Pump(); });
  }

  void Pump() {
    timer_ = 0;
    if (!started_) {
      if (options_.ready && !options_.ready()) return Arm(Clock::now() + kReadyPoll);
      started_ = true;
    }
    const Clock::time_point now = Clock::now();
    std::size_t played = 0;
    std::size_t lines = 0;
    for (;;) {
      if (options_.speed == 0 && options_.consumers_full && options_.consumers_full()) {
        return Arm(now + kFullPoll);
      }
      batch_.clear();
      times_.clear();
      const Step step = Fill(now, lines);
      if (!batch_.empty()) {
        played += batch_.size();
        summary_.frames += batch_.size();
        on_receive_(batch_, times_);
      }
      switch (step) {
        case Step::kBatchFull:
          if (played < kRoundFrames) continue;
          return Arm(now);  // more is due: after the other events of this round
        case Step::kWaiting:
          return Arm(DueTime(next_->time_us));
        case Step::kBusy:
          return Arm(now);
        case Step::kEnd:
          return EndOfPass();
      }
    }
  }

  // Fills batch_ with the frames due at `now`, reading lines as needed.
  Step Fill(Clock::time_point now, std::size_t& lines) {
    while (batch_.size() < kBatchFrames) {
      if (!next_) {
        if (at_end_) return Step::kEnd;
        if (lines >= kRoundLines) return Step::kBusy;
        ReadLine();
        ++lines;
        continue;
      }
      if (options_.speed > 0) {
        // A pass starts, and a backwards step in the recorded time restarts, the schedule at
        // the frame's own play-out.
        if (!anchored_ || next_->time_us < last_us_) {
          // A step back in the recorded time is no gap: the schedule goes on from the frame
          // before it.
          anchor_time_ = anchored_ ? ScheduledTime(last_us_) : FrameTimeNow();
          anchored_ = true;
          anchor_us_ = next_->time_us;
          anchor_ = now;
        } else if (DueTime(next_->time_us) > now) {
          return Step::kWaiting;
        }
        last_us_ = next_->time_us;
        times_.push_back(ScheduledTime(next_->time_us));
      } else {
        times_.push_back(FrameTimeNow());  // no schedule: the time it is played
      }
      batch_.push_back(next_->record);
      next_.reset();
    }
    return Step::kBatchFull;
  }

  // A frame's time on the bus: when it was due, so that its gaps to the others are the
  // recorded ones scaled by the speed, however late the timer fired.
  FrameTime ScheduledTime(std::int64_t time_us) const {
    const double us =
        std::min(static_cast<double>(time_us - anchor_us_) / options_.speed, kMaxGapNs / 1000.0);
    return anchor_time_ + static_cast<FrameTime>(std::llround(us));
  }

  Clock::time_point DueTime(std::int64_t time_us) const {
    const double ns =
        std::min(static_cast<double>(time_us - anchor_us_) * 1000.0 / options_.speed, kMaxGapNs);
    return anchor_ + std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
  }

  // Reads one line: a frame goes to next_, the end of the file sets at_end_.
  void ReadLine() {
    std::string_view line;
    int error = 0;
    switch (reader_.Next(line, error)) {
      case LineReader::Result::kLine: {
        ++line_number_;
        CandumpEntry entry;
        const CandumpLineKind kind = ParseCandumpLine(line, entry);
        if (kind == CandumpLineKind::kFrame) {
          next_ = Pending{entry.time_us, entry.record};
          if (!named_) {
            log_name_ = std::string(entry.iface);
            named_ = true;
          }
        } else if (kind != CandumpLineKind::kBlank) {
          Skip(DescribeCandumpLineKind(kind));
        }
        return;
      }
      case LineReader::Result::kTooLong:
        ++line_number_;
        return Skip("line too long");
      case LineReader::Result::kTruncated:
        ++line_number_;
        return Skip("truncated last line");
      case LineReader::Result::kEnd:
        at_end_ = true;
        return;
      case LineReader::Result::kError:
        summary_.read_error = std::strerror(error);
        at_end_ = true;
        return;
    }
  }

  void Skip(const char* reason) {
    ++lines_skipped_;
    if (summary_.lines_skipped++ == 0) {
      summary_.first_bad_line = line_number_;
      summary_.first_bad_reason = reason;
    }
    if (!bad_line_reported_) {
      bad_line_reported_ = true;
      ReportError("replay " + options_.path + ": line " + std::to_string(line_number_) +
                  " skipped (" + reason + "); further bad lines are only counted");
    }
  }

  void EndOfPass() {
    const bool again = options_.loop && summary_.frames > 0 && summary_.read_error.empty() &&
                       ::lseek(fd_, 0, SEEK_SET) == 0;
    if (summary_.pass == 1 || !summary_.read_error.empty()) Report(again);
    if (options_.on_end_of_pass) options_.on_end_of_pass(summary_);
    if (!again) {
      CloseFile();
      return;
    }
    reader_.Reset(fd_);
    const std::uint64_t pass = summary_.pass + 1;
    summary_ = ReplaySummary{};
    summary_.pass = pass;
    line_number_ = 0;
    at_end_ = false;
    anchored_ = false;
    Arm(Clock::now());
  }

  void Report(bool again) {
    std::string text = "replay " + options_.path + ": ";
    if (!summary_.read_error.empty()) {
      text += "read failed after line " + std::to_string(line_number_) + ": " +
              summary_.read_error + "; ";
    } else {
      text += "end of file; ";
    }
    text += std::to_string(summary_.frames) + " frames played";
    if (summary_.lines_skipped > 0) {
      text += ", " + std::to_string(summary_.lines_skipped) + " lines skipped (first: line " +
              std::to_string(summary_.first_bad_line) + ", " + summary_.first_bad_reason + ")";
    }
    text += again ? "; playing it again" : "; the bus stays up";
    if (summary_.read_error.empty()) {
      ReportNotice(text);
    } else {
      ReportError(text);
    }
  }

  void CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  ReplayOptions options_;
  LineReader reader_;
  zelk::EventLoop* loop_ = nullptr;
  ReceiveFn on_receive_;
  int fd_ = -1;
  std::uint64_t timer_ = 0;
  bool started_ = false;
  bool at_end_ = false;
  std::optional<Pending> next_;  // read, not yet played
  std::vector<frame::FrameRecord> batch_;
  std::vector<FrameTime> times_;
  // The schedule (speed > 0): a frame recorded at t is due at anchor_ + (t - anchor_us_) / speed.
  bool anchored_ = false;
  Clock::time_point anchor_;
  std::int64_t anchor_us_ = 0;
  FrameTime anchor_time_ = 0;  // the real-time clock at anchor_
  std::int64_t last_us_ = 0;
  // Counts and names.
  ReplaySummary summary_;  // of the current pass
  std::uint64_t line_number_ = 0;
  std::uint64_t lines_skipped_ = 0;  // over all passes
  bool bad_line_reported_ = false;
  bool named_ = false;
  std::string log_name_ = "vcan0";
};

}  // namespace

std::unique_ptr<CanSource> MakeReplaySource(ReplayOptions options) {
  return std::make_unique<ReplaySource>(std::move(options));
}

}  // namespace tran
