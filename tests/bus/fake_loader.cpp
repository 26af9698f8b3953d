#include "tests/bus/fake_loader.h"

namespace bus_test {
namespace {

int g_module_token;

void* fake_open(const char*) {
  FakeModule& fake = Fake();
  if (fake.fail_open) return nullptr;
  ++fake.opens;
  return &g_module_token;
}

void* fake_symbol(void* module, const char* name) {
  FakeModule& fake = Fake();
  if (module != &g_module_token) return nullptr;
  fake.requested.emplace_back(name);
  if (fake.absent.count(name) != 0) return nullptr;
  const auto it = fake.symbols.find(name);
  return it != fake.symbols.end() ? it->second : nullptr;
}

void fake_close(void* module) {
  if (module == &g_module_token) ++Fake().closes;
}

}  // namespace

const std::vector<std::string> kEntryPoints = {"pmPostData",     "pmRegister",     "pmUnregister",
                                               "pmGetPublicVar", "pmSetPublicVar", "pmGetp",
                                               "pmGetStr",       "pmSetStr",       "pmGetInfo"};

void FakeModule::Reset() { *this = FakeModule{}; }

FakeModule& Fake() {
  static FakeModule fake;
  return fake;
}

const bus::ModuleLoader& FakeLoader() {
  // No last_error: the binding must cope with a loader that gives no reason.
  static const bus::ModuleLoader loader{fake_open, fake_symbol, fake_close, nullptr};
  return loader;
}

}  // namespace bus_test
