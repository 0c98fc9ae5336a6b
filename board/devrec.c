/* SPDX-License-Identifier: MIT */
/* Device recorder for the simulated board, loaded with LD_PRELOAD into the
 * unmodified daemon. It watches the two device paths "/dev/watchdog" and
 * "/dev/pow_led" (regular files on the board) and appends one timestamped
 * line per open, request and close to the file named by WARDEND_DEVREC_LOG.
 * Requests on those descriptors are answered with 0 and never reach the
 * real ioctl, which a regular file would refuse.
 *
 * WDIOC_GETBOOTSTATUS is answered as WARDEND_DEVREC_BOOTSTATUS says: a
 * number is stored as the driver's flags, "ENOTTY" makes the request fail as
 * with a driver that does not know it; unset, it is answered like any other
 * request (0, the argument untouched).
 *
 * WDIOC_KEEPALIVE is refused while the file named by
 * WARDEND_DEVREC_KEEPALIVE holds an error number: the request fails with that
 * errno, as with a node that has no working driver behind it. The file is
 * read at every keep-alive, so a test can start and end the refusals while
 * the daemon runs; a missing or empty file lets the keep-alives through.
 *
 * Any thread may call in, also from signal context: every record is built on
 * the stack and written with one write() to a descriptor opened O_APPEND for
 * that record only, so records from different threads never mix and no lock
 * or heap memory is needed. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
/* The fortified inline wrappers would replace the definitions below. */
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { DEV_NONE = 0, DEV_WATCHDOG = 1, DEV_LED = 2 };
enum { MAX_FDS = 4096, LED_REQUEST = 0x1001 };
/* _IOR('W', 2, int): the Linux watchdog's boot status request. */
#define BOOTSTATUS_REQUEST ((2UL << 30) | (sizeof(int) << 16) | ('W' << 8) | 2)
/* _IOR('W', 5, int): the Linux watchdog's keep-alive. */
#define KEEPALIVE_REQUEST ((2UL << 30) | (sizeof(int) << 16) | ('W' << 8) | 5)
enum { BOOT_ANSWER_DEFAULT = 0, BOOT_ANSWER_FLAGS = 1, BOOT_ANSWER_ENOTTY = 2 };

static const char *const device_names[] = {"", "watchdog", "pow_led"};

/* Which device a descriptor number refers to; cleared on close. */
static atomic_int fd_device[MAX_FDS];
static char log_path[4096];
/* How WDIOC_GETBOOTSTATUS is answered; set once before main(). */
static int boot_answer = BOOT_ANSWER_DEFAULT;
static int boot_flags = 0;
/* The file that says how WDIOC_KEEPALIVE is answered; set once before main(). */
static char keepalive_path[4096];

/* ---- async-signal-safe formatting -------------------------------------- */

struct line {
  char text[512];
  size_t len;
};

static void put_str(struct line *l, const char *s) {
  while (*s != '\0' && l->len < sizeof(l->text) - 1) l->text[l->len++] = *s++;
}

static void put_num(struct line *l, unsigned long long value, unsigned base, int min_digits) {
  char digits[32];
  int n = 0;
  do {
    digits[n++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0 && n < (int)sizeof(digits));
  while (n < min_digits && n < (int)sizeof(digits)) digits[n++] = '0';
  while (n > 0 && l->len < sizeof(l->text) - 1) l->text[l->len++] = digits[--n];
}

static void put_int(struct line *l, long long value) {
  if (value < 0) {
    put_str(l, "-");
    put_num(l, 0ULL - (unsigned long long)value, 10, 1);
  } else {
    put_num(l, (unsigned long long)value, 10, 1);
  }
}

static void put_hex(struct line *l, unsigned long long value) {
  put_str(l, "0x");
  put_num(l, value, 16, 1);
}

/* "<seconds>.<microseconds> <pid> <tid> <device> <event>" */
static void begin(struct line *l, int device, const char *event) {
  struct timespec now;
  l->len = 0;
  clock_gettime(CLOCK_REALTIME, &now);
  put_num(l, (unsigned long long)now.tv_sec, 10, 1);
  put_str(l, ".");
  put_num(l, (unsigned long long)(now.tv_nsec / 1000), 10, 6);
  put_str(l, " ");
  put_int(l, getpid());
  put_str(l, " ");
  put_int(l, (long long)syscall(SYS_gettid));
  put_str(l, " ");
  put_str(l, device_names[device]);
  put_str(l, " ");
  put_str(l, event);
}

static void finish(struct line *l) {
  int saved = errno;
  l->text[l->len++] = '\n';
  if (log_path[0] != '\0') {
    int fd = (int)syscall(SYS_openat, AT_FDCWD, log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      /* Raw system calls all three: a sanitizer that saw only the write
       * would take the daemon's next open of the same number for a race. */
      long ignored = syscall(SYS_write, fd, l->text, l->len);
      (void)ignored;
      syscall(SYS_close, fd);
    }
  }
  errno = saved;
}

/* The error number in the keep-alive control file, 0 when there is none. */
static int keepalive_errno(void) {
  char text[16];
  if (keepalive_path[0] == '\0') return 0;
  int fd = (int)syscall(SYS_openat, AT_FDCWD, keepalive_path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, text, sizeof(text) - 1);
  syscall(SYS_close, fd);
  int err = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9' && err < 100000; i++) err = err * 10 + (text[i] - '0');
  return err;
}

/* ---- the real functions ------------------------------------------------- */

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);

static void *real(const char *name, _Atomic(void *) *cache) {
  void *fn = atomic_load(cache);
  if (fn == NULL) {
    fn = dlsym(RTLD_NEXT, name);
    atomic_store(cache, fn);
  }
  return fn;
}
#define REAL(type, name)                          \
  static _Atomic(void *) cache_##name;            \
  type real_##name = (type)real(#name, &cache_##name)

static int device_of_path(int dirfd, const char *path) {
  if (path == NULL || (path[0] != '/' && dirfd != AT_FDCWD)) return DEV_NONE;
  if (strcmp(path, "/dev/watchdog") == 0) return DEV_WATCHDOG;
  if (strcmp(path, "/dev/pow_led") == 0) return DEV_LED;
  return DEV_NONE;
}

static int device_of_fd(int fd) {
  if (fd < 0 || fd >= MAX_FDS) return DEV_NONE;
  return atomic_load(&fd_device[fd]);
}

static int note_open(int device, int fd, int flags) {
  struct line l;
  int saved = errno;
  if (device == DEV_NONE) return fd;
  begin(&l, device, "open");
  put_str(&l, " fd=");
  put_int(&l, fd);
  put_str(&l, " flags=");
  put_hex(&l, (unsigned)flags);
  if (fd < 0) {
    put_str(&l, " errno=");
    put_int(&l, saved);
  } else if (fd < MAX_FDS) {
    atomic_store(&fd_device[fd], device);
  }
  finish(&l);
  errno = saved;
  return fd;
}

static int mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, int) : 0;
}

/* ---- interposed entry points -------------------------------------------- */

EXPORT int open(const char *path, int flags, ...) {
  REAL(open_fn, open);
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return note_open(device_of_path(AT_FDCWD, path), real_open(path, flags, mode), flags);
}

EXPORT int open64(const char *path, int flags, ...) {
  REAL(open_fn, open64);
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return note_open(device_of_path(AT_FDCWD, path), real_open64(path, flags, mode), flags);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  REAL(openat_fn, openat);
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return note_open(device_of_path(dirfd, path), real_openat(dirfd, path, flags, mode), flags);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  REAL(openat_fn, openat64);
  va_list ap;
  va_start(ap, flags);
  int mode = mode_arg(flags, ap);
  va_end(ap);
  return note_open(device_of_path(dirfd, path), real_openat64(dirfd, path, flags, mode), flags);
}

/* The fortified variants that _FORTIFY_SOURCE builds call. */
EXPORT int __open_2(const char *path, int flags) {
  REAL(open2_fn, __open_2);
  return note_open(device_of_path(AT_FDCWD, path), real___open_2(path, flags), flags);
}

EXPORT int __open64_2(const char *path, int flags) {
  REAL(open2_fn, __open64_2);
  return note_open(device_of_path(AT_FDCWD, path), real___open64_2(path, flags), flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  REAL(openat2_fn, __openat_2);
  return note_open(device_of_path(dirfd, path), real___openat_2(dirfd, path, flags), flags);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);

  int device = device_of_fd(fd);
  if (device == DEV_NONE) {
    REAL(ioctl_fn, ioctl);
    return real_ioctl(fd, request, arg);
  }
  struct line l;
  int saved = errno;
  begin(&l, device, "ioctl");
  put_str(&l, " fd=");
  put_int(&l, fd);
  put_str(&l, " req=");
  put_hex(&l, request & 0xffffffffUL);
  put_str(&l, " arg=");
  put_hex(&l, (uintptr_t)arg);
  if (device == DEV_LED && request == LED_REQUEST && arg != NULL) {
    int32_t values[2];
    memcpy(values, arg, sizeof(values));
    put_str(&l, " led=");
    put_int(&l, values[0]);
    put_str(&l, ",");
    put_int(&l, values[1]);
  }
  if (device == DEV_WATCHDOG && (request & 0xffffffffUL) == BOOTSTATUS_REQUEST && boot_answer != BOOT_ANSWER_DEFAULT) {
    if (boot_answer == BOOT_ANSWER_ENOTTY) {
      put_str(&l, " errno=");
      put_int(&l, ENOTTY);
      finish(&l);
      errno = ENOTTY;
      return -1;
    }
    if (arg != NULL) memcpy(arg, &boot_flags, sizeof(boot_flags));
    put_str(&l, " bootstatus=");
    put_int(&l, boot_flags);
  }
  if (device == DEV_WATCHDOG && (request & 0xffffffffUL) == KEEPALIVE_REQUEST) {
    int refused = keepalive_errno();
    if (refused != 0) {
      put_str(&l, " errno=");
      put_int(&l, refused);
      finish(&l);
      errno = refused;
      return -1;
    }
  }
  finish(&l);
  errno = saved;
  return 0;
}

EXPORT int close(int fd) {
  REAL(close_fn, close);
  int device = device_of_fd(fd);
  if (device != DEV_NONE) atomic_store(&fd_device[fd], DEV_NONE);
  int rc = real_close(fd);
  if (device != DEV_NONE) {
    struct line l;
    int saved = errno;
    begin(&l, device, "close");
    put_str(&l, " fd=");
    put_int(&l, fd);
    put_str(&l, " rc=");
    put_int(&l, rc);
    finish(&l);
    errno = saved;
  }
  return rc;
}

/* Keeps the recorder out of the daemon's shell children: they get the
 * environment without the preload, and the daemon keeps the path.
 *
 * When the daemon is started through launchers (an init script's shell,
 * start-stop-daemon), WARDEND_DEVREC_PROGRAM names it: in any other program
 * the recorder records nothing and passes the environment on untouched. */
__attribute__((constructor)) static void devrec_init(void) {
  const char *program = getenv("WARDEND_DEVREC_PROGRAM");
  if (program != NULL && strcmp(program, program_invocation_short_name) != 0) return;
  unsetenv("WARDEND_DEVREC_PROGRAM");
  const char *path = getenv("WARDEND_DEVREC_LOG");
  if (path != NULL && strlen(path) < sizeof(log_path)) memcpy(log_path, path, strlen(path) + 1);
  const char *boot = getenv("WARDEND_DEVREC_BOOTSTATUS");
  if (boot != NULL && strcmp(boot, "ENOTTY") == 0) {
    boot_answer = BOOT_ANSWER_ENOTTY;
  } else if (boot != NULL && boot[0] != '\0') {
    boot_answer = BOOT_ANSWER_FLAGS;
    boot_flags = (int)strtol(boot, NULL, 0);
  }
  const char *keepalive = getenv("WARDEND_DEVREC_KEEPALIVE");
  if (keepalive != NULL && strlen(keepalive) < sizeof(keepalive_path)) {
    memcpy(keepalive_path, keepalive, strlen(keepalive) + 1);
  }
  unsetenv("LD_PRELOAD");
  unsetenv("WARDEND_DEVREC_LOG");
  unsetenv("WARDEND_DEVREC_BOOTSTATUS");
  unsetenv("WARDEND_DEVREC_KEEPALIVE");
}
