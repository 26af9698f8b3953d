// pelmo_hub: serves the bus in the foreground until SIGINT or SIGTERM.
//
// Threads: the main thread waits for a signal; the Hub's own thread does all socket work.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hub/hub.h"

namespace {

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: pelmo_hub [--bus PATH]\n"
               "Serves the pelmo bus at PATH (default: $PELMO_BUS, else "
               "$XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-<uid>/bus).\n");
}

}  // namespace

int main(int argc, char** argv) {
  pelmo::HubOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--bus") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "pelmo_hub: --bus needs a path\n");
        return 2;
      }
      options.path = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "pelmo_hub: unknown option '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  // Block the signals before the hub thread starts so only sigwait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  pelmo::Hub hub(options);
  std::string error;
  switch (hub.Start(&error)) {
    case pelmo::HubStart::kStarted:
      break;
    case pelmo::HubStart::kAlreadyServed:
      std::printf("pelmo_hub: a hub already serves %s\n", hub.Path().c_str());
      return 0;
    case pelmo::HubStart::kFailed:
      std::fprintf(stderr, "pelmo_hub: %s\n", error.c_str());
      return 1;
  }
  std::printf("pelmo_hub: serving %s\n", hub.Path().c_str());
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&signals, &signal_number);
  hub.Stop();
  const pelmo::HubStats stats = hub.Stats();
  std::printf("pelmo_hub: stopped (%s); routed %llu, dropped %llu, bad messages %llu\n",
              strsignal(signal_number), static_cast<unsigned long long>(stats.blocks_routed),
              static_cast<unsigned long long>(stats.blocks_dropped),
              static_cast<unsigned long long>(stats.bad_messages));
  return 0;
}
