// The `candump -l` log line, readable by can-utils' canplayer and python-can's log reader.
//
//   "(1700000000.000100) vcan0 123#1122\n"          standard id 0x123, two bytes
//   "(0000000012.500000) can0 0000ABCD#\n"          extended id 0xABCD, no data
//   "(1700000000.000000) vcan0 7FF#1122334455667788\n"  length codes 9..15 log 8 bytes
// The seconds field is at least ten digits wide, the microseconds six.
#pragma once

#include <sys/time.h>

#include <span>
#include <string>
#include <string_view>

#include "frame/frame_record.h"

namespace tran {

void AppendCandumpLine(std::string& out, const frame::FrameRecord& record, const timeval& time,
                       std::string_view iface);

// An append-only log file; each batch of lines goes out in one write() so a killed process
// leaves only whole lines behind. Not thread-safe: used by the event loop thread only.
class CandumpLog {
 public:
  CandumpLog() = default;
  ~CandumpLog();
  CandumpLog(const CandumpLog&) = delete;
  CandumpLog& operator=(const CandumpLog&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes one line per record, all stamped with `time`. False on a write error.
  bool Write(std::span<const frame::FrameRecord> records, const timeval& time,
             std::string_view iface, std::string* error);
  std::uint64_t LinesLost() const { return lines_lost_; }

 private:
  int fd_ = -1;
  std::string batch_;
  std::uint64_t lines_lost_ = 0;
};

}  // namespace tran
