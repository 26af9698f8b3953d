// tran_log_bench: a long capture with size rotation. zelk_tran puts RATE generated frames/s on
// its bus for SECONDS with --log FILE --log-max-size SIZE --log-keep KEEP and a zelk_dump
// watching, then gets SIGTERM. The log files, oldest first, are read back against the
// generator's sequence (a fixed seed): files that hold exactly the sequence's frames 0..N-1
// account for every frame generated, since the companion logs each batch as it generates it
// (a failed write would be reported on its stderr, shown below). zelk_dump's output is a second
// count from outside: the place of its first frame in the sequence plus its lines.
//
// Usage: tran_log_bench [SECONDS [RATE [SIZE [KEEP]]]]   (default 60 s, 21300 frames/s,
//                                                         1M, 100)
// Figures only; nothing is asserted. With SIZE * KEEP below what the run writes, the oldest
// files are dropped and the count is of what was kept.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "frame/frame_record.h"
#include "frame/send_line.h"
#include "tran/candump/candump_log.h"
#include "tran/core/frame_generator.h"

namespace {

using Clock = std::chrono::steady_clock;

// The sequence's frames from the start, as far as needed.
class Sequence {
 public:
  const frame::FrameRecord& At(std::size_t i) {
    while (frames_.size() <= i) frames_.push_back(generator_.Next());
    return frames_[i];
  }

 private:
  tran::FrameGenerator generator_;
  std::vector<frame::FrameRecord> frames_;
};

// The frame of a zelk_dump line "N  DELTAms  ID - DD DD ..." without its stamp.
bool DumpLineFrame(const std::string& line, frame::FrameRecord& record) {
  unsigned long long n = 0;
  unsigned delta = 0;
  int end = 0;
  if (std::sscanf(line.c_str(), "%llu %ums%n", &n, &delta, &end) != 2 || end == 0) return false;
  std::string rest = line.substr(static_cast<std::size_t>(end));
  const std::size_t dash = rest.find(" -");
  if (dash == std::string::npos) return false;
  rest.erase(dash, 2);
  record = frame::EncodeSendLine(rest.substr(rest.find_first_not_of(' ')));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  const std::string rate = argc > 2 ? argv[2] : "21300";
  const std::string size = argc > 3 ? argv[3] : "1M";
  const unsigned keep = argc > 4 ? static_cast<unsigned>(std::atoi(argv[4])) : 100;
  const std::filesystem::path bin = std::filesystem::canonical("/proc/self/exe").parent_path();
  char dir_template[] = "/tmp/tran_log_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string bus = dir + "/bus";
  const std::string log = dir + "/bus.log";
  setenv("PELMO_BUS", bus.c_str(), 1);

  const int tran_err = open((dir + "/tran.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int dump_out = open((dir + "/dump.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const pid_t companion =
      bench::Spawn({(bin / "zelk_tran").string(), "--foreground", "--idle-exit", "0", "--generate",
                    rate, "--log", log, "--log-max-size", size, "--log-keep", std::to_string(keep)},
                   -1, -1, tran_err);
  while (bench::ReadText(dir + "/tran.err").find("serving") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const pid_t dump = bench::Spawn({(bin / "zelk_dump").string()}, -1, dump_out);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double companion_cpu = bench::CpuSeconds(companion);
  const int status = bench::StopProcess(companion);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  bench::StopProcess(dump);

  // The files oldest first: FILE.KEEP .. FILE.1, FILE.
  std::vector<std::string> files;
  for (unsigned n = keep; n >= 1; --n) {
    const std::string name = log + "." + std::to_string(n);
    if (std::filesystem::exists(name)) files.push_back(name);
  }
  files.push_back(log);
  Sequence sequence;
  std::size_t frames = 0, first = 0, mismatches = 0, bad_lines = 0, cut_files = 0;
  std::uintmax_t largest = 0;
  for (const std::string& name : files) {
    largest = std::max(largest, std::filesystem::file_size(name));
    const std::string text = bench::ReadText(name);
    if (!text.empty() && text.back() != '\n') ++cut_files;
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      tran::CandumpEntry entry;
      if (tran::ParseCandumpLine(std::string_view(text).substr(at, end - at), entry) !=
          tran::CandumpLineKind::kFrame) {
        ++bad_lines;
      } else {
        if (frames == 0) {  // where the kept files start in the sequence
          while (sequence.At(first) != entry.record && first < 100'000'000) ++first;
        }
        if (entry.record != sequence.At(first + frames)) ++mismatches;
        ++frames;
      }
      at = end + 1;
    }
  }

  std::ifstream dumped(dir + "/dump.out");
  std::size_t dump_lines = 0, dump_first = 0, dump_mismatches = 0;
  for (std::string line; std::getline(dumped, line);) {
    frame::FrameRecord record;
    if (!DumpLineFrame(line, record)) {
      ++dump_mismatches;
      continue;
    }
    if (dump_lines == 0) {
      while (sequence.At(dump_first) != record && dump_first < first + frames) ++dump_first;
    }
    if (record != sequence.At(dump_first + dump_lines)) ++dump_mismatches;
    ++dump_lines;
  }

  std::printf("tran_log_bench: --generate %s --log-max-size %s --log-keep %u for %.1f s\n",
              rate.c_str(), size.c_str(), keep, elapsed);
  std::printf("companion: exit status %d, %.1f%% of a core\n", status,
              100.0 * companion_cpu / elapsed);
  std::printf("log files: %zu, largest %ju bytes, %zu ending in a cut line, %zu bad lines\n",
              files.size(), largest, cut_files, bad_lines);
  std::printf("frames in the files: %zu = the generator's frames %zu..%zu, %zu out of place\n",
              frames, first, first + frames - 1, mismatches);
  std::printf("frames generated (the sequence up to the last logged): %zu; rate x time: %.0f\n",
              first + frames, std::atof(rate.c_str()) * elapsed);
  std::printf(
      "zelk_dump: %zu frames = the generator's frames %zu..%zu, %zu out of place; "
      "%zu logged frames came after its last\n",
      dump_lines, dump_first, dump_first + dump_lines - 1, dump_mismatches,
      first + frames - (dump_first + dump_lines));
  std::printf("companion's reports:\n%s", bench::ReadText(dir + "/tran.err").c_str());
  std::filesystem::remove_all(dir);
  return 0;
}
