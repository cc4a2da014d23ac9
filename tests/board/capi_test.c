/* The C interface of libzrv from a C program without Qt: creation by name, calls by dispatch
 * number against the simulated board, errors with their texts, the host's services, and a
 * real pseudo-terminal served by zrvsim, opened without a word on stderr. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/zrv.h"

static int failures = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* A call that must succeed; reports the library's error when it does not. */
#define OK(call)                                                                       \
  do {                                                                                 \
    int n_ = (call);                                                                   \
    if (n_ != 0) {                                                                     \
      fprintf(stderr, "%s:%d: %s failed with %d: %s\n", __FILE__, __LINE__, #call, n_, \
              zrv_error_text(io));                                                     \
      ++failures;                                                                      \
    }                                                                                  \
  } while (0)

enum {
  kCommPort = 0x68030008,
  kTris = 0x68030007,
  kPins = 0x68030006,
  kEeprom = 0x68030005,
  kOk = 0x60030012,
  kLed = 0x68030004,
  kA2d = 0x60030013,
  kInp = 0x60030017,
  kRctime = 0x6003001D,
  kPortopen = 0x68030003,
  kCounter = 0x68030002,
  kSetcounter = 0x60030022,
  kErrflag = 0x68030000,
  kA2dconf = 0x60030034,
};

static zrv_variant i2(int16_t v) {
  zrv_variant r = {ZRV_VT_I2, {.i2 = v}};
  return r;
}
static zrv_variant i4(int32_t v) {
  zrv_variant r = {ZRV_VT_I4, {.i4 = v}};
  return r;
}
static zrv_variant boolean(int v) {
  zrv_variant r = {ZRV_VT_BOOL, {.boolval = v ? ZRV_TRUE : ZRV_FALSE}};
  return r;
}
static zrv_variant text(const char* v) {
  zrv_variant r = {ZRV_VT_STR, {.str = v}};
  return r;
}

static int put(zrv_object* io, int32_t dispid, zrv_variant value) {
  return zrv_invoke(io, dispid, ZRV_PROPERTYPUT, &value, 1, NULL);
}

/* Reads a property or calls a method without arguments; the result must be of type vt. */
static int32_t get(zrv_object* io, int32_t dispid, uint16_t vt) {
  zrv_variant r;
  int n = zrv_invoke(io, dispid, ZRV_METHOD | ZRV_PROPERTYGET, NULL, 0, &r);
  if (n != 0) {
    fprintf(stderr, "get %08X failed with %d: %s\n", (unsigned)dispid, n, zrv_error_text(io));
    ++failures;
    return 0;
  }
  CHECK(r.vt == vt);
  return vt == ZRV_VT_I2 ? r.v.i2 : vt == ZRV_VT_BOOL ? r.v.boolval : r.v.i4;
}

static void writeFile(const char* path, const char* content) {
  FILE* f = fopen(path, "w");
  CHECK(f != NULL);
  if (!f) return;
  fputs(content, f);
  fclose(f);
}

static char configDir[256];

/* A private port map: COM4 is the simulated board, COM5 (when given) a device. */
static void writePortMap(const char* com5) {
  char path[512], content[512];
  snprintf(path, sizeof path, "%s/Corvane", configDir);
  mkdir(path, 0700);
  snprintf(path, sizeof path, "%s/Corvane/ZRV.conf", configDir);
  snprintf(content, sizeof content, "[Ports]\nCOM4=sim\n%s%s%s", com5 ? "COM5=" : "",
           com5 ? com5 : "", com5 ? "\n" : "");
  writeFile(path, content);
}

static void testCreation(void) {
  zrv_object* io = (zrv_object*)1;
  CHECK(zrv_create("CorvaneZRV.Other", &io) == 429);
  CHECK(io == NULL);
  CHECK(zrv_error_number(NULL) == 429);
  CHECK(strstr(zrv_error_text(NULL), "CorvaneZRV.Other") != NULL);
  CHECK(zrv_create(NULL, &io) == 429);
  CHECK(zrv_create(ZRV_PROGID, &io) == 0);
  CHECK(io != NULL);
  CHECK(zrv_error_number(NULL) == 0);
  CHECK(strcmp(zrv_error_text(NULL), "") == 0);
  CHECK(get(io, kCommPort, ZRV_VT_I2) == 1);
  CHECK(get(io, kPortopen, ZRV_VT_BOOL) == ZRV_FALSE);
  zrv_release(io);
  zrv_release(NULL);
}

static void testMembers(void) {
  size_t count = zrv_member_count();
  CHECK(count == 27);
  for (size_t i = 0; i < count; ++i) {
    zrv_member m;
    int32_t dispid = 0;
    CHECK(zrv_member_info(i, &m) == 0);
    CHECK(m.name != NULL && m.help != NULL && m.help[0] != '\0');
    CHECK(zrv_get_dispid(m.name, &dispid) == 0);
    CHECK(dispid == m.dispid);
  }
  zrv_member a2d;
  CHECK(zrv_member_info(6, &a2d) == 0);
  CHECK(strcmp(a2d.name, "a2d") == 0 && a2d.dispid == kA2d && a2d.kinds == ZRV_METHOD &&
        a2d.params == 1 && strcmp(a2d.help, "Read a analog input") == 0);
  zrv_member led;
  CHECK(zrv_member_info(5, &led) == 0);
  CHECK(led.kinds == ZRV_PROPERTYPUT);
  CHECK(zrv_member_info(count, &led) == 9);
  int32_t dispid = 0;
  CHECK(zrv_get_dispid("EEPROM", &dispid) == 0 && dispid == kEeprom);
  CHECK(zrv_get_dispid("nothing", &dispid) == 438);
  CHECK(strstr(zrv_error_text(NULL), "nothing") != NULL);
}

static void testSimulatedBoard(void) {
  zrv_object* io = NULL;
  CHECK(zrv_create(ZRV_PROGID, &io) == 0);
  OK(put(io, kCommPort, i2(4)));
  OK(put(io, kPins, i4(90)));
  OK(put(io, kPortopen, boolean(1)));
  CHECK(get(io, kPortopen, ZRV_VT_BOOL) == ZRV_TRUE);
  CHECK(get(io, kOk, ZRV_VT_BOOL) == ZRV_TRUE);
  CHECK(get(io, kTris, ZRV_VT_I4) == 255);
  OK(put(io, kTris, i4(0)));
  CHECK(get(io, kPins, ZRV_VT_I4) == 90);
  OK(put(io, kLed, boolean(1)));

  /* eeprom(16) = 65, then eeprom(16); the index comes first. */
  zrv_variant assign[2] = {i4(16), i4(65)};
  OK(zrv_invoke(io, kEeprom, ZRV_PROPERTYPUT, assign, 2, NULL));
  zrv_variant address = i2(16), r;
  OK(zrv_invoke(io, kEeprom, ZRV_PROPERTYGET, &address, 1, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 65);

  /* a2dconf takes its arguments by reference and leaves them as they were. */
  int16_t justify = ZRV_TRUE, clkx2 = ZRV_FALSE, cselect = 0;
  zrv_variant conf[3] = {{ZRV_VT_BYREF | ZRV_VT_BOOL, {.pi2 = &justify}},
                         {ZRV_VT_BYREF | ZRV_VT_BOOL, {.pi2 = &clkx2}},
                         {ZRV_VT_BYREF | ZRV_VT_I2, {.pi2 = &cselect}}};
  OK(zrv_invoke(io, kA2dconf, ZRV_METHOD, conf, 3, &r));
  CHECK(r.vt == ZRV_VT_EMPTY);
  CHECK(justify == ZRV_TRUE && clkx2 == ZRV_FALSE && cselect == 0);
  zrv_variant channel = i4(4);
  OK(zrv_invoke(io, kA2d, ZRV_METHOD, &channel, 1, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 768);
  /* Automation conversions: text and doubles as numbers. */
  zrv_variant channelText = text("4");
  OK(zrv_invoke(io, kA2d, ZRV_METHOD, &channelText, 1, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 768);
  zrv_variant rc[2] = {{ZRV_VT_R8, {.r8 = 3.0}}, i4(1)};
  OK(zrv_invoke(io, kRctime, ZRV_METHOD, rc, 2, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 400);
  zrv_variant counter[2] = {i2(8), boolean(1)};
  OK(zrv_invoke(io, kSetcounter, ZRV_METHOD, counter, 2, NULL));
  CHECK(get(io, kCounter, ZRV_VT_I4) >= 0);
  zrv_variant pin = i4(0);
  OK(zrv_invoke(io, kInp, ZRV_METHOD, &pin, 1, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 0);
  CHECK(get(io, kErrflag, ZRV_VT_BOOL) == ZRV_FALSE);

  /* Failures: the number, the text, a result left empty, and the copy of the text. */
  r = i4(7);
  CHECK(zrv_invoke(io, 0x60030011, ZRV_METHOD, NULL, 0, &r) == 438);
  CHECK(r.vt == ZRV_VT_EMPTY);
  CHECK(zrv_error_number(io) == 438);
  CHECK(strstr(zrv_error_text(io), "60030011") != NULL);
  CHECK(zrv_invoke(io, kA2d, ZRV_METHOD, NULL, 0, &r) == 450);
  zrv_variant bad = text("abc");
  CHECK(zrv_invoke(io, kA2d, ZRV_METHOD, &bad, 1, &r) == 13);
  CHECK(strstr(zrv_error_text(io), "a2d: argument 1 (pin)") != NULL);
  CHECK(zrv_invoke(io, kLed, ZRV_PROPERTYGET, NULL, 0, &r) == 393);
  CHECK(put(io, kCounter, i4(1)) == 382);
  zrv_variant odd = {99, {.i4 = 0}};
  CHECK(zrv_invoke(io, kA2d, ZRV_METHOD, &odd, 1, &r) == 5);
  zrv_variant nullRef = {ZRV_VT_BYREF | ZRV_VT_I4, {.pi4 = NULL}};
  CHECK(zrv_invoke(io, kA2d, ZRV_METHOD, &nullRef, 1, &r) == 5);
  char small[8];
  size_t length = zrv_copy_error_text(io, small, sizeof small);
  CHECK(length == strlen(zrv_error_text(io)) && length > sizeof small);
  CHECK(strlen(small) == sizeof small - 1 && strncmp(small, zrv_error_text(io), 7) == 0);
  CHECK(zrv_copy_error_text(io, NULL, 0) == length);
  /* Success clears the error. */
  CHECK(get(io, kOk, ZRV_VT_BOOL) == ZRV_TRUE);
  CHECK(zrv_error_number(io) == 0 && strcmp(zrv_error_text(io), "") == 0);

  OK(put(io, kPortopen, boolean(0)));
  CHECK(zrv_invoke(io, kA2d, ZRV_METHOD, &channel, 1, &r) == 68);
  /* The EEPROM outlives the link of the simulated board. */
  OK(put(io, kPortopen, boolean(1)));
  OK(zrv_invoke(io, kEeprom, ZRV_PROPERTYGET, &address, 1, &r));
  CHECK(r.vt == ZRV_VT_I4 && r.v.i4 == 65);
  zrv_release(io); /* closes the open link */
  CHECK(zrv_invoke(NULL, kA2d, ZRV_METHOD, NULL, 0, NULL) == 5);
}

struct HostLog {
  int design;
  int events;
  char changed[256];
};

static int designMode(void* context) {
  return ((struct HostLog*)context)->design;
}
static void processEvents(void* context) {
  ((struct HostLog*)context)->events++;
}
static void propertyChanged(void* context, const char* name) {
  struct HostLog* log = context;
  strncat(log->changed, name, sizeof log->changed - strlen(log->changed) - 2);
  strcat(log->changed, ",");
}

static void testHost(void) {
  zrv_object* io = NULL;
  struct HostLog log = {1, 0, ""};
  zrv_host host = {&log, designMode, processEvents, propertyChanged};
  CHECK(zrv_create(ZRV_PROGID, &io) == 0);
  OK(zrv_set_host(io, &host));
  OK(put(io, kCommPort, i2(4)));
  OK(put(io, kPins, i4(3)));
  CHECK(put(io, kPortopen, boolean(1)) == 387);
  CHECK(strcmp(log.changed, "CommPort,pins,") == 0);
  log.design = 0;
  OK(put(io, kPortopen, boolean(1)));
  CHECK(strcmp(log.changed, "CommPort,pins,pins,tris,portopen,") == 0);
  OK(zrv_set_host(io, NULL));
  OK(put(io, kPortopen, boolean(0)));
  CHECK(strcmp(log.changed, "CommPort,pins,pins,tris,portopen,") == 0);
  CHECK(zrv_set_host(NULL, &host) == 5);
  zrv_release(io);
}

/* A port map that cannot be read fails the open with the serial-port error 8002, its text
 * naming the file and the line, instead of opening the default device. */
static void testBrokenPortMap(void) {
  char path[512];
  snprintf(path, sizeof path, "%s/Corvane/ZRV.conf", configDir);
  writeFile(path,
            "[Ports]\nCOM4=sim\n\x7F"
            "ELF\x02\x01\n");
  zrv_object* io = NULL;
  CHECK(zrv_create(ZRV_PROGID, &io) == 0);
  CHECK(put(io, kCommPort, i2(4)) == 0);
  CHECK(put(io, kPortopen, boolean(1)) == 8002);
  CHECK(zrv_error_number(io) == 8002);
  CHECK(strstr(zrv_error_text(io), path) != NULL);
  CHECK(strstr(zrv_error_text(io), "line 3") != NULL);
  CHECK(get(io, kPortopen, ZRV_VT_BOOL) == ZRV_FALSE);
  zrv_release(io);
  writePortMap(NULL);
}

/* zrvsim on a pseudo-terminal: the C host opens a real device, and the library says
 * nothing on stderr while doing so (no notifier complaining about a missing application). */
static void testPseudoTerminal(void) {
  const char* bin = getenv("ZRV_BIN_DIR");
  CHECK(bin != NULL);
  if (!bin) return;
  char program[512];
  snprintf(program, sizeof program, "%s/zrvsim", bin);
  int out[2];
  CHECK(pipe(out) == 0);
  pid_t sim = fork();
  if (sim == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(program, "zrvsim", (char*)NULL);
    _exit(127);
  }
  close(out[1]);
  char device[256] = "";
  size_t used = 0;
  while (used + 1 < sizeof device) {
    ssize_t n = read(out[0], device + used, 1);
    if (n <= 0 || device[used] == '\n') break;
    ++used;
  }
  device[used] = '\0';
  CHECK(strncmp(device, "/dev/", 5) == 0);
  writePortMap(device);

  char captured[] = "/tmp/zrv-capi-stderr-XXXXXX";
  int capture = mkstemp(captured);
  CHECK(capture >= 0);
  fflush(stderr);
  int savedStderr = dup(2);
  dup2(capture, 2);

  zrv_object* io = NULL;
  int created = zrv_create(ZRV_PROGID, &io);
  int opened = created == 0 ? (put(io, kCommPort, i2(5)) || put(io, kPortopen, boolean(1))) : -1;
  int healthy = opened == 0 ? get(io, kOk, ZRV_VT_BOOL) : 0;
  zrv_variant channel = i4(4), r = {0, {0}};
  int converted = opened == 0 ? zrv_invoke(io, kA2d, ZRV_METHOD, &channel, 1, &r) : -1;
  int closed = opened == 0 ? put(io, kPortopen, boolean(0)) : -1;
  zrv_release(io);

  fflush(stderr);
  dup2(savedStderr, 2);
  close(savedStderr);
  struct stat st;
  CHECK(fstat(capture, &st) == 0);
  CHECK(st.st_size == 0);
  if (st.st_size > 0) {
    char said[512] = "";
    ssize_t n = pread(capture, said, sizeof said - 1, 0);
    said[n > 0 ? n : 0] = '\0';
    fprintf(stderr, "the library said: %s\n", said);
  }
  close(capture);
  unlink(captured);

  CHECK(created == 0 && opened == 0 && closed == 0);
  CHECK(healthy == ZRV_TRUE);
  CHECK(converted == 0 && r.vt == ZRV_VT_I4 && r.v.i4 == 768 << 6); /* left-justified */
  kill(sim, SIGTERM);
  int status = 0;
  waitpid(sim, &status, 0);
  CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(out[0]);
}

int main(void) {
  snprintf(configDir, sizeof configDir, "/tmp/zrv-capi-config-XXXXXX");
  if (!mkdtemp(configDir)) {
    perror("mkdtemp");
    return 1;
  }
  setenv("XDG_CONFIG_HOME", configDir, 1);
  writePortMap(NULL);

  testCreation();
  testMembers();
  testSimulatedBoard();
  testHost();
  testBrokenPortMap();
  testPseudoTerminal();

  char command[600];
  snprintf(command, sizeof command, "rm -rf '%s'", configDir);
  if (system(command) != 0) fprintf(stderr, "could not remove %s\n", configDir);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}
