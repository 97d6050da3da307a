// The domain map: from a mail domain to its directory entry.
//
// Only the schema-1 layout is supported.  Each hosted domain has an entry in
// the domain-component tree under service.dcroot: the domain "a.example.com"
// is the entry "dc=a,dc=example,dc=com,<dcroot>" (every label escaped as a DN
// value).  The entry is read with a base-scope search whose filter is
// "(objectClass=inetDomain)" unless option.dat sets
// LDAP_DOMAIN_FILTER_SCHEMA1.  The domain's users live under its base DN:
// the entry's inetDomainBaseDN (another attribute when option.dat sets
// LDAP_DOMAIN_ATTR_BASEDN), or the domain entry itself when it has none.
// The entry's other values (domainUidSeparator, preferredLanguage,
// mailDomainWelcomeMessage;lang-xx ...) are handed back as read.
//
// Every lookup goes to the directory (nothing is cached), through the
// caller's connection pool, which must outlive the map.  Thread-safe.
//
// Errors: 0, IMAP_INVALID_USER for a malformed domain name (empty, an empty
// label, a blank or control byte, longer than 255 bytes), IMAP_MAILBOX_NONEXISTENT
// when the directory has no such domain, and the pool's codes otherwise
// (IMAP_TEMP_AUTH_FAILURE while the directory is unreachable).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "common/ldpool.h"

struct DmapConfig {
  std::string dcroot;                               // service.dcroot
  int schema_level = 1;                             // LDAP_SCHEMALEVEL
  std::string filter = "(objectClass=inetDomain)";  // LDAP_DOMAIN_FILTER_SCHEMA1
  std::string basedn_attr = "inetDomainBaseDN";     // LDAP_DOMAIN_ATTR_BASEDN
  int debuglevel = 0;                               // local.domainmap.debuglevel
  int cache_seconds = 60;                           // local.domainmap.cachettl; 0: no cache
};

struct DmapDomain {
  std::string name;    // as asked for
  std::string basedn;  // where the domain's users live
  LdEntry entry;       // the domain entry with all its user attributes
  // The first value of attr, or null.
  const std::string* first(std::string_view attr) const;
};

struct Dmap;
struct DmapDeleter {
  void operator()(Dmap* d) const noexcept;
};
using DmapPtr = std::unique_ptr<Dmap, DmapDeleter>;

// Reads service.dcroot, local.domainmap.debuglevel and option.dat
// (LDAP_SCHEMALEVEL, LDAP_DOMAIN_FILTER_SCHEMA1, LDAP_DOMAIN_ATTR_BASEDN; the
// other names of that file belong to other schema levels and are ignored).
// 0, or the error of reading option.dat.
[[nodiscard]] int dmap_config_from_settings(DmapConfig* cfg);

// Makes a map over pool (borrowed).  IMAP_CONFIG_ERROR (logged, "Cannot
// initialize domain map") for a schema level other than 1, a missing or
// malformed dcroot, or a filter not in parentheses.
[[nodiscard]] int dmap_new(LdPool* pool, const DmapConfig& cfg, DmapPtr* out);

// The DN of domain's entry, or IMAP_INVALID_USER for a malformed name.
[[nodiscard]] int dmap_domain_dn(const Dmap* map, std::string_view domain, std::string* dn);

// Reads domain's entry into out.  Entries found are kept for
// cache_seconds (a domain changes rarely, and every user lookup starts with
// its domain); failures are never kept.
[[nodiscard]] int dmap_locate_domain(Dmap* map, std::string_view domain, DmapDomain* out);

// The pool the map reads through.  Borrowed.
LdPool* dmap_pool(Dmap* map);
