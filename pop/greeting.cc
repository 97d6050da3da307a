#include "pop/greeting.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/assert.h"

namespace {

bool msgid_char(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && strchr("!#$%&'*+-/=?^_`{|}~.", c) != nullptr;
}

void random_bytes(unsigned char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = getrandom(buf + got, len - got, 0);
    if (n < 0) {
      // Only EINTR can happen once the generator is seeded; anything else
      // means no unpredictable challenge can be made at all.
      ORV_ASSERT(errno == EINTR);
      continue;
    }
    got += static_cast<size_t>(n);
  }
}

}  // namespace

std::string challenge_host(std::string_view host) {
  std::string out;
  for (char c : host) {
    if (out.size() == 256) break;
    if (msgid_char(static_cast<unsigned char>(c))) out.push_back(c);
  }
  if (out.empty()) out = "localhost";
  return out;
}

std::string make_challenge(pid_t pid, uint64_t counter, std::string_view host) {
  unsigned char r[8];
  random_bytes(r, sizeof r);
  char buf[80];
  snprintf(buf, sizeof buf, "<%ld.%llu.%02x%02x%02x%02x%02x%02x%02x%02x@", static_cast<long>(pid),
           static_cast<unsigned long long>(counter), r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
  std::string out(buf);
  out += challenge_host(host);
  out += '>';
  return out;
}

std::string clean_banner(std::string_view banner) {
  std::string out;
  out.reserve(banner.size());
  for (char c : banner) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) continue;
    out.push_back(c);
  }
  return out;
}

std::string build_greeting(std::string_view banner, std::string_view challenge) {
  // "+OK " banner [" " challenge] CR LF
  size_t fixed = 4 + 2 + (challenge.empty() ? 0 : challenge.size() + 1);
  ORV_ASSERT(fixed <= kMaxResponseLine);
  size_t room = kMaxResponseLine - fixed;
  if (banner.size() > room) banner = banner.substr(0, room);
  while (!banner.empty() && banner.back() == ' ') banner.remove_suffix(1);
  std::string out = "+OK ";
  out.append(banner);
  if (!challenge.empty()) {
    if (!banner.empty()) out.push_back(' ');
    out.append(challenge);
  }
  out.append("\r\n");
  return out;
}
