/* zrv.h: the C interface of the ZRV control library (libzrv.so), for hosts in any language.
 *
 * A host creates a control by its programmatic name, calls its members late-bound by their
 * dispatch numbers with variant arguments, and releases it:
 *
 *   zrv_object* io;
 *   int32_t a2d;
 *   if (zrv_create(ZRV_PROGID, &io) != 0) { puts(zrv_error_text(NULL)); return; }
 *   zrv_variant port = {ZRV_VT_I2, {.i2 = 3}}, on = {ZRV_VT_BOOL, {.boolval = ZRV_TRUE}};
 *   zrv_variant pin = {ZRV_VT_I4, {.i4 = 0}}, result;
 *   zrv_get_dispid("a2d", &a2d);
 *   if (zrv_invoke(io, 0x68030008, ZRV_PROPERTYPUT, &port, 1, NULL) != 0 ||  // CommPort = 3
 *       zrv_invoke(io, 0x68030003, ZRV_PROPERTYPUT, &on, 1, NULL) != 0 ||    // portopen = True
 *       zrv_invoke(io, a2d, ZRV_METHOD, &pin, 1, &result) != 0)              // a2d(0)
 *     fprintf(stderr, "error %d: %s\n", zrv_error_number(io), zrv_error_text(io));
 *   zrv_release(io);
 *
 * Members, numbers, arguments and errors are those of the control's dispatch interface
 * (zrvctl --help lists them). Calls return 0 or the automation error number (68 device
 * unavailable, 438 no such member, 450 wrong number of arguments, 13 type mismatch, ...);
 * zrv_error_text then says what went wrong.
 *
 * Memory: nothing allocated on one side is freed on the other. Texts the library returns
 * belong to it: error texts stay valid until the next call on the same object (or, for
 * calls without an object, the next such call on the same thread); member names and help
 * texts for as long as the library is loaded. Strings passed in are read during the call.
 *
 * Threads: an object is used by one thread at a time; different objects may be used on
 * different threads. No Qt application object is needed. The one exception is zrv_abandon,
 * which another thread (or a signal handler) calls to end a call that waits for the board.
 */
#ifndef ZRV_H
#define ZRV_H

#include <stddef.h>
#include <stdint.h>

#if defined(ZRV_BUILDING_LIBRARY)
#define ZRV_API __attribute__((visibility("default")))
#else
#define ZRV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The programmatic name of the control class. */
#define ZRV_PROGID "CorvaneZRV.ZRVIO"

/* Kinds of call: a method is called, and a property read, with ZRV_METHOD, ZRV_PROPERTYGET
 * or both; a property is assigned with ZRV_PROPERTYPUT, the value as the last argument. */
#define ZRV_METHOD 1u
#define ZRV_PROPERTYGET 2u
#define ZRV_PROPERTYPUT 4u

/* Variant types. A type or'ed with ZRV_VT_BYREF passes a pointer to the caller's value,
 * which the library reads and never writes. */
#define ZRV_VT_EMPTY 0
#define ZRV_VT_I2 2   /* 16-bit integer */
#define ZRV_VT_I4 3   /* 32-bit integer */
#define ZRV_VT_R8 5   /* double */
#define ZRV_VT_DATE 7 /* day count from 1899-12-30, as a double */
#define ZRV_VT_STR 8  /* UTF-8 text, NUL-terminated */
#define ZRV_VT_MISSING 10
#define ZRV_VT_BOOL 11 /* ZRV_TRUE or ZRV_FALSE */
#define ZRV_VT_BYREF 0x4000

#define ZRV_TRUE ((int16_t)-1)
#define ZRV_FALSE ((int16_t)0)

typedef struct zrv_variant {
  uint16_t vt;
  union {
    int16_t i2;
    int32_t i4;
    double r8;
    double date;
    int16_t boolval;
    const char* str;
    const int16_t* pi2; /* ZRV_VT_BYREF | ZRV_VT_I2, and | ZRV_VT_BOOL */
    const int32_t* pi4;
    const double* pr8; /* ZRV_VT_BYREF | ZRV_VT_R8, and | ZRV_VT_DATE */
    const char* const* pstr;
  } v;
} zrv_variant;

/* A control. */
typedef struct zrv_object zrv_object;

/* What a host offers the control; every member may be NULL. */
typedef struct zrv_host {
  void* context; /* passed to the functions below */
  /* Non-zero while the host lays out its form (run-time properties refuse to be set). */
  int (*design_mode)(void* context);
  /* Lets the host run its pending events while a command waits for the board. It may call
   * zrv_invoke on the same object (the control keeps commands from interleaving) but must
   * not release it. */
  void (*process_events)(void* context);
  /* A property has changed (its member name, e.g. "CommPort"). */
  void (*property_changed)(void* context, const char* name);
} zrv_host;

/* A member of the control, as zrv_member_info describes it. */
typedef struct zrv_member {
  int32_t dispid;
  const char* name;
  unsigned kinds;   /* ZRV_METHOD, or ZRV_PROPERTYGET and/or ZRV_PROPERTYPUT */
  unsigned params;  /* arguments of a method, index arguments of a property */
  const char* help; /* the member's help text */
} zrv_member;

/* Creates a control (port COM1, closed) for a programmatic name; 429 for unknown names.
 * Returns 0 and sets *object, or an error number (text: zrv_error_text(NULL)). */
ZRV_API int zrv_create(const char* progid, zrv_object** object);

/* Closes the control's port (sending nothing) and frees it. NULL is ignored. */
ZRV_API void zrv_release(zrv_object* object);

/* Makes the control use a host's services (copied); NULL restores the defaults: run time,
 * no notices, and Qt's events processed while a command waits only when the process has a
 * Qt application object. Returns 0, or 5 for a NULL object. */
ZRV_API int zrv_set_host(zrv_object* object, const zrv_host* host);

/* Calls member `dispid` as `kind` with argc arguments in declaration order. The result
 * (ZRV_VT_EMPTY for none) goes to *result when result is not NULL. Returns 0 or an error
 * number (text: zrv_error_text(object)); *result is ZRV_VT_EMPTY then. */
ZRV_API int zrv_invoke(zrv_object* object, int32_t dispid, unsigned kind, const zrv_variant* args,
                       size_t argc, zrv_variant* result);

/* The error number and text of the last call on an object that failed, or of the last
 * failed call without an object (create, name lookup) on this thread when object is NULL;
 * 0 and "" after a call that succeeded. */
ZRV_API int zrv_error_number(const zrv_object* object);
ZRV_API const char* zrv_error_text(const zrv_object* object);
/* 1 when that error happened because a wait ran out of time (68 when the board did not become
 * ready, 8020 when a write stalled), else 0. */
ZRV_API int zrv_error_timed_out(const zrv_object* object);
/* Copies the error text into a caller's buffer (truncated, always NUL-terminated when size
 * is not 0); returns the length of the whole text. */
ZRV_API size_t zrv_copy_error_text(const zrv_object* object, char* buffer, size_t size);

/* Abandons the object's wait for the board: a call under way on another thread that waits for
 * a reply or for the board to become ready fails with 18 (user interrupt) within about 50 ms,
 * or, when none waits, the next wait does. zrv_abandon(object, 0) withdraws a request that no
 * wait has taken up. Safe from any thread and from a signal handler (it only sets a flag).
 * Returns 0, or 5 for a NULL object. */
ZRV_API int zrv_abandon(zrv_object* object, int abandon);

/* Maps COM<comm_port> to a device for this process only: "sim" for the simulated board, or a
 * device path such as /dev/ttyUSB0; NULL or "" removes the mapping. Such mappings win over
 * the per-user port map, which is not written, and apply from the next opening of a port.
 * Returns 0, or 8002 for a number outside 1-255 (text: zrv_error_text(NULL)). */
ZRV_API int zrv_map_port(int16_t comm_port, const char* device);

/* The dispatch number of a member name (case-insensitive): 0, or 438 when there is none. */
ZRV_API int zrv_get_dispid(const char* name, int32_t* dispid);

/* The members in declaration order: their number, and each one's description (0, or 9 for
 * an index past the end). */
ZRV_API size_t zrv_member_count(void);
ZRV_API int zrv_member_info(size_t index, zrv_member* member);

#ifdef __cplusplus
}
#endif

#endif /* ZRV_H */
