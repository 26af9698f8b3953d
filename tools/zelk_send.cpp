// zelk_send: encodes lines as the monitor's send box does and posts them on the bus.
//
// Threads: only the main thread; the bus library runs its own I/O thread, which calls this
// tool's window for nothing (it registers with a value that routes no block to it).
//
// Hand-over: the library sends a window's posts and its requests to the hub in one ordered
// stream, and the hub answers a request only after reading everything sent before it. So once
// the hub confirms storing the bus variable kSentVariable (the number of frames this run
// handed over), every frame posted before it has reached the hub. Unregistering alone would
// not do: it closes the connection without sending posts still queued.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#include "bus/bus_binding.h"
#include "frame/send_line.h"
#include "tools/tool_args.h"
#include "tools/tool_bus.h"

namespace {

constexpr const char* kTool = "zelk_send";
// Value 0 shares no bit with any code word, so the hub routes nothing to this client.
constexpr std::uint32_t kRegisterValue = 0;
constexpr auto kHubDeadline = std::chrono::seconds(5);
constexpr auto kPollPeriod = std::chrono::milliseconds(5);
constexpr const char* kSentVariable = "zelk_send.sent";

void ignore_notification(void*, std::uint32_t, std::uintptr_t, std::intptr_t) {}

// Polls a pmGetInfo figure until it reaches `wanted` or the deadline passes.
bool wait_for_info(pm_info_key key, std::uint64_t wanted,
                   std::chrono::steady_clock::time_point deadline) {
  while (tools::bus_info(key) != wanted) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPeriod);
  }
  return true;
}

// Waits until the hub has read every post made so far (see the top of this file). Repeated
// on failure: while the hub is away the posts wait in the library and go out on reconnect.
bool confirm_hand_over(std::uint64_t posted, std::chrono::steady_clock::time_point deadline) {
  const pmSetPublicVar_fn set_var = bus::Binding().pmSetPublicVar;
  const auto value = static_cast<std::int32_t>(posted & 0x7FFFFFFF);
  while (set_var == nullptr || set_var(kSentVariable, value) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPeriod);
  }
  return true;
}

int run(const tools::SendOptions& options) {
  pm_window window{&ignore_notification, nullptr};
  const pmRegister_fn do_register = bus::Binding().pmRegister;
  if (do_register == nullptr || do_register(&window, kRegisterValue, kTool) == 0) {
    std::fprintf(stderr, "%s: the bus library refused the registration\n", kTool);
    return tools::kExitFailure;
  }
  // Frames posted before the hub answers would wait in the library's bounded offline queue;
  // waiting for the connection first keeps a long -r run from overflowing it.
  if (!wait_for_info(PM_INFO_CONNECTED, 1, std::chrono::steady_clock::now() + kHubDeadline)) {
    std::fprintf(stderr, "%s: no bus hub answered within 5 s; nothing was sent\n", kTool);
    bus::Unregister(&window);
    return tools::kExitFailure;
  }

  std::vector<frame::FrameRecord> records;
  for (const std::string& line : options.lines) records.push_back(frame::EncodeSendLine(line));
  const std::uint64_t dropped_before = tools::bus_info(PM_INFO_DROPPED_POSTS);
  bool first = true;
  for (std::uint64_t round = 0; round < options.repeat; ++round) {
    for (const frame::FrameRecord& record : records) {
      if (!first && options.interval_ms != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
      }
      first = false;
      bus::Post(&window, bus::kKindFrames, record.data(), frame::kRecordSize);
    }
  }

  const std::uint64_t dropped = tools::bus_info(PM_INFO_DROPPED_POSTS) - dropped_before;
  const std::uint64_t posted = options.repeat * records.size() - dropped;
  const bool handed_over =
      confirm_hand_over(posted, std::chrono::steady_clock::now() + kHubDeadline);
  if (!handed_over) {
    std::fprintf(stderr, "%s: the hub did not confirm receiving the frames within 5 s\n", kTool);
  }
  tools::report_drops(kTool, 0);
  bus::Unregister(&window);
  return handed_over && dropped == 0 ? tools::kExitOk : tools::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto parsed = tools::ParseSendArgs(args);
  if (parsed.status == tools::ParseStatus::kHelp) {
    std::fputs(tools::kSendUsage, stdout);
    return tools::kExitOk;
  }
  if (parsed.status == tools::ParseStatus::kError) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kTool, parsed.error.c_str(), kTool);
    return tools::kExitUsage;
  }
  if (!tools::load_bus_or_explain(kTool)) return tools::kExitFailure;
  const int status = run(parsed.options);
  bus::UnloadBus();
  return status;
}
