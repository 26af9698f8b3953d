#include "tran/candump_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tran/hex_text.h"

namespace tran {

void AppendCandumpLine(std::string& out, const frame::FrameRecord& record, const timeval& time,
                       std::string_view iface) {
  const frame::DecodedRecord rec = frame::DecodeRecord(record.data());
  char stamp[48];
  const int n = std::snprintf(stamp, sizeof stamp, "(%010llu.%06llu) ",
                              static_cast<unsigned long long>(time.tv_sec),
                              static_cast<unsigned long long>(time.tv_usec));
  out.append(stamp, static_cast<std::size_t>(n));
  out.append(iface);
  out += ' ';
  if (rec.extended) {
    AppendHex(out, rec.identifier & frame::kMaxExtendedId, 8);
  } else {
    AppendHex(out, rec.identifier & frame::kMaxStandardId, 3);
  }
  out += '#';
  for (std::uint8_t i = 0; i < rec.shown_length; ++i) AppendHex(out, rec.data[i], 2);
  out += '\n';
}

CandumpLog::~CandumpLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool CandumpLog::Open(const std::string& path, std::string* error) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0 && error) *error = "cannot open log " + path + ": " + std::strerror(errno);
  return fd_ >= 0;
}

bool CandumpLog::Write(std::span<const frame::FrameRecord> records, const timeval& time,
                       std::string_view iface, std::string* report) {
  const std::vector<FrameTime> times(
      records.size(), static_cast<FrameTime>(time.tv_sec) * 1'000'000 + time.tv_usec);
  return Write(records, times, iface, report);
}

bool CandumpLog::Write(std::span<const frame::FrameRecord> records,
                       std::span<const FrameTime> times, std::string_view iface,
                       std::string* report) {
  if (fd_ < 0 || records.empty()) return true;
  batch_.clear();
  for (std::size_t i = 0; i < records.size(); ++i) {
    AppendCandumpLine(batch_, records[i], ToTimeval(times[i]), iface);
  }
  int failure = 0;
  if (partial_bytes_ > 0 && !CutPartialLine()) failure = errno;
  std::size_t done = 0;
  while (failure == 0 && done < batch_.size()) {
    const ssize_t n = ::write(fd_, batch_.data() + done, batch_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (failure == 0) {
    if (failing_ && report) {
      *report = "log resumed; " + std::to_string(lost_while_failing_) + " frames not logged";
    }
    failing_ = false;
    lost_while_failing_ = 0;
    return true;
  }
  // The whole lines that went out stay; a cut one is removed, the rest of the batch is lost.
  const std::size_t last_newline = done == 0 ? std::string::npos : batch_.rfind('\n', done - 1);
  const std::size_t kept = last_newline == std::string::npos ? 0 : last_newline + 1;
  partial_bytes_ += done - kept;
  if (partial_bytes_ > 0) CutPartialLine();  // if this fails, the next write tries again first
  const auto lost =
      static_cast<std::uint64_t>(std::count(batch_.begin() + kept, batch_.end(), '\n'));
  lines_lost_ += lost;
  lost_while_failing_ += lost;
  if (!failing_ && report) *report = std::string("log write failed: ") + std::strerror(failure);
  failing_ = true;
  return false;
}

// Cuts the file back by the bytes of a cut last line, so the next line starts a line of its
// own. The file's size is read now, in case it was rotated or truncated meanwhile.
bool CandumpLog::CutPartialLine() {
  struct stat status;
  if (::fstat(fd_, &status) != 0) return false;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size >= partial_bytes_ && ::ftruncate(fd_, static_cast<off_t>(size - partial_bytes_)) != 0) {
    return false;
  }
  partial_bytes_ = 0;
  return true;
}

}  // namespace tran
