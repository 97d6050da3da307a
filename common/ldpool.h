// A small pool of connections to the users-and-groups LDAP directory.
//
// The pool holds LDAPv3 connections (libldap), bound with the configured DN
// and credential or anonymously when the DN is empty, and hands one to each
// operation.  Connections are made on first use, so a pool exists even while
// the directory is down; a connection the server dropped is replaced once per
// operation (a restarted server is picked up on the next call).  Every wait
// is bounded: the connect time-out and the operation time-out of the
// configuration apply to each request, and an operation that finds every
// connection busy waits at most the operation time-out.
//
// With TLS (StartTLS or ldaps) the server certificate is checked with
// libldap's own settings (ldap.conf TLS_CACERT, or LDAPTLS_CACERT in the
// environment); a failed handshake fails the connection, never falls back
// to plain text.
//
// Results are copied out of libldap before the connection goes back to the
// pool, so callers own plain values and never free library memory.  Values
// are byte strings (they may hold any byte, NUL included); a value longer than
// LDPOOL_MAX_VALUE is left out (and logged) so a hostile entry cannot make a
// process hold megabytes.
//
// Errors: functions return 0 or a store code from ldpool_error(), the one
// place that translates LDAP results.  A directory that is down, busy, slow
// or refuses our own bind is IMAP_TEMP_AUTH_FAILURE (temporary: mail waits),
// a missing base object is IMAP_MAILBOX_NONEXISTENT, a malformed filter or
// DN (a configuration mistake) IMAP_CONFIG_ERROR.  The bind credential is
// never logged, at any level.
//
// Thread-safe: any number of threads may share a pool.  A pool must outlive
// every operation that uses it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t LDPOOL_MAX_VALUE = 64 * 1024;

enum class LdTls { kNone, kStartTls, kLdaps };

struct LdPoolConfig {
  std::string host;  // host name or address; an IPv6 address without brackets
  int port = 0;      // 0: 389, or 636 with kLdaps
  LdTls tls = LdTls::kNone;
  std::string binddn;    // empty: anonymous
  std::string bindcred;  // never logged
  std::string basedn;    // where users live when no domain map applies
  int max_connections = 8;
  int connect_timeout_s = 10;
  int op_timeout_s = 30;
};

// One entry of a search result.  Attribute descriptions are kept as the
// server sent them ("mailDomainWelcomeMessage;lang-fr").
struct LdEntry {
  std::string dn;
  std::vector<std::pair<std::string, std::vector<std::string>>> attrs;
  // The values of the attribute description attr (compared ignoring case,
  // options included), or null when the entry has none.
  const std::vector<std::string>* values(std::string_view attr) const;
};

enum class LdScope { kBase = 0, kOne = 1, kSubtree = 2 };

struct LdPool;
struct LdPoolDeleter {
  void operator()(LdPool* p) const noexcept;
};
using LdPoolPtr = std::unique_ptr<LdPool, LdPoolDeleter>;

// Makes a pool from cfg without connecting.  IMAP_CONFIG_ERROR (logged, with
// "Cannot initialize Users & Groups LDAP pool: %s") when the host is missing
// or the URL built from it is refused by libldap.
[[nodiscard]] int ldpool_new(const LdPoolConfig& cfg, LdPoolPtr* out);

// Reads the pool settings from the configuration:
//   local.ugldaphost       host (required)
//   local.ugldapport       port (default 389, or 636 for ldaps)
//   local.ugldapusessl     off (default) | starttls | ldaps (on, yes: ldaps)
//   local.ugldapbinddn     bind DN (empty: anonymous)
//   local.ugldapbindcred   bind credential
//   local.ugldapbasedn     user base when no domain map applies
//   local.ugldappoolsize   connections kept (default 8)
//   local.ugldaptimeout    operation time-out in seconds (default 30)
//   local.ugldapconnecttimeout  connect time-out in seconds (default 10)
// IMAP_CONFIG_ERROR for a missing host or a bad value (logged).
[[nodiscard]] int ldpool_config_from_settings(LdPoolConfig* cfg);

// The base DN of the configuration (may be empty).  Borrowed from the pool.
const std::string& ldpool_basedn(const LdPool* pool);

// Searches base with scope and filter for attrs (empty: all user
// attributes).  At most sizelimit entries are returned (0: the server's
// limit); more matches than that are not an error: the caller sees
// sizelimit entries and decides (ask for 2 to learn "more than one").
[[nodiscard]] int ldpool_search(LdPool* pool, const std::string& base, LdScope scope, const std::string& filter,
                                const std::vector<std::string>& attrs, int sizelimit, std::vector<LdEntry>* out);

// Replaces the values of one attribute of entry dn (an empty list removes
// the attribute).
[[nodiscard]] int ldpool_replace(LdPool* pool, const std::string& dn, const std::string& attr,
                                 const std::vector<std::string>& vals);

// The one translation of an LDAP result code to a store code (0 for
// LDAP_SUCCESS).  See the header comment.
int ldpool_error(int ldap_rc);

// RFC 4515: the assertion value v as it must appear inside a filter
// ("(uid=" + ldap_filter_escape(v) + ")"): '*', '(', ')', '\' and NUL become
// \2a \28 \29 \5c \00.
std::string ldap_filter_escape(std::string_view v);

// RFC 4514: the attribute value v as it must appear in a DN string
// ("dc=" + ldap_dn_escape(v)): '"' '+' ',' ';' '<' '>' '\', a leading '#' or
// blank and a trailing blank get a backslash; NUL and other control bytes
// become \hh.
std::string ldap_dn_escape(std::string_view v);
