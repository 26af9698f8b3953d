#include "tran/candump/candump_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tran/base/hex_text.h"

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

namespace {

int OpenForAppending(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// Adds a message to a report field; two in one call are both kept.
void Tell(std::string& field, const std::string& message) {
  if (!field.empty()) field += "; ";
  field += message;
}

}  // namespace

CandumpLog::~CandumpLog() {
  if (fd_ >= 0) ::close(fd_);
}

bool CandumpLog::Open(const std::string& path, std::string* error, LogRotation rotation) {
  fd_ = OpenForAppending(path);
  if (fd_ < 0 && error) *error = "cannot open log " + path + ": " + std::strerror(errno);
  path_ = path;
  rotation_ = rotation;
  rotation_.keep = std::max(rotation_.keep, 1u);
  return fd_ >= 0;
}

bool CandumpLog::Reopen(std::string* error) {
  if (fd_ < 0) {
    if (error) *error = "no log is open";
    return false;
  }
  const int fd = OpenForAppending(path_);
  if (fd < 0) {
    if (error) *error = "cannot open log " + path_ + ": " + std::strerror(errno);
    return false;
  }
  // The file left behind ends in a whole line: a cut line is removed now, as far as it can be.
  if (partial_bytes_ > 0) CutPartialLine();
  partial_bytes_ = 0;
  ::close(fd_);
  fd_ = fd;
  rotation_retry_at_ = 0;
  return true;
}

bool CandumpLog::Write(std::span<const frame::FrameRecord> records, const timeval& time,
                       std::string_view iface, LogReport* report) {
  const std::vector<FrameTime> times(
      records.size(), static_cast<FrameTime>(time.tv_sec) * 1'000'000 + time.tv_usec);
  return Write(records, times, iface, report);
}

bool CandumpLog::Write(std::span<const frame::FrameRecord> records,
                       std::span<const FrameTime> times, std::string_view iface,
                       LogReport* report) {
  if (fd_ < 0 || records.empty()) return true;
  batch_.clear();
  for (std::size_t i = 0; i < records.size(); ++i) {
    AppendCandumpLine(batch_, records[i], ToTimeval(times[i]), iface);
  }
  int failure = 0;
  if (partial_bytes_ > 0 && !CutPartialLine()) failure = errno;
  if (failure == 0 && rotation_.max_bytes > 0) RotateIfDue(report);
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
      Tell(report->notice,
           "log resumed; " + std::to_string(lost_while_failing_) + " frames not logged");
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
  if (!failing_ && report) {
    Tell(report->error, std::string("log write failed: ") + std::strerror(failure));
  }
  failing_ = true;
  return false;
}

// Rotates before the batch in batch_ would take the file past max_bytes. An empty file takes
// any batch, so one larger than max_bytes goes into a fresh file by itself. The size is read
// from the file, so a file truncated or replaced meanwhile is measured as it is.
void CandumpLog::RotateIfDue(LogReport* report) {
  struct stat status;
  if (::fstat(fd_, &status) != 0) return;
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size == 0 || size + batch_.size() <= rotation_.max_bytes) return;
  // A rotation that failed is not tried at every batch, but once the file has grown by
  // another max_bytes (or after a Reopen).
  if (rotation_failing_ && size < rotation_retry_at_) return;
  std::string error;
  if (Rotate(&error)) {
    if (rotation_failing_ && report) Tell(report->notice, "log rotated again");
    rotation_failing_ = false;
    return;
  }
  if (!rotation_failing_ && report) Tell(report->error, "log not rotated: " + error);
  rotation_failing_ = true;
  rotation_retry_at_ = size + rotation_.max_bytes;
}

// PATH.<keep-1> -> PATH.<keep> (replacing the oldest), ..., PATH -> PATH.1, then a new PATH.
bool CandumpLog::Rotate(std::string* error) {
  const auto numbered = [this](unsigned n) { return path_ + "." + std::to_string(n); };
  // 0 when renamed (or when `from` is missing and that is fine), else the errno.
  const auto move = [](const std::string& from, const std::string& to, bool missing_ok) {
    if (::rename(from.c_str(), to.c_str()) == 0 || (missing_ok && errno == ENOENT)) return 0;
    return errno;
  };
  const auto failed = [&](int code, const std::string& from, const std::string& to) {
    *error = "cannot rename " + from + " to " + to + ": " + std::strerror(code) +
             "; writing on to " + path_;
    return false;
  };
  // The files move up only while the open file is the one at the path: after a rotation whose
  // open failed, the open file is PATH.1 already, and the next try only opens.
  struct stat ours, at_path;
  const bool ours_at_path = ::fstat(fd_, &ours) == 0 && ::stat(path_.c_str(), &at_path) == 0 &&
                            ours.st_dev == at_path.st_dev && ours.st_ino == at_path.st_ino;
  if (ours_at_path) {
    for (unsigned n = rotation_.keep; n > 1; --n) {
      if (const int code = move(numbered(n - 1), numbered(n), true)) {
        return failed(code, numbered(n - 1), numbered(n));
      }
    }
    if (const int code = move(path_, numbered(1), false)) return failed(code, path_, numbered(1));
  }
  if (!Reopen(error)) {
    *error += "; writing on to " + (ours_at_path ? numbered(1) : "the file open before");
    return false;
  }
  return true;
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
