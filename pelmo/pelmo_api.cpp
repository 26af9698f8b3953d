// The library's nine exported entry points; everything else in libpelmo.so is hidden.
#include "pelmo.h"
#include "pelmo/bus_client.h"

extern "C" {

PELMO_API int pmRegister(pm_window* window, uint32_t value, const char* name) {
  return pelmo::ClientRegister(window, value, name);
}

PELMO_API int pmUnregister(pm_window* window) { return pelmo::ClientUnregister(window); }

PELMO_API int pmPostData(pm_window* window, uint32_t code, const void* data, uint32_t length) {
  return pelmo::ClientPost(window, code, data, length);
}

PELMO_API const void* pmGetp(uint32_t handle, uint32_t* byte_count) {
  return pelmo::ClientFetch(handle, byte_count);
}

PELMO_API int pmGetPublicVar(const char* name, int32_t* value) {
  return pelmo::ClientGetVar(name, value);
}

PELMO_API int pmSetPublicVar(const char* name, int32_t value) {
  return pelmo::ClientSetVar(name, value);
}

PELMO_API int pmGetStr(const char* name, char* buffer, uint32_t buffer_size) {
  return pelmo::ClientGetStr(name, buffer, buffer_size);
}

PELMO_API int pmSetStr(const char* name, const char* value) {
  return pelmo::ClientSetStr(name, value);
}

PELMO_API int pmGetInfo(uint32_t key, uint64_t* value) { return pelmo::ClientGetInfo(key, value); }

}  // extern "C"
