// Error and status messages: "zelk_tran: ..." on stderr, or syslog once detached.
#pragma once

#include <string>

namespace tran {

void ReportToSyslog();  // after detaching; stderr is /dev/null then
void ReportError(const std::string& message);
void ReportWarning(const std::string& message);
void ReportNotice(const std::string& message);

}  // namespace tran
