#include "tran/candump_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
                       std::string_view iface, std::string* error) {
  if (fd_ < 0 || records.empty()) return true;
  batch_.clear();
  for (const auto& record : records) AppendCandumpLine(batch_, record, time, iface);
  std::size_t done = 0;
  while (done < batch_.size()) {
    const ssize_t n = ::write(fd_, batch_.data() + done, batch_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Count the lines that did not make it; a partial line may remain (disk full).
      std::uint64_t lost = 0;
      for (std::size_t i = done; i < batch_.size(); ++i) lost += batch_[i] == '\n';
      lines_lost_ += lost;
      if (error) *error = std::string("log write failed: ") + std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace tran
