// Hash functions of the backup containers.
#include "backup/bkutils.h"

unsigned bkhash(const String& s) {
  long h = 0;
  for (const char* p = s.getcstring(); *p; p++) {
    h = (static_cast<signed char>(*p) + h * 32) % static_cast<long>(BK_HASH_BUCKETS);
    if (h < 0) h += BK_HASH_BUCKETS;
  }
  return static_cast<unsigned>(h);
}

#include <iconv.h>

#include <cerrno>
#include <ctime>

char* time2str(long t, char* buf) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  if (!localtime_r(&tt, &tm) || strftime(buf, BK_TIMESTR, "%a, %d %b %Y %H:%M:%S\n", &tm) == 0)
    std::snprintf(buf, BK_TIMESTR, "%ld\n", t);
  return buf;
}

namespace {

struct IconvHandle {
  iconv_t h;
  explicit IconvHandle(const char* from) : h(iconv_open("UTF-8", from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(h);
  }
  bool ok() const { return h != reinterpret_cast<iconv_t>(-1); }
};

}  // namespace

int bk_charset_known(const char* charset) { return IconvHandle(charset).ok() ? 1 : 0; }

int bk_to_utf8(const char* charset, const std::string& in, std::string* out) {
  IconvHandle cd(charset);
  if (!cd.ok()) return 0;
  std::string in_copy = in;  // iconv's input pointer is not const
  char* ip = in_copy.data();
  size_t ileft = in_copy.size();
  out->clear();
  char buf[1024];
  for (;;) {
    char* op = buf;
    size_t oleft = sizeof buf;
    size_t r = iconv(cd.h, ileft ? &ip : nullptr, ileft ? &ileft : nullptr, &op, &oleft);
    out->append(buf, static_cast<size_t>(op - buf));
    if (r != static_cast<size_t>(-1)) {
      if (ileft == 0) {
        // Flush any shift state, then done.
        op = buf;
        oleft = sizeof buf;
        iconv(cd.h, nullptr, nullptr, &op, &oleft);
        out->append(buf, static_cast<size_t>(op - buf));
        return 1;
      }
      continue;
    }
    if (errno != E2BIG) return 0;
  }
}
