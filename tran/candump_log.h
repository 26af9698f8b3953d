// The `candump -l` log line, readable by can-utils' canplayer and python-can's log reader.
//
//   "(1700000000.000100) vcan0 123#1122\n"          standard id 0x123, two bytes
//   "(0000000012.500000) can0 0000ABCD#\n"          extended id 0xABCD, no data
//   "(1700000000.000000) vcan0 7FF#1122334455667788\n"  length codes 9..15 log 8 bytes
// The seconds field is at least ten digits wide, the microseconds six.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "frame/frame_record.h"
#include "tran/frame_time.h"

namespace tran {

void AppendCandumpLine(std::string& out, const frame::FrameRecord& record, const timeval& time,
                       std::string_view iface);

// Reading a line back, for replay. Besides the lines above it takes those of can-utils' candump
// -l and of python-can's log writer:
//   "(1700000000.000100) can0 123#1122"             standard id 0x123, two bytes
//   "(0.250000) vcan0 0000ABCD#11 R"                python-can: direction R or T after the frame
//   "(1.5) vcan0 123#11.22"                         a fraction of 1..9 digits; '.' between bytes
//   "(1.000000) vcan0 7FF#1122334455667788_C"       eight bytes with length code 12 (len8_dlc)
//   "   " (blanks only)                             blank, not counted
// Lines of frames this bus does not carry are told apart, so a replay can say what it skipped:
//   "(1.000000) vcan0 123##1AABB"                   CAN FD frame
//   "(1.000000) vcan0 123#R"  "(1.0) vcan0 123#R4"  remote frame
//   "(1.000000) vcan0 20000080#0000000000000000"    error frame (CAN_ERR_FLAG set in the id)
// Anything else is malformed: "(1.0) vcan0 800#", "(1.0) vcan0 1234#", "(1.0) vcan0 123#1",
// "(1.0) vcan0 123#112233445566778899", "1.0 vcan0 123#", "(1.0) vcan0 123# X".
enum class CandumpLineKind { kFrame, kBlank, kCanFd, kRemote, kErrorFrame, kMalformed };

struct CandumpEntry {
  std::int64_t time_us = 0;     // the recorded time in microseconds
  std::string_view iface;       // points into the parsed line
  frame::FrameRecord record{};  // timestamp bytes zero
};

// Parses one line without its '\n' (a trailing '\r' is allowed); entry is set for kFrame only.
CandumpLineKind ParseCandumpLine(std::string_view line, CandumpEntry& entry);

// "CAN FD frame", "remote frame", ... for reports.
const char* DescribeCandumpLineKind(CandumpLineKind kind);

// An append-only log file of whole lines: each batch goes out in one write(), so a killed
// process leaves only whole lines behind, and a batch the disk takes only in part is cut back
// to its last whole line (the rest of it is lost), so a full disk leaves no cut line either.
// Not thread-safe: used by the event loop thread only.
class CandumpLog {
 public:
  CandumpLog() = default;
  ~CandumpLog();
  CandumpLog(const CandumpLog&) = delete;
  CandumpLog& operator=(const CandumpLog&) = delete;

  bool Open(const std::string& path, std::string* error);
  bool IsOpen() const { return fd_ >= 0; }
  // Writes one line per record with its time; false when not all of them went out.
  // Sets *report once per run of failures: "log write failed: No space left on device" at
  // the first, "log resumed; 120 frames not logged" at the first batch written whole after.
  bool Write(std::span<const frame::FrameRecord> records, std::span<const FrameTime> times,
             std::string_view iface, std::string* report);
  // The same, every line at `time`.
  bool Write(std::span<const frame::FrameRecord> records, const timeval& time,
             std::string_view iface, std::string* report);
  std::uint64_t LinesLost() const { return lines_lost_; }

 private:
  bool CutPartialLine();

  int fd_ = -1;
  std::string batch_;
  std::uint64_t lines_lost_ = 0;
  bool failing_ = false;
  std::uint64_t lost_while_failing_ = 0;
  std::size_t partial_bytes_ = 0;  // a cut line at the file's end, not yet removed
};

}  // namespace tran
