// The process-wide client side of the bus behind the nine entry points.
#pragma once

#include <cstdint>

#include "pelmo.h"

namespace pelmo {

int ClientRegister(pm_window* window, std::uint32_t value, const char* name);
int ClientUnregister(pm_window* window);
int ClientPost(pm_window* window, std::uint32_t code, const void* data, std::uint32_t length);
const void* ClientFetch(std::uint32_t handle, std::uint32_t* byte_count);
int ClientGetVar(const char* name, std::int32_t* value);
int ClientSetVar(const char* name, std::int32_t value);
int ClientGetStr(const char* name, char* buffer, std::uint32_t buffer_size);
int ClientSetStr(const char* name, const char* value);
int ClientGetInfo(std::uint32_t key, std::uint64_t* value);

}  // namespace pelmo
