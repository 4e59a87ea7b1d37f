/* Makes chosen sectors of one file unreadable, for tests run through LD_PRELOAD:
 *   REXMOOR_FAULT_FILE     the file (any name of it: it is matched by device and inode)
 *   REXMOOR_FAULT_RANGES   "FIRST-LAST,SECTOR,..." in 512-byte sectors, inclusive
 *   REXMOOR_FAULT_DELAY_US a pause before every read of 64 KiB or more (a slow medium's long
 *                          transfers; sector-sized retries stay quick), optional
 *   REXMOOR_FAULT_ERRNO    the errno of a failed read (EIO when not given), optional
 *   REXMOOR_FAULT_TIMES    a sector of the ranges reads after failing this many single-sector
 *                          reads (a weak sector that a retry gets); longer reads touching it
 *                          always fail, optional
 *   REXMOOR_FAULT_GONE_AT  the sector at which the medium goes away: once a read reaches it,
 *                          every read fails, of any sector, optional
 * A pread that touches one of the sectors fails with EIO, as a failing card does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#define MAX_RANGES 256

typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);

static pthread_once_t once = PTHREAD_ONCE_INIT;
static pread_fn real_pread;
static pread_fn real_pread64;
static int have_file;
static dev_t file_dev;
static ino_t file_ino;
static uint64_t ranges[MAX_RANGES][2]; /* byte [start, end) */
static int range_count;
static long delay_us;
static int fault_errno = EIO;
static long fail_times = -1;       /* -1: the ranges never heal */
static unsigned char tries[1 << 20]; /* failed single-sector reads, per sector of the ranges in order */
static uint64_t range_base[MAX_RANGES]; /* index in tries of each range's first sector */
static int have_gone_at;
static uint64_t gone_at;            /* byte */
static int gone;

static void setup(void) {
  real_pread = (pread_fn)dlsym(RTLD_NEXT, "pread");
  real_pread64 = (pread_fn)dlsym(RTLD_NEXT, "pread64");
  const char* file = getenv("REXMOOR_FAULT_FILE");
  struct stat st;
  if (file != NULL && stat(file, &st) == 0) {
    have_file = 1;
    file_dev = st.st_dev;
    file_ino = st.st_ino;
  }
  const char* delay = getenv("REXMOOR_FAULT_DELAY_US");
  if (delay != NULL) delay_us = strtol(delay, NULL, 10);
  const char* errno_text = getenv("REXMOOR_FAULT_ERRNO");
  if (errno_text != NULL) fault_errno = (int)strtol(errno_text, NULL, 10);
  const char* times = getenv("REXMOOR_FAULT_TIMES");
  if (times != NULL) fail_times = strtol(times, NULL, 10);
  const char* gone_text = getenv("REXMOOR_FAULT_GONE_AT");
  if (gone_text != NULL) {
    have_gone_at = 1;
    gone_at = strtoull(gone_text, NULL, 10) * 512;
  }
  uint64_t next_base = 0;
  const char* text = getenv("REXMOOR_FAULT_RANGES");
  while (text != NULL && *text != '\0' && range_count < MAX_RANGES) {
    char* end = NULL;
    uint64_t first = strtoull(text, &end, 10);
    if (end == text) break;
    uint64_t last = first;
    if (*end == '-') {
      text = end + 1;
      last = strtoull(text, &end, 10);
      if (end == text || last < first) break;
    }
    ranges[range_count][0] = first * 512;
    ranges[range_count][1] = (last + 1) * 512;
    range_base[range_count] = next_base;
    next_base += last - first + 1;
    ++range_count;
    text = *end == ',' ? end + 1 : end;
  }
}

static int is_target(int fd) {
  struct stat st;
  return have_file && fstat(fd, &st) == 0 && st.st_dev == file_dev && st.st_ino == file_ino;
}

/* Whether [offset, offset + length) touches an unreadable sector; pauses first when asked. */
static int faulty(int fd, uint64_t offset, size_t length) {
  pthread_once(&once, setup);
  if (!is_target(fd)) return 0;
  if (delay_us > 0 && length >= 65536) {
    struct timespec pause = {delay_us / 1000000, (delay_us % 1000000) * 1000};
    nanosleep(&pause, NULL);
  }
  if (have_gone_at && offset + length > gone_at) __atomic_store_n(&gone, 1, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&gone, __ATOMIC_SEQ_CST)) return 1;
  for (int i = 0; i < range_count; ++i) {
    if (offset >= ranges[i][1] || offset + length <= ranges[i][0]) continue;
    if (fail_times < 0 || length != 512) return 1;
    const uint64_t index = range_base[i] + (offset - ranges[i][0]) / 512;
    if (index >= sizeof tries) return 1;
    if (__atomic_load_n(&tries[index], __ATOMIC_SEQ_CST) >= fail_times) return 0;
    __atomic_add_fetch(&tries[index], 1, __ATOMIC_SEQ_CST);
    return 1;
  }
  return 0;
}

ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
  if (faulty(fd, (uint64_t)offset, length)) {
    errno = fault_errno;
    return -1;
  }
  return real_pread(fd, buffer, length, offset);
}

ssize_t pread64(int fd, void* buffer, size_t length, off_t offset) {
  if (faulty(fd, (uint64_t)offset, length)) {
    errno = fault_errno;
    return -1;
  }
  return (real_pread64 != NULL ? real_pread64 : real_pread)(fd, buffer, length, offset);
}
