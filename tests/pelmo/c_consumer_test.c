/* A consumer of the public header compiled as C: registers, posts, fetches and reads the
 * figures through the plain C interface. Runs against a bus path with no hub behind it. */
#include <stdio.h>
#include <string.h>

#include "pelmo.h"

static int failures = 0;

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                \
    }                                                            \
  } while (0)

static void on_post(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  (void)context;
  (void)message;
  (void)wparam;
  (void)lparam;
}

int main(void) {
  pm_window window = {on_post, NULL};
  unsigned char record[16];
  uint64_t value = 99;
  uint32_t count = 7;
  int32_t var = 0;
  char text[16];
  memset(record, 0x11, sizeof record);

  CHECK(pmRegister(&window, 1024u, "zelk_test") == 1);
  CHECK(pmRegister(&window, 1024u, "zelk_test") == 0);
  CHECK(pmGetInfo(PM_INFO_REGISTERED, &value) == 1 && value == 1);
  CHECK(pmGetInfo(PM_INFO_CONNECTED, &value) == 1 && value == 0);
  CHECK(pmPostData(&window, PM_CODE_POSTED | PM_CODE_ROUTE | PM_KIND_FRAMES, record,
                   sizeof record) == 1);
  CHECK(pmGetInfo(PM_INFO_QUEUED_POSTS, &value) == 1 && value == 1); /* waits for a hub */
  CHECK(pmGetp(12345u, &count) == NULL && count == 0);
  CHECK(pmGetPublicVar("speed", &var) == 0); /* no hub: fails rather than blocks forever */
  CHECK(pmSetPublicVar("speed", 1) == 0);
  CHECK(pmGetStr("port", text, sizeof text) == 0);
  CHECK(pmSetStr("port", "can0") == 0);
  CHECK(pmUnregister(&window) == 1);
  CHECK(pmUnregister(&window) == 0);
  CHECK(pmGetInfo(PM_INFO_REGISTERED, &value) == 1 && value == 0);
  CHECK(pmGetInfo(PM_INFO_QUEUED_POSTS, &value) == 1 && value == 0); /* discarded offline */
  if (failures == 0) printf("c consumer: ok\n");
  return failures == 0 ? 0 : 1;
}
