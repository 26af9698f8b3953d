/* A stand-in bus library that records every call, for the binding tests.
 * Built twice: complete, and with RECORDING_BUS_OMIT_GET_INFO lacking pmGetInfo. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "pelmo.h"

#define TEST_API __attribute__((visibility("default")))

static char g_log[8192];
static size_t g_used;
static unsigned char g_block[256];
static uint32_t g_block_size;
static int g_block_null = 1;

static void record(const char* format, ...) __attribute__((format(printf, 1, 2)));

static void record(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(g_log + g_used, sizeof g_log - g_used, format, args);
  va_end(args);
  if (n > 0) g_used += (size_t)n < sizeof g_log - g_used ? (size_t)n : sizeof g_log - g_used - 1;
}

/* The log of calls since the last reset, one call per line. */
TEST_API const char* test_call_log(void) { return g_log; }

TEST_API void test_reset(void) {
  g_log[0] = '\0';
  g_used = 0;
  g_block_null = 1;
  g_block_size = 0;
}

/* What pmGetp returns next; null data makes it return null (and write no count). */
TEST_API void test_set_block(const void* data, uint32_t size) {
  g_block_null = data == NULL;
  g_block_size = size <= sizeof g_block ? size : (uint32_t)sizeof g_block;
  if (data != NULL) memcpy(g_block, data, g_block_size);
}

PELMO_API int pmPostData(pm_window* window, uint32_t code, const void* data, uint32_t length) {
  record("pmPostData(%p,%08X,%u,", (void*)window, code, length);
  const unsigned char* bytes = data;
  for (uint32_t i = 0; bytes != NULL && i < length; ++i) record("%02X", bytes[i]);
  record(")\n");
  return 1;
}

PELMO_API int pmRegister(pm_window* window, uint32_t value, const char* name) {
  record("pmRegister(%p,%u,%s)\n", (void*)window, value, name != NULL ? name : "(null)");
  return 1;
}

PELMO_API int pmUnregister(pm_window* window) {
  record("pmUnregister(%p)\n", (void*)window);
  return 1;
}

PELMO_API int pmGetPublicVar(const char* name, int32_t* value) {
  (void)value;
  record("pmGetPublicVar(%s)\n", name);
  return 0;
}

PELMO_API int pmSetPublicVar(const char* name, int32_t value) {
  record("pmSetPublicVar(%s,%d)\n", name, (int)value);
  return 0;
}

PELMO_API const void* pmGetp(uint32_t handle, uint32_t* byte_count) {
  record("pmGetp(%u)\n", handle);
  if (g_block_null) return NULL;
  if (byte_count != NULL) *byte_count = g_block_size;
  return g_block;
}

PELMO_API int pmGetStr(const char* name, char* buffer, uint32_t buffer_size) {
  (void)buffer;
  record("pmGetStr(%s,%u)\n", name, buffer_size);
  return 0;
}

PELMO_API int pmSetStr(const char* name, const char* value) {
  record("pmSetStr(%s,%s)\n", name, value);
  return 0;
}

#ifndef RECORDING_BUS_OMIT_GET_INFO
PELMO_API int pmGetInfo(uint32_t key, uint64_t* value) {
  record("pmGetInfo(%u)\n", key);
  if (value != NULL) *value = 0;
  return 1;
}
#endif
