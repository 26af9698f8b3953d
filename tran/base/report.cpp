#include "tran/base/report.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>

namespace tran {

namespace {
std::atomic<bool> to_syslog{false};

void Report(int priority, const std::string& message) {
  if (to_syslog) {
    syslog(priority, "%s", message.c_str());
  } else {
    std::fprintf(stderr, "zelk_tran: %s\n", message.c_str());
  }
}
}  // namespace

void ReportToSyslog() {
  openlog("zelk_tran", LOG_PID, LOG_USER);
  to_syslog = true;
}

void ReportError(const std::string& message) { Report(LOG_ERR, message); }
void ReportWarning(const std::string& message) { Report(LOG_WARNING, message); }
void ReportNotice(const std::string& message) { Report(LOG_NOTICE, message); }

}  // namespace tran
