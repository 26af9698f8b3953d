// A module loader over in-process functions, so the binding can be driven without a library.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "bus/bus_binding.h"

namespace bus_test {

// The nine entry point names in binding order.
inline const std::vector<std::string> kEntryPoints = {
    "pmPostData", "pmRegister", "pmUnregister", "pmGetPublicVar", "pmSetPublicVar",
    "pmGetp",     "pmGetStr",   "pmSetStr",     "pmGetInfo"};

// The state behind FakeLoader(); each test starts from Fake() = {}.
struct FakeModule {
  std::map<std::string, void*> symbols;  // what symbol() finds
  std::set<std::string> absent;          // names symbol() reports missing
  std::vector<std::string> requested;    // names asked for, in order
  int opens = 0;
  int closes = 0;
  bool fail_open = false;
};

inline FakeModule& Fake() {
  static FakeModule fake;
  return fake;
}

inline const bus::ModuleLoader& FakeLoader() {
  static int token;  // the one module handle
  // No last_error: the binding must cope with a loader that gives no reason.
  static const bus::ModuleLoader loader{
      [](const char*) -> void* {
        if (Fake().fail_open) return nullptr;
        ++Fake().opens;
        return &token;
      },
      [](void* module, const char* name) -> void* {
        if (module != &token) return nullptr;
        Fake().requested.emplace_back(name);
        const auto it = Fake().symbols.find(name);
        return Fake().absent.count(name) == 0 && it != Fake().symbols.end() ? it->second : nullptr;
      },
      [](void* module) {
        if (module == &token) ++Fake().closes;
      },
      nullptr};
  return loader;
}

}  // namespace bus_test
