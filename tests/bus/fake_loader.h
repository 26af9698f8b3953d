// A module loader over in-process functions, so the binding can be driven without a library.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "bus/bus_binding.h"

namespace bus_test {

// The state behind FakeLoader(); reset by each test through Reset().
struct FakeModule {
  std::map<std::string, void*> symbols;  // what symbol() finds
  std::set<std::string> absent;          // names symbol() reports missing
  std::vector<std::string> requested;    // names asked for, in order
  int opens = 0;
  int closes = 0;
  bool fail_open = false;
  void Reset();
};

FakeModule& Fake();
const bus::ModuleLoader& FakeLoader();

// The nine entry point names in binding order.
extern const std::vector<std::string> kEntryPoints;

}  // namespace bus_test
