#include "common/prot.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/fileio.h"

struct protstream {
  int fd = -1;
  std::vector<char> buf;
  size_t used = 0;
  long total = 0;
  std::string error;  // empty while all writes succeeded
};

namespace {
constexpr size_t kBufSize = 64 * 1024;

int drain(protstream* s) {
  if (!s->error.empty()) return -1;
  if (s->used == 0) return 0;
  if (retry_write(s->fd, s->buf.data(), s->used) < 0) {
    s->error = strerror(errno);
    s->used = 0;
    return -1;
  }
  s->used = 0;
  return 0;
}
}  // namespace

protstream* prot_file(int fd, int write) {
  if (!write) {
    errno = EINVAL;
    return nullptr;
  }
  auto* s = new (std::nothrow) protstream;
  if (!s) return nullptr;
  s->fd = fd;
  s->buf.resize(kBufSize);
  return s;
}

int prot_write(protstream* s, const char* buf, size_t n) {
  if (!s->error.empty()) return -1;
  s->total += static_cast<long>(n);
  if (s->used + n > s->buf.size()) {
    if (drain(s) != 0) return -1;
    if (n >= s->buf.size()) {
      // Large pieces go straight out rather than through the buffer.
      if (retry_write(s->fd, buf, n) < 0) {
        s->error = strerror(errno);
        return -1;
      }
      return 0;
    }
  }
  memcpy(s->buf.data() + s->used, buf, n);
  s->used += n;
  return 0;
}

int prot_printf(protstream* s, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  char small[512];
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) < sizeof small) return prot_write(s, small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(ap, format);
  vsnprintf(big.data(), big.size(), format, ap);
  va_end(ap);
  return prot_write(s, big.data(), static_cast<size_t>(n));
}

int prot_flush(protstream* s) { return drain(s); }

const char* prot_error(protstream* s) { return s->error.empty() ? nullptr : s->error.c_str(); }

long prot_numbytes(protstream* s) { return s->total; }

void prot_free(protstream* s) {
  if (!s) return;
  (void)drain(s);
  delete s;
}
