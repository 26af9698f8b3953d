// The process-wide binding table and the wrappers around the four entry points in use.
//
// Threads: everything here runs on the owner's thread; the table has no lock.
#include "bus/bus_binding.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

namespace bus {
namespace {

BusTable g_table;
std::string g_load_error;
// The loader that opened the held module, so that the same one releases it.
ModuleLoader g_loader{};

// The directory of the running program, with a trailing '/', or "" when unknown.
std::string program_directory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return {};
  std::string dir(path, static_cast<std::size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1);
}

// A bare name goes through the usual search (LD_LIBRARY_PATH, the program's RUNPATH, the
// system). The sanitizers' dlopen interceptor makes their runtime the caller, whose missing
// RUNPATH hides the copy beside the program; that copy is then tried by its full path.
void* system_open(const char* name) {
  void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (module != nullptr || std::strchr(name, '/') != nullptr) return module;
  const std::string dir = program_directory();
  if (dir.empty()) return nullptr;
  const std::string beside = dir + name;
  if (access(beside.c_str(), F_OK) != 0) return nullptr;  // keeps the first dlerror() reason
  return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* system_symbol(void* module, const char* name) { return dlsym(module, name); }
void system_close(void* module) { dlclose(module); }
const char* system_last_error() { return dlerror(); }

// Resolves one name into its slot; false (with the reason recorded) when it is missing.
template <typename Fn>
bool resolve(const ModuleLoader& loader, void* module, const char* library, const char* name,
             Fn& slot) {
  void* address = loader.symbol(module, name);
  if (address == nullptr) {
    g_load_error = std::string("missing entry point ") + name + " in " + library;
    return false;
  }
  slot = reinterpret_cast<Fn>(address);
  return true;
}

}  // namespace

const ModuleLoader& SystemLoader() {
  static const ModuleLoader loader{system_open, system_symbol, system_close, system_last_error};
  return loader;
}

const BusTable& Binding() { return g_table; }

bool IsBound() { return g_table.module != nullptr; }

bool LoadBus() { return LoadBusFrom(kBusLibraryName, SystemLoader()); }

bool LoadBusFrom(const char* name, const ModuleLoader& loader) {
  UnloadBus();
  g_load_error.clear();
  if (name == nullptr || *name == '\0') {
    g_load_error = "no bus library name given";
    return false;
  }
  if (loader.last_error != nullptr) loader.last_error();  // drop any stale reason
  void* module = loader.open(name);
  if (module == nullptr) {
    const char* reason = loader.last_error != nullptr ? loader.last_error() : nullptr;
    g_load_error = reason != nullptr ? reason : std::string("cannot load ") + name;
    return false;
  }
  g_table.module = module;
  g_loader = loader;
  // Resolved in this order, stopping at the first missing name.
  const bool complete = resolve(loader, module, name, "pmPostData", g_table.pmPostData) &&
                        resolve(loader, module, name, "pmRegister", g_table.pmRegister) &&
                        resolve(loader, module, name, "pmUnregister", g_table.pmUnregister) &&
                        resolve(loader, module, name, "pmGetPublicVar", g_table.pmGetPublicVar) &&
                        resolve(loader, module, name, "pmSetPublicVar", g_table.pmSetPublicVar) &&
                        resolve(loader, module, name, "pmGetp", g_table.pmGetp) &&
                        resolve(loader, module, name, "pmGetStr", g_table.pmGetStr) &&
                        resolve(loader, module, name, "pmSetStr", g_table.pmSetStr) &&
                        resolve(loader, module, name, "pmGetInfo", g_table.pmGetInfo);
  if (!complete) {
    const std::string reason = g_load_error;
    UnloadBus();
    g_load_error = reason;
    return false;
  }
  return true;
}

const std::string& LoadError() { return g_load_error; }

bool UnloadBus() {
  if (g_table.module != nullptr) {
    void* module = g_table.module;
    const ModuleLoader loader = g_loader;
    g_table = BusTable{};  // every slot cleared before the code behind them goes away
    g_loader = ModuleLoader{};
    if (loader.close != nullptr) loader.close(module);
  }
  return true;
}

bool Register(pm_window* window, std::uint32_t value, const char* name) {
  if (g_table.pmRegister == nullptr) return false;
  g_table.pmRegister(window, value, name);
  return true;
}

void Unregister(pm_window* window) {
  if (g_table.pmUnregister != nullptr) g_table.pmUnregister(window);
}

void Post(pm_window* window, std::uint32_t kind, const void* data, std::uint32_t length) {
  if (g_table.pmPostData != nullptr) {
    g_table.pmPostData(window, kPostCodeBase | (kind & kKindMask), data, length);
  }
}

const void* Fetch(std::uint32_t handle, std::uint32_t* byte_count) {
  if (g_table.pmGetp == nullptr) return nullptr;
  return g_table.pmGetp(handle, byte_count);
}

}  // namespace bus
