#include "store/pvm_prod.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kProduct = "Corvane";
constexpr const char* kRelease = "6.1";
constexpr const char* kFixLevel = "0.02";
constexpr const char* kBuildDate = "Aug 25 2004";
constexpr const char* kDefaultBanner = "%h %p service (%P %V)";
constexpr size_t kBannerMax = BANNER_BUF - 1;

char g_version[128];

}  // namespace

const char* version() {
  const char* sep = "";
  if (kFixLevel && *kFixLevel) sep = strchr(kFixLevel, '.') ? " HotFix " : " Patch ";
  snprintf(g_version, sizeof g_version, "%s%s%s (built %s)", kRelease, sep, kFixLevel ? kFixLevel : "", kBuildDate);
  return g_version;
}

char* generate_banner(char* buf, const char* format, const char* hostname, const char* program) {
  if (!format || !*format) format = kDefaultBanner;
  size_t len = 0;
  // A substitution that would make the text reach the limit is left out
  // whole, so a banner never ends in half a host name.
  auto put = [&](const char* s) {
    if (!s) return;
    size_t n = strlen(s);
    if (len + n >= kBannerMax) return;
    memcpy(buf + len, s, n);
    len += n;
  };
  for (const char* p = format; *p && len < kBannerMax; ++p) {
    if (*p != '%') {
      buf[len++] = *p;
      continue;
    }
    ++p;
    switch (*p) {
      case '%':
        put("%");
        break;
      case 'P':
        put(kProduct);
        break;
      case 'V':
        put(version());
        break;
      case 'v':
        put(kRelease);
        break;
      case 'h':
        put(hostname);
        break;
      case 'p':
        put(program);
        break;
      case '\0':
        --p;
        break;  // a lone '%' at the end produces nothing
      default:
        break;
    }
  }
  buf[len] = '\0';
  return buf;
}
