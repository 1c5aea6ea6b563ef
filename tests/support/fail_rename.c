/* Loaded with LD_PRELOAD by tests that need a rename to fail: every rename, renameat and
 * renameat2 whose destination matches the glob in PELLI_FAIL_RENAME_TO fails with EIO, the
 * first PELLI_FAIL_RENAME_TIMES of them when that is set, all of them otherwise. Built by the
 * test that uses it with the system compiler; never linked into a test program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

static atomic_long failed;

static int should_fail(char const* to) {
  char const* pattern = getenv("PELLI_FAIL_RENAME_TO");
  if (pattern == NULL || to == NULL || fnmatch(pattern, to, 0) != 0) return 0;
  char const* times = getenv("PELLI_FAIL_RENAME_TIMES");
  long const n = atomic_fetch_add(&failed, 1);
  if (times != NULL && n >= atol(times)) return 0;
  errno = EIO;
  return 1;
}

int rename(char const* from, char const* to) {
  if (should_fail(to)) return -1;
  int (*next)(char const*, char const*) =
      (int (*)(char const*, char const*))dlsym(RTLD_NEXT, "rename");
  return next(from, to);
}

int renameat(int from_dir, char const* from, int to_dir, char const* to) {
  if (should_fail(to)) return -1;
  int (*next)(int, char const*, int, char const*) =
      (int (*)(int, char const*, int, char const*))dlsym(RTLD_NEXT, "renameat");
  return next(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, char const* from, int to_dir, char const* to, unsigned flags) {
  if (should_fail(to)) return -1;
  int (*next)(int, char const*, int, char const*, unsigned) =
      (int (*)(int, char const*, int, char const*, unsigned))dlsym(RTLD_NEXT, "renameat2");
  return next(from_dir, from, to_dir, to, flags);
}
