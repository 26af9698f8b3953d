// Detaching into the background with a readiness report: the process started from the
// terminal waits until the background process has started (or failed) and exits with that
// result, so start-up errors are still seen and a caller can use the bus as soon as it returns.
#pragma once

namespace tran {

enum class StartStatus : char { kReady = 'R', kAlreadyServed = 'A', kFailed = 'F' };

// Double fork and setsid. Returns only in the background process; the original process
// exits with 0 (ready or already served) or 1 (failed). Call before starting any thread.
void DetachIntoBackground();

// Reports the start-up result to the waiting process, if detached. On kReady the standard
// streams are then redirected to /dev/null and messages go to syslog.
void ReportStartStatus(StartStatus status);

}  // namespace tran
