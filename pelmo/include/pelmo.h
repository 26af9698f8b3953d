/* pelmo: the message bus through which the monitor, the companion and the tools exchange
 * blocks of data (frame records, 16 bytes each).
 *
 * A client supplies a window: a post function that must be thread-safe and must not block,
 * the way a window's message queue accepts a posted message. The library calls it from its
 * own I/O thread with PM_WM_BUS_NOTIFY, the block's code word in wparam and the block handle
 * in the low 32 bits of lparam. The client then fetches the block with pmGetp on its own
 * thread.
 *
 * The bus is reached at $PELMO_BUS, else $XDG_RUNTIME_DIR/pelmo/bus, else /tmp/pelmo-<uid>/bus.
 *
 * Code word: bits 0..7 data kind (0x12 frame records); bits 8..15 route the block to clients
 * whose registration value shares a bit with them (0x400 with value 1024); bit 28 marks a
 * delivery from a CAN bridge, bit 29 a block posted by a monitor.
 *
 * Routing: a posted block goes to every other client whose value shares a route bit, except
 * that on a bus hosted by the companion a monitor's frames for the CAN bus (bit 29 set, bit 28
 * clear: 0x20000412) go to the companion alone, which delivers their echo (0x10000412) to
 * every client, the poster included. On a hub without a host (pelmo_hub) they are routed to
 * the other clients, where a client acting as the bridge picks them up.
 *
 * This header is plain C so that any language with a C FFI can use the bus. */
#ifndef PELMO_H
#define PELMO_H

#include <stdint.h>

#if defined(_WIN32)
#define PELMO_API __declspec(dllexport)
#else
#define PELMO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define PM_WM_BUS_NOTIFY 0x475u

#define PM_KIND_FRAMES 0x12u
#define PM_CODE_ROUTE 0x400u
#define PM_CODE_DELIVERED 0x10000000u /* a delivery from a CAN bridge: routed to clients */
#define PM_CODE_POSTED 0x20000000u    /* a monitor's frames for the CAN bus (see Routing) */

/* Most bytes one block may carry. */
#define PM_MAX_BLOCK 65536u
/* Longest registration name, variable name or string value (bytes, without the NUL). */
#define PM_MAX_NAME 63u
#define PM_MAX_STR 255u

/* Called by the library's I/O thread. Must be thread-safe and must not block. */
typedef void (*pm_post_fn)(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);

/* A client's window. The struct's address identifies the client; it must stay valid from
 * pmRegister until pmUnregister has returned. */
typedef struct pm_window {
  pm_post_fn post;
  void* context;
} pm_window;

/* Keys for pmGetInfo. */
enum pm_info_key {
  PM_INFO_CONNECTED = 1,     /* 1 while connected to a hub, else 0 */
  PM_INFO_CLIENTS = 2,       /* clients registered on the bus (as last reported by the hub) */
  PM_INFO_DROPPED_POSTS = 3, /* posts refused because the window's queue was full: each is a
                                pmPostData call that returned 0 and queued nothing, so a
                                producer that retries them loses nothing */
  PM_INFO_DROPPED_BLOCKS =
      4,                     /* delivered blocks dropped from the unfetched backlog, oldest first */
  PM_INFO_HUB_DROPS = 5,     /* blocks the hub dropped for this process's clients (slow reader) */
  PM_INFO_REGISTERED = 6,    /* windows registered by this process */
  PM_INFO_QUEUED_POSTS = 7,  /* posts accepted and not yet written to the hub's socket, over all
                                windows of this process (each window holds at most 4096) */
  PM_INFO_OFFLINE_REASON = 8 /* why a registered window is not on the bus: a pm_offline_reason,
                                PM_OFFLINE_NONE once the hub has accepted every registered window */
};

/* Values of PM_INFO_OFFLINE_REASON, from the least to the most telling; with several windows
 * offline the highest is reported. The library keeps retrying in every case (a hub may appear
 * or be replaced at any time); a program that cannot wait takes the last three as a refusal. */
enum pm_offline_reason {
  PM_OFFLINE_NONE = 0,              /* on the bus (or no window registered) */
  PM_OFFLINE_CONNECTING = 1,        /* no answer yet: connecting, or reconnecting after the hub
                                       went away */
  PM_OFFLINE_NO_HUB = 2,            /* nothing serves the bus address (no socket file, or a stale
                                       one: ENOENT, ECONNREFUSED) */
  PM_OFFLINE_ERROR = 3,             /* the address cannot be connected to for another reason (not a
                                       socket, too long, out of resources) */
  PM_OFFLINE_NOT_PERMITTED = 4,     /* connecting was refused for permissions (EACCES, EPERM): the
                                       bus folder or socket belongs to another user */
  PM_OFFLINE_HUB_OF_OTHER_USER = 5, /* the hub's process runs as another user, not root
                                       (SO_PEERCRED): the library does not trust it and hangs up */
  PM_OFFLINE_REFUSED_BY_HUB = 6     /* the hub refused this process's user */
};

/* Registers a window with its routing value and a name (at most PM_MAX_NAME bytes; a longer
 * name is cut to that length).
 * Succeeds (returns 1) even before a hub exists: the library connects, and reconnects,
 * by itself. It talks only to a hub run by the same user or by root (checked with SO_PEERCRED
 * on every connection); PM_INFO_OFFLINE_REASON tells why a window is not on the bus.
 * Returns 0 for a null window or post function, or a window already registered. */
PELMO_API int pmRegister(pm_window* window, uint32_t value, const char* name);

/* Unregisters a window. Posts still queued for a connected window are first written to the
 * hub's socket, waiting at most 250 ms so that closing a window never hangs on a stalled hub;
 * posts still queued after that (or while offline) are discarded, so a producer that must not
 * lose them waits for PM_INFO_QUEUED_POSTS to reach 0 first. After the last registered window
 * of the process is unregistered, the library calls no post function again and no library
 * thread is running. Returns 1 if the window was registered, else 0. */
PELMO_API int pmUnregister(pm_window* window);

/* Posts one block from a registered window. Never waits, connected or not: like posting a
 * window message, it queues a copy of the data for the library's I/O thread and returns.
 * Returns 1 when the block was queued for the hub. Returns 0, queuing nothing, when it was
 * refused: a bad argument (unregistered window, null data with a nonzero length, length over
 * PM_MAX_BLOCK), or the window's queue already holds 4096 posts not yet written to the hub
 * (offline, or a hub that is not reading fast enough). Only that last refusal is counted in
 * PM_INFO_DROPPED_POSTS. A producer that must not lose blocks retries a refused post after a
 * short pause (a millisecond or so), under a deadline of its own; PM_INFO_QUEUED_POSTS shows how
 * much is still waiting. */
PELMO_API int pmPostData(pm_window* window, uint32_t code, const void* data, uint32_t length);

/* Fetches a delivered block by its handle. Returns its bytes and writes their count, or
 * returns NULL (count 0) for an unknown or dropped handle. The pointer stays readable at
 * least until the next pmGetp call from any thread. byte_count may be NULL. */
PELMO_API const void* pmGetp(uint32_t handle, uint32_t* byte_count);

/* Bus-wide named integer variables kept by the hub. Get returns 1 and writes *value when the
 * variable exists; 0 when it does not, when the hub cannot be reached within a second, or on
 * a bad argument. Set returns 1 when the hub stored the value. */
PELMO_API int pmGetPublicVar(const char* name, int32_t* value);
PELMO_API int pmSetPublicVar(const char* name, int32_t value);

/* Bus-wide named strings kept by the hub (values up to PM_MAX_STR bytes). Get copies the
 * value, NUL-terminated and truncated to buffer_size - 1, and returns the value's full length
 * plus 1 (so a result above buffer_size means it was truncated); 0 when the string does not
 * exist or the hub cannot be reached. Set returns 1 when the hub stored the value. */
PELMO_API int pmGetStr(const char* name, char* buffer, uint32_t buffer_size);
PELMO_API int pmSetStr(const char* name, const char* value);

/* Reads one of the pm_info_key figures into *value. Returns 1, or 0 for an unknown key or a
 * null value. Never blocks on the hub. */
PELMO_API int pmGetInfo(uint32_t key, uint64_t* value);

/* Function types, for binding the library at run time. */
typedef int (*pmPostData_fn)(pm_window*, uint32_t, const void*, uint32_t);
typedef int (*pmRegister_fn)(pm_window*, uint32_t, const char*);
typedef int (*pmUnregister_fn)(pm_window*);
typedef int (*pmGetPublicVar_fn)(const char*, int32_t*);
typedef int (*pmSetPublicVar_fn)(const char*, int32_t);
typedef const void* (*pmGetp_fn)(uint32_t, uint32_t*);
typedef int (*pmGetStr_fn)(const char*, char*, uint32_t);
typedef int (*pmSetStr_fn)(const char*, const char*);
typedef int (*pmGetInfo_fn)(uint32_t, uint64_t*);

#ifdef __cplusplus
}
#endif

#endif /* PELMO_H */
