// zelk_send: encodes lines as the monitor's send box does and posts them on the bus.
//
// Threads: only the main thread; the bus library runs its own I/O thread, which calls this
// tool's window for nothing (it registers with a value that routes no block to it).
//
// Hand-over: the library sends a window's posts and its requests to the hub in one ordered
// stream, and the hub answers a request only after reading everything sent before it. So once
// the hub confirms storing the bus variable kSentVariable (the number of frames this run
// handed over), every frame posted before it has reached the hub. Unregistering sends queued
// posts too, but cannot tell whether the hub read them; the confirmation lets the tool say so.
//
// Flow: the library never makes a post wait; it refuses one (returns 0, queues nothing) while
// the window already has a full queue for the hub. The tool then posts the same frame again
// after a short pause, so a long -r run loses nothing however fast it goes, and gives up only
// when the bus has taken no frame for kProgressDeadline (a hub that has stopped reading).
// Every wait ends at once, with exit status 1 and the reason, when the library reports that the
// bus refuses this process (another user's bus folder or hub).
#include <unistd.h>

#include <chrono>
#include <cinttypes>
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
constexpr auto kProgressDeadline = std::chrono::seconds(5);
constexpr auto kRetryPause = std::chrono::milliseconds(1);
constexpr const char* kSentVariable = "zelk_send.sent";

void ignore_notification(void*, std::uint32_t, std::uintptr_t, std::intptr_t) {}

// How a wait on the bus ended. kRefused: the bus refuses this process (another user's bus or
// hub), which no waiting mends, so every wait gives up on it at once.
enum class Outcome { kDone, kRefused, kTimedOut };

// Retries `attempt` every `pause` until it succeeds, the bus refuses this process or the
// deadline passes (a deadline of the epoch starts at the first failure, kProgressDeadline on).
template <typename Attempt>
Outcome retry(Attempt attempt, std::chrono::steady_clock::duration pause,
              std::chrono::steady_clock::time_point deadline) {
  while (!attempt()) {
    if (tools::bus_refusal() != PM_OFFLINE_NONE) return Outcome::kRefused;
    const auto now = std::chrono::steady_clock::now();
    if (deadline == std::chrono::steady_clock::time_point{}) {
      deadline = now + kProgressDeadline;
    } else if (now >= deadline) {
      return Outcome::kTimedOut;
    }
    std::this_thread::sleep_for(pause);
  }
  return Outcome::kDone;
}

// Waits until a connection to the hub is up.
Outcome wait_for_hub(std::chrono::steady_clock::time_point deadline) {
  return retry([] { return tools::bus_info(PM_INFO_CONNECTED) == 1; }, kPollPeriod, deadline);
}

// Waits until the hub has read every post made so far (see the top of this file). Repeated
// on failure: while the hub is away the posts wait in the library and go out on reconnect.
// Gives up after kHubDeadline in which the hub took none of the posts still queued: a
// companion that paces its senders on a slow CAN bus takes them slowly, but takes them.
Outcome confirm_hand_over(std::uint64_t posted) {
  const pmSetPublicVar_fn set_var = bus::Binding().pmSetPublicVar;
  const auto value = static_cast<std::int32_t>(posted & 0x7FFFFFFF);
  std::uint64_t queued = tools::bus_info(PM_INFO_QUEUED_POSTS);
  auto deadline = std::chrono::steady_clock::now() + kHubDeadline;
  while (set_var == nullptr || set_var(kSentVariable, value) == 0) {
    if (tools::bus_refusal() != PM_OFFLINE_NONE) return Outcome::kRefused;
    const auto now = std::chrono::steady_clock::now();
    if (const std::uint64_t left = tools::bus_info(PM_INFO_QUEUED_POSTS); left < queued) {
      queued = left;
      deadline = now + kHubDeadline;
    } else if (now >= deadline) {
      return Outcome::kTimedOut;
    }
    std::this_thread::sleep_for(kPollPeriod);
  }
  return Outcome::kDone;
}

// Posts one record, posting it again after a pause while the library refuses it for a full
// queue; kTimedOut when it was still refused kProgressDeadline after the first try.
Outcome post_until_taken(pm_window* window, const frame::FrameRecord& record) {
  const pmPostData_fn post = bus::Binding().pmPostData;
  if (post == nullptr) return Outcome::kTimedOut;
  return retry(
      [&] { return post(window, bus::kMonitorPostCode, record.data(), frame::kRecordSize) != 0; },
      kRetryPause, {});
}

// Reports a refusal, unregisters and gives the exit status.
int refused(pm_window* window) {
  tools::report_refusal(kTool);
  bus::Unregister(window);
  return tools::kExitFailure;
}

int run(const tools::SendOptions& options) {
  pm_window window{&ignore_notification, nullptr};
  if (!tools::register_or_explain(kTool, window, kRegisterValue)) return tools::kExitFailure;
  // Frames posted before the hub answers would wait in the library's bounded offline queue;
  // waiting for the connection first keeps a long -r run from overflowing it.
  const Outcome hub = wait_for_hub(std::chrono::steady_clock::now() + kHubDeadline);
  if (hub == Outcome::kRefused) return refused(&window);
  if (hub != Outcome::kDone) {
    std::fprintf(stderr, "%s: no bus hub answered within 5 s; nothing was sent\n", kTool);
    bus::Unregister(&window);
    return tools::kExitFailure;
  }

  std::vector<frame::FrameRecord> records;
  for (const std::string& line : options.lines) records.push_back(frame::EncodeSendLine(line));
  const std::uint64_t total = options.repeat * records.size();
  std::uint64_t posted = 0;  // frames the library accepted
  bool stalled = false;
  for (std::uint64_t round = 0; round < options.repeat && !stalled; ++round) {
    for (const frame::FrameRecord& record : records) {
      if (posted != 0 && options.interval_ms != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
      }
      const Outcome taken = post_until_taken(&window, record);
      if (taken == Outcome::kRefused) return refused(&window);
      if (taken != Outcome::kDone) {
        stalled = true;
        break;
      }
      ++posted;
    }
  }
  if (stalled) {
    // The hub has stopped reading: confirming the hand-over would only wait in vain too.
    std::fprintf(stderr,
                 "%s: the bus took no frame for 5 s (is the hub stalled?); gave up after %" PRIu64
                 " of %" PRIu64 " frames\n",
                 kTool, posted, total);
    bus::Unregister(&window);
    return tools::kExitFailure;
  }

  const Outcome hand_over = confirm_hand_over(posted);
  if (hand_over == Outcome::kRefused) return refused(&window);
  const bool handed_over = hand_over == Outcome::kDone;
  if (!handed_over) {
    std::fprintf(
        stderr, "%s: the hub did not confirm receiving the frames (it took none for 5 s)\n", kTool);
  }
  bus::Unregister(&window);
  return handed_over ? tools::kExitOk : tools::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const auto parsed = tools::ParseSendArgs(args);
  if (parsed.status != tools::ParseStatus::kRun) {
    return tools::finish_without_running(kTool, parsed.status, parsed.error, tools::kSendUsage);
  }
  if (!tools::load_bus_or_explain(kTool)) return tools::kExitFailure;
  const int status = run(parsed.options);
  bus::UnloadBus();
  return status;
}
