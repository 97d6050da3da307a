// Client admission rules of the POP3 server: who may connect, and how many
// sessions one client address may hold.
//
// Filters (service.pop.domainallowed / service.pop.domainnotallowed): items
// separated by commas and/or blanks.  An item is
//   - an IPv4 or IPv6 address ("192.0.2.7", "2001:db8::1"),
//   - a CIDR block ("192.0.2.0/24", "2001:db8::/32"); host bits set below the
//     prefix are ignored, so "10.1.2.3/8" is the block 10.0.0.0/8,
//   - "*" or "ALL" (any letter case): every client,
//   - a host-name pattern with the wildcards '*' (any run of characters) and
//     '?' (one character), "*.example.com", compared case-insensitively with
//     the client's resolved name.  A pattern matches only when a name is
//     given (service.dnsresolveclient on); it never matches an address.
// IPv4-mapped IPv6 addresses and blocks ("::ffff:192.0.2.7") are the IPv4
// ones.  A pattern made only of digits, dots and wildcards ("10.0.*") is
// refused rather than silently never matching: write the block in CIDR form.
// A client is refused when an allow list is set and nothing in it matches, or
// anything in the deny list matches (access_permitted).
//
// Connection limits (service.pop.connlimits): comma-separated "PATTERN:N"
// rules, PATTERN an item as above (the last ':' ends it, so IPv6 patterns
// need no quoting: "::1:0").  The first rule whose pattern matches gives the
// limit for that client; N = 0 means unlimited, and so does no match.
//
// Everything here is pure: no DNS lookups (the caller resolves the name when
// configured and passes it in), no logging, no shared state.  Parsed objects
// are immutable and may be used from several threads at once.  Parse errors
// are returned as text naming the item and what is wrong with it, for the
// caller's log line.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

struct ClientAddr {  // normalised: IPv4-mapped IPv6 becomes IPv4
  int family = 0;    // AF_INET / AF_INET6 / AF_UNIX (0 when unknown)
  unsigned char bytes[16] = {};  // network order; the first 4 for AF_INET
  unsigned port = 0;
  // The peer address of an accepted socket.  An address family other than
  // IPv4, IPv6 and local, or len too short for its family, gives family 0.
  static ClientAddr from_sockaddr(const sockaddr* sa, socklen_t len);
  bool is_loopback() const;  // 127.0.0.0/8 and ::1
  // "1.2.3.4" / "2001:db8::1"; "local" for AF_UNIX, "unknown" for family 0.
  std::string to_string() const;
  // The address and port used in log lines: "1.2.3.4:5678" for IPv4,
  // "[2001:db8::1]:5678" for IPv6; to_string() for the other families.
  std::string host_port() const;
};

class AccessFilter {
 public:
  // Parses a list; nullopt (and *err) when an item is invalid.  An empty or
  // blank text gives an empty filter.
  static std::optional<AccessFilter> parse(const std::string& text, std::string* err);
  bool empty() const { return items_.empty(); }
  // Whether any item matches the client; hostname is "" when not resolved.
  bool matches(const ClientAddr& a, const std::string& hostname /* "" when not resolved */) const;

  // One filter item (public for ConnLimits, which reuses the item syntax).
  struct Item {
    enum Kind { kAny, kNet, kName } kind = kAny;
    int family = 0;                // kNet: AF_INET or AF_INET6
    unsigned char net[16] = {};    // kNet: the block, host bits cleared
    unsigned prefix = 0;           // kNet: prefix length in bits
    std::string pattern;           // kName: lower-cased
    // Parses one item (no separators inside); nullopt and *err when invalid.
    static std::optional<Item> parse(const std::string& text, std::string* err);
    bool matches(const ClientAddr& a, const std::string& hostname) const;
  };

 private:
  std::vector<Item> items_;
};

struct ConnLimits {
  // Parses the rules; nullopt (and *err) when a rule is invalid.  An empty or
  // blank text gives no rules (everyone unlimited).
  static std::optional<ConnLimits> parse(const std::string& text, std::string* err);
  // The limit for this client (0 = unlimited).
  unsigned limit_for(const ClientAddr& a, const std::string& hostname) const;

  struct Rule {
    AccessFilter::Item pattern;
    unsigned limit = 0;
  };
  std::vector<Rule> rules;
};

// The admission decision of the filters: false when allow is non-empty and
// nothing in it matches, or when anything in deny matches.
bool access_permitted(const AccessFilter& allow, const AccessFilter& deny, const ClientAddr& a,
                      const std::string& hostname);
