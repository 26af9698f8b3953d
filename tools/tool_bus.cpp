#include "tools/tool_bus.h"

#include <cinttypes>
#include <cstdio>

#include "bus/bus_binding.h"
#include "hub/hub.h"

namespace tools {

bool load_bus_or_explain(const char* tool) {
  if (bus::LoadBus()) return true;
  std::fprintf(stderr, "%s: cannot load the bus library %s: %s\n", tool, bus::kBusLibraryName,
               bus::LoadError().c_str());
  return false;
}

bool register_or_explain(const char* tool, pm_window& window, std::uint32_t value) {
  const pmRegister_fn do_register = bus::Binding().pmRegister;
  if (do_register != nullptr && do_register(&window, value, tool) != 0) return true;
  std::fprintf(stderr, "%s: the bus library refused the registration\n", tool);
  return false;
}

int finish_without_running(const char* tool, ParseStatus status, const std::string& error,
                           const char* usage) {
  if (status == ParseStatus::kHelp) {
    std::fputs(usage, stdout);
    return kExitOk;
  }
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool, error.c_str(), tool);
  return kExitUsage;
}

std::uint64_t bus_info(pm_info_key key) {
  const pmGetInfo_fn get_info = bus::Binding().pmGetInfo;
  std::uint64_t value = 0;
  if (get_info == nullptr || get_info(key, &value) == 0) return 0;
  return value;
}

std::uint64_t bus_refusal() {
  const std::uint64_t reason = bus_info(PM_INFO_OFFLINE_REASON);
  return reason >= PM_OFFLINE_NOT_PERMITTED ? reason : std::uint64_t{PM_OFFLINE_NONE};
}

bool report_refusal(const char* tool) {
  const char* why = nullptr;
  switch (bus_refusal()) {
    case PM_OFFLINE_NOT_PERMITTED:
      why = "permission denied (it belongs to another user)";
      break;
    case PM_OFFLINE_HUB_OF_OTHER_USER:
      why = "its hub runs as another user and is not trusted";
      break;
    case PM_OFFLINE_REFUSED_BY_HUB:
      why = "its hub refused this user (it serves another user)";
      break;
    default:
      return false;
  }
  std::fprintf(stderr, "%s: cannot use the bus at %s: %s\n", tool, pelmo::DefaultBusPath().c_str(),
               why);
  return true;
}

void report_drops(const char* tool, std::uint64_t local_drops) {
  const std::uint64_t backlog = bus_info(PM_INFO_DROPPED_BLOCKS);
  const std::uint64_t hub = bus_info(PM_INFO_HUB_DROPS);
  const std::uint64_t posts = bus_info(PM_INFO_DROPPED_POSTS);
  if (backlog == 0 && hub == 0 && posts == 0 && local_drops == 0) return;
  std::fprintf(stderr,
               "%s: dropped: %" PRIu64 " unfetched blocks, %" PRIu64 " blocks at the hub, %" PRIu64
               " posts",
               tool, backlog, hub, posts);
  if (local_drops != 0) std::fprintf(stderr, ", %" PRIu64 " notifications", local_drops);
  std::fputc('\n', stderr);
}

}  // namespace tools
