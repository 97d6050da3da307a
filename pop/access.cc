#include "pop/access.h"

#include <arpa/inet.h>
#include <sys/un.h>

#include <cstring>

namespace {

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
constexpr size_t kMaxPatternLength = 255;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Decimal digits only (no sign, no blanks), at most max; nullopt otherwise.
std::optional<unsigned> parse_number(const std::string& s, unsigned max) {
  if (s.empty()) return std::nullopt;
  unsigned long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > max) return std::nullopt;
  }
  return static_cast<unsigned>(v);
}

// Whether the first prefix bits of a and b are equal.
bool prefix_equal(const unsigned char* a, const unsigned char* b, unsigned prefix) {
  unsigned whole = prefix / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  unsigned rest = prefix % 8;
  if (rest == 0) return true;
  unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

void clear_host_bits(unsigned char* net, size_t len, unsigned prefix) {
  for (size_t i = 0; i < len; ++i) {
    unsigned start = static_cast<unsigned>(i) * 8;
    if (start >= prefix) {
      net[i] = 0;
    } else if (prefix - start < 8) {
      net[i] &= static_cast<unsigned char>(0xff << (8 - (prefix - start)));
    }
  }
}

// Case-insensitive match of name against a lower-cased pattern with '*' and
// '?'.  Greedy with one back-track point: linear in practice, at worst
// pattern length times name length.
bool wildcard_match(const std::string& pattern, const std::string& name) {
  size_t p = 0, n = 0;
  size_t star = std::string::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == lower(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '*' || c == '?';
}

// A resolved name may end with the root's dot; patterns are written without.
std::string without_root_dot(const std::string& name) {
  if (!name.empty() && name.back() == '.') return name.substr(0, name.size() - 1);
  return name;
}

}  // namespace

ClientAddr ClientAddr::from_sockaddr(const sockaddr* sa, socklen_t len) {
  ClientAddr a;
  if (sa == nullptr || len < static_cast<socklen_t>(sizeof(sa_family_t))) return a;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in in;
    std::memcpy(&in, sa, sizeof in);
    a.family = AF_INET;
    std::memcpy(a.bytes, &in.sin_addr, 4);
    a.port = ntohs(in.sin_port);
  } else if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 in6;
    std::memcpy(&in6, sa, sizeof in6);
    a.port = ntohs(in6.sin6_port);
    const unsigned char* b = in6.sin6_addr.s6_addr;
    if (std::memcmp(b, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      a.family = AF_INET;
      std::memcpy(a.bytes, b + 12, 4);
    } else {
      a.family = AF_INET6;
      std::memcpy(a.bytes, b, 16);
    }
  } else if (sa->sa_family == AF_UNIX) {
    a.family = AF_UNIX;
  }
  return a;
}

bool ClientAddr::is_loopback() const {
  if (family == AF_INET) return bytes[0] == 127;
  if (family == AF_INET6) {
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, kLoopback6, 16) == 0;
  }
  return false;
}

std::string ClientAddr::to_string() const {
  if (family == AF_INET || family == AF_INET6) {
    char buf[INET6_ADDRSTRLEN];
    if (inet_ntop(family, bytes, buf, sizeof buf) != nullptr) return buf;
  }
  if (family == AF_UNIX) return "local";
  return "unknown";
}

std::string ClientAddr::host_port() const {
  if (family == AF_INET) return to_string() + ":" + std::to_string(port);
  if (family == AF_INET6) return "[" + to_string() + "]:" + std::to_string(port);
  return to_string();
}

std::optional<AccessFilter::Item> AccessFilter::Item::parse(const std::string& text, std::string* err) {
  auto fail = [&](const char* why) -> std::optional<Item> {
    if (err) *err = "\"" + text + "\": " + why;
    return std::nullopt;
  };
  Item item;
  if (text.empty()) return fail("empty item");
  if (text == "*" || (text.size() == 3 && lower(text[0]) == 'a' && lower(text[1]) == 'l' &&
                      lower(text[2]) == 'l')) {
    item.kind = kAny;
    return item;
  }
  size_t slash = text.find('/');
  bool has_colon = text.find(':') != std::string::npos;
  if (slash != std::string::npos || has_colon ||
      text.find_first_not_of("0123456789.") == std::string::npos) {
    // An address or a block.
    std::string addr = text.substr(0, slash);
    item.kind = kNet;
    unsigned max_prefix;
    if (addr.find(':') != std::string::npos) {
      if (inet_pton(AF_INET6, addr.c_str(), item.net) != 1) return fail("not a valid IPv6 address");
      item.family = AF_INET6;
      max_prefix = 128;
    } else {
      if (inet_pton(AF_INET, addr.c_str(), item.net) != 1) return fail("not a valid IPv4 address");
      item.family = AF_INET;
      max_prefix = 32;
    }
    item.prefix = max_prefix;
    if (slash != std::string::npos) {
      auto n = parse_number(text.substr(slash + 1), max_prefix);
      if (!n) {
        return fail(max_prefix == 32 ? "prefix length must be a number from 0 to 32"
                                     : "prefix length must be a number from 0 to 128");
      }
      item.prefix = *n;
    }
    // A mapped block is the IPv4 block it covers, as mapped clients are
    // normalised to IPv4.
    if (item.family == AF_INET6 && item.prefix >= 96 &&
        std::memcmp(item.net, kMappedPrefix, sizeof kMappedPrefix) == 0) {
      std::memmove(item.net, item.net + 12, 4);
      std::memset(item.net + 4, 0, 12);
      item.family = AF_INET;
      item.prefix -= 96;
    }
    clear_host_bits(item.net, sizeof item.net, item.prefix);
    return item;
  }
  // A host-name pattern.
  if (text.size() > kMaxPatternLength) return fail("host-name pattern longer than 255 characters");
  for (char c : text) {
    if (!name_char(c)) return fail("invalid character in host-name pattern");
  }
  if (text.find_first_not_of("0123456789.*?") == std::string::npos) {
    return fail("address patterns are written as CIDR blocks (a.b.c.d/n), not with wildcards");
  }
  item.kind = kName;
  item.pattern.reserve(text.size());
  for (char c : text) item.pattern += lower(c);
  return item;
}

bool AccessFilter::Item::matches(const ClientAddr& a, const std::string& hostname) const {
  switch (kind) {
    case kAny:
      return true;
    case kNet:
      return a.family == family && prefix_equal(a.bytes, net, prefix);
    case kName:
      return !hostname.empty() && wildcard_match(pattern, without_root_dot(hostname));
  }
  return false;
}

std::optional<AccessFilter> AccessFilter::parse(const std::string& text, std::string* err) {
  AccessFilter f;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ',' || is_blank(text[i])) {
      ++i;
      continue;
    }
    size_t e = i;
    while (e < text.size() && text[e] != ',' && !is_blank(text[e])) ++e;
    auto item = Item::parse(text.substr(i, e - i), err);
    if (!item) return std::nullopt;
    f.items_.push_back(std::move(*item));
    i = e;
  }
  return f;
}

bool AccessFilter::matches(const ClientAddr& a, const std::string& hostname) const {
  for (const Item& item : items_) {
    if (item.matches(a, hostname)) return true;
  }
  return false;
}

std::optional<ConnLimits> ConnLimits::parse(const std::string& text, std::string* err) {
  ConnLimits limits;
  size_t i = 0;
  while (i <= text.size()) {
    size_t e = text.find(',', i);
    if (e == std::string::npos) e = text.size();
    std::string rule = trim(text.substr(i, e - i));
    i = e + 1;
    if (rule.empty()) continue;
    size_t colon = rule.rfind(':');
    if (colon == std::string::npos) {
      if (err) *err = "\"" + rule + "\": a rule is PATTERN:N";
      return std::nullopt;
    }
    std::string pattern = trim(rule.substr(0, colon));
    for (char c : pattern) {
      if (is_blank(c)) {
        if (err) *err = "\"" + rule + "\": one pattern per rule";
        return std::nullopt;
      }
    }
    auto item = AccessFilter::Item::parse(pattern, err);
    if (!item) return std::nullopt;
    auto n = parse_number(trim(rule.substr(colon + 1)), 1000000000);
    if (!n) {
      if (err) *err = "\"" + rule + "\": the limit must be a number (0 for unlimited)";
      return std::nullopt;
    }
    limits.rules.push_back(Rule{std::move(*item), *n});
  }
  return limits;
}

unsigned ConnLimits::limit_for(const ClientAddr& a, const std::string& hostname) const {
  for (const Rule& r : rules) {
    if (r.pattern.matches(a, hostname)) return r.limit;
  }
  return 0;
}

bool access_permitted(const AccessFilter& allow, const AccessFilter& deny, const ClientAddr& a,
                      const std::string& hostname) {
  if (!allow.empty() && !allow.matches(a, hostname)) return false;
  return !deny.matches(a, hostname);
}
