#include "common/xmalloc.h"

#include <cstdlib>
#include <cstring>

#include "common/assert.h"
#include "common/bvlog.h"

namespace {
[[noreturn]] void out_of_memory(size_t n) {
  bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "Out of memory allocating %zu bytes", n);
  abort();
}
}  // namespace

void* xmalloc(size_t n) {
  void* p = malloc(n ? n : 1);
  if (!p) out_of_memory(n);
  return p;
}

void* xcalloc(size_t count, size_t n) {
  void* p = calloc(count ? count : 1, n ? n : 1);
  if (!p) out_of_memory(count * n);
  return p;
}

void* xrealloc(void* p, size_t n) {
  void* q = realloc(p, n ? n : 1);
  if (!q) out_of_memory(n);
  return q;
}

char* xstrdup(const char* s) { return xstrndup(s, strlen(s)); }

char* xstrndup(const char* s, size_t n) {
  size_t len = strnlen(s, n);
  char* p = static_cast<char*>(xmalloc(len + 1));
  memcpy(p, s, len);
  p[len] = '\0';
  return p;
}

void orv_assert_fail(const char* cond, const char* file, int line) {
  bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "Assertion failed: %s (%s:%d)", cond, file, line);
  abort();
}
