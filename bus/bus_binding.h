// The process-wide binding of the bus library, loaded by name at run time.
//
// Either all nine entry points are bound or none is. While unbound every wrapper is a silent
// no-op returning 0, false or null, so a monitor without its bus still runs.
//
// Threads: load, unload and the wrappers run on the owner's thread (the window's, or a tool's
// main thread). The table has no lock.
#pragma once

#include <cstdint>
#include <string>

#include "pelmo.h"

namespace bus {

inline constexpr const char* kBusLibraryName = "libpelmo.so";
inline constexpr std::uint32_t WM_BUS_NOTIFY = PM_WM_BUS_NOTIFY;

// Code word bits.
inline constexpr std::uint32_t kKindMask = 0xFF;
inline constexpr std::uint32_t kKindFrames = PM_KIND_FRAMES;                    // 0x12
inline constexpr std::uint32_t kCodeRoute = PM_CODE_ROUTE;                      // bit 10
inline constexpr std::uint32_t kCodeDelivered = PM_CODE_DELIVERED;              // bit 28
inline constexpr std::uint32_t kCodePosted = PM_CODE_POSTED;                    // bit 29
inline constexpr std::uint32_t kPostCodeBase = kCodePosted | kCodeRoute;        // 0x20000400
inline constexpr std::uint32_t kMonitorPostCode = kPostCodeBase | kKindFrames;  // 0x20000412
inline constexpr std::uint32_t kBridgeDeliveryCode =
    kCodeDelivered | kCodeRoute | kKindFrames;  // 0x10000412
inline constexpr std::uint32_t kRegisterValue = 1024;
inline constexpr const char* kRegisterName = "zelk_test";

// The loading seam: dlopen/dlsym/dlclose here; LoadLibrary/GetProcAddress could stand behind it.
struct ModuleLoader {
  void* (*open)(const char* name);                  // null on failure
  void* (*symbol)(void* module, const char* name);  // null when missing
  void (*close)(void* module);
  const char* (*last_error)();  // the loader's reason, or null
};
const ModuleLoader& SystemLoader();

// The nine slots, filled in this order.
struct BusTable {
  void* module = nullptr;
  pmPostData_fn pmPostData = nullptr;
  pmRegister_fn pmRegister = nullptr;
  pmUnregister_fn pmUnregister = nullptr;
  pmGetPublicVar_fn pmGetPublicVar = nullptr;
  pmSetPublicVar_fn pmSetPublicVar = nullptr;
  pmGetp_fn pmGetp = nullptr;
  pmGetStr_fn pmGetStr = nullptr;
  pmSetStr_fn pmSetStr = nullptr;
  pmGetInfo_fn pmGetInfo = nullptr;
};
const BusTable& Binding();  // read-only view of the process-wide table
bool IsBound();

// Unloads, then opens kBusLibraryName and resolves the nine names; all or nothing.
bool LoadBus();
// The same with another library name or path and loader (tests, tools).
bool LoadBusFrom(const char* name, const ModuleLoader& loader = SystemLoader());
// Why the last LoadBus failed ("" after a success).
const std::string& LoadError();
// Clears the slots and releases the module if one is held. Always true.
bool UnloadBus();

bool Register(pm_window* window, std::uint32_t value, const char* name);
void Unregister(pm_window* window);
void Post(pm_window* window, std::uint32_t kind, const void* data, std::uint32_t length);
const void* Fetch(std::uint32_t handle, std::uint32_t* byte_count);

}  // namespace bus
