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
#include "tran/base/frame_time.h"

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

// Rotation by size: before a batch would take the file past max_bytes, the file is renamed
// to PATH.1 (PATH.1 to PATH.2, ..., the oldest, PATH.<keep>, dropped) and a new one is opened
// at PATH. A batch goes whole into one file; one larger than max_bytes gets a fresh file of its
// own.
struct LogRotation {
  std::uint64_t max_bytes = 0;  // 0: never
  unsigned keep = 5;            // rotated files kept, at least 1
};

// What a write has to tell, each set once per run of failures; empty when nothing.
struct LogReport {
  std::string error;   // "log write failed: No space left on device", "log not rotated: ..."
  std::string notice;  // "log resumed; 120 frames not logged", "log rotated again"
};

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

  bool Open(const std::string& path, std::string* error, LogRotation rotation = {});
  bool IsOpen() const { return fd_ >= 0; }
  // Opens the path anew and writes there from the next batch on: after logrotate renamed the
  // file, the lines written so far stay in the renamed file and the next ones start a new one.
  // When the path cannot be opened, the file open so far stays in use and false is returned.
  bool Reopen(std::string* error);
  // Writes one line per record with its time; false when not all of them went out.
  // Sets report->error once per run of failures: "log write failed: No space left on device"
  // at the first, report->notice "log resumed; 120 frames not logged" at the first batch
  // written whole after. A rotation that fails is reported the same way, and tried again once
  // another max_bytes went into the file or after a Reopen.
  bool Write(std::span<const frame::FrameRecord> records, std::span<const FrameTime> times,
             std::string_view iface, LogReport* report);
  // The same, every line at `time`.
  bool Write(std::span<const frame::FrameRecord> records, const timeval& time,
             std::string_view iface, LogReport* report);
  std::uint64_t LinesLost() const { return lines_lost_; }

 private:
  bool CutPartialLine();
  void RotateIfDue(LogReport* report);
  bool Rotate(std::string* error);

  int fd_ = -1;
  std::string path_;
  LogRotation rotation_;
  std::uint64_t rotation_retry_at_ = 0;  // after a failed rotation: the size of the next try
  bool rotation_failing_ = false;
  std::string batch_;
  std::uint64_t lines_lost_ = 0;
  bool failing_ = false;
  std::uint64_t lost_while_failing_ = 0;
  std::size_t partial_bytes_ = 0;  // a cut line at the file's end, not yet removed
};

}  // namespace tran
