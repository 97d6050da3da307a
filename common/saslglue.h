// The SASL glue: password and mechanism checks of the servers, on Cyrus SASL 2.
//
// One process-wide set-up (saslglue_init) and one SASL connection per client
// session (saslglue_conn_new).  The library is made thread-safe once per
// process with real mutexes (sasl_set_mutex) before sasl_server_init; its
// defaults are no-ops.  Options come from our configuration, never from
// /etc/sasl2: every key "sasl.<service>.<opt>" (else "sasl.default.<opt>")
// is handed to the library as its option <opt> (mech_list, pwcheck_method,
// auxprop_plugin, sasldb_path, log_level ...).  mech_list defaults to
// SASLGLUE_DEFAULT_MECHS plus EXTERNAL (offered only on connections given an
// external identity; a configured mech_list must name EXTERNAL itself for
// client-certificate logins).  ANONYMOUS, NTLM, DIGEST-MD5 and OTP are never
// listed nor started, whatever mech_list says: the first is an
// authentication bypass, DIGEST-MD5 can negotiate a security layer the
// server never applies, the others are historic.
//
// Every connection refuses anonymous logins and security layers
// (max_ssf = 0, maxbufsize = 0), and hides the plaintext mechanisms (PLAIN,
// LOGIN) while the caller says plaintext is refused and no TLS protects the
// session.  saslglue_checkpass is NOT covered by that switch (the library
// checks a password whatever the properties say): the caller enforces its
// plaintext policy for USER/PASS itself.
//
// Password back-ends:
//   - sasldb (the embedded default): the library's own sasldb auxprop with
//     sasldb_path from the configuration.  Entries are "user@realm"; with the
//     realm of the connection given, "joe" means "joe@<realm>".
//   - the users-and-groups directory, when saslglue_init gets a directory:
//     the user's entry is found through the lookup function (the caller's,
//     or the glue's own over the domain map and pool) and the password is
//     checked by a simple bind as that entry's DN on a connection of its own,
//     so hashed userPassword values work.  An in-process auxprop plug-in
//     hands the store attributes (SASLGLUE_ATTRS) to the library, and the
//     cleartext userPassword only when sasl.default.ldap.has_plain_passwords
//     is on (for APOP, CRAM-MD5 and SCRAM).  A directory that is down, slow or
//     busy fails the check as SASL_UNAVAIL (temporary), never SASL_NOUSER.
//
// Errors: SASL result codes (SASL_OK, SASL_CONTINUE, negative failures).
// saslglue_respclass() is the one place that turns a result into the class
// of the client's response code; saslglue_errdetail() gives the library's
// text for the server log only (it tells a wrong password from an unknown
// user, which a client must never learn).
//
// Threads: the context is shared by every session and thread; one
// connection is used by one thread at a time.  The context must outlive
// every connection made from it.
#pragma once

#include <sasl/sasl.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct Dmap;
struct LdPool;
struct LdPoolConfig;

inline constexpr const char* SASLGLUE_DEFAULT_MECHS = "SCRAM-SHA-256 SCRAM-SHA-1 PLAIN LOGIN";

// The auxiliary properties every connection requests, in this order: the
// store's attributes (the order auto-provisioning takes them in) and "dn".
inline constexpr int SASLGLUE_NATTRS = 9;
inline constexpr int SASLGLUE_ATTR_DN = 8;
extern const char* const SASLGLUE_ATTRS[SASLGLUE_NATTRS + 1];  // null-terminated

// Finds a user's directory entry.  user is the name the client gave, with
// "@<realm of the connection>" cut off (compared ignoring case).  values
// receives one list per name of attrs (empty when absent), dn the entry's
// DN.  Returns 0, IMAP_MAILBOX_NONEXISTENT or IMAP_INVALID_USER when there is
// no such user (or several), or another store code (temporary ones, such as
// IMAP_TEMP_AUTH_FAILURE, as error_is_temporary() says).  Called from any
// session thread; must be thread-safe.
using SaslDirLookup = std::function<int(std::string_view user, const std::vector<std::string>& attrs,
                                        std::vector<std::vector<std::string>>* values, std::string* dn)>;

// A lookup over the domain map and pool (both borrowed, must outlive it):
// "local@domain" is searched as uid=local (uid=local<sep>domain when the
// domain entry has a domainUidSeparator) under the domain's base DN, any
// other name as uid=<name> under the base DN of service.defaultdomain, or
// under the pool's base DN when no default domain or map is configured.
// Every value is escaped (RFC 4515).
SaslDirLookup saslglue_dir_lookup(Dmap* dmap, LdPool* pool);

struct saslglue_ctx;
struct saslglue_conn;

// Sets up the library (once per process) and a context for service, whose
// options are read from "sasl.<service>.*".  appname names the process to
// the library (its first caller wins).  With ldcfg null the sasldb back-end
// is used; with ldcfg the directory at ldcfg's host, port and TLS (its bind
// DN is not used: binds are made as the user), entries found by lookup or,
// when lookup is empty, by saslglue_dir_lookup(dmap, pool).  In directory
// mode auxprop_plugin defaults to the glue's own plug-in.  SASL_OK, or a
// SASL failure (logged).  ctx receives the context, freed by saslglue_free.
[[nodiscard]] int saslglue_init(const char* appname, const char* service, Dmap* dmap, LdPool* pool,
                                const LdPoolConfig* ldcfg, SaslDirLookup lookup, saslglue_ctx** ctx);
void saslglue_free(saslglue_ctx* ctx);

struct SaslGlueCtxDeleter {
  void operator()(saslglue_ctx* c) const noexcept { saslglue_free(c); }
};
using SaslGlueCtxPtr = std::unique_ptr<saslglue_ctx, SaslGlueCtxDeleter>;

// What one session tells the library about itself.
struct SaslConnParams {
  const char* clienthost = "";        // for log lines only
  const char* iplocalport = nullptr;  // "a.b.c.d;port" (or an IPv6 literal;port), null: unknown
  const char* ipremoteport = nullptr;
  const char* service = "pop";        // the service name of the mechanisms
  const char* serverfqdn = nullptr;   // null: the host name
  const char* user_realm = nullptr;   // service.defaultdomain; null or "": the server FQDN
  bool refuse_plaintext = false;      // hide PLAIN/LOGIN unless external_ssf > 0
  unsigned external_ssf = 0;          // the TLS key size in bits, 0 without TLS
  const char* external_id = nullptr;  // the user a client certificate maps to
};

// Makes a connection: security properties, external facts and the request
// for SASLGLUE_ATTRS.  SASL_OK or a failure; conn receives the connection,
// freed by saslglue_conn_free.
[[nodiscard]] int saslglue_conn_new(saslglue_ctx* ctx, const SaslConnParams& params, saslglue_conn** conn);
void saslglue_conn_free(saslglue_conn* conn);

struct SaslGlueConnDeleter {
  void operator()(saslglue_conn* c) const noexcept { saslglue_conn_free(c); }
};
using SaslGlueConnPtr = std::unique_ptr<saslglue_conn, SaslGlueConnDeleter>;

// The mechanisms this connection offers, as prefix, the names joined by sep,
// suffix ("SASL ", " ", "\r\n" for CAPA; "", "\r\n", "\r\n" for AUTH).  Never
// a refused mechanism.  SASL_OK, or a failure (out is then empty).
[[nodiscard]] int saslglue_listmech(saslglue_conn* conn, const char* prefix, const char* sep, const char* suffix,
                                    std::string* out);

// Checks a plaintext password for user.  SASL_OK; SASL_BADAUTH (wrong
// password), SASL_NOUSER, SASL_UNAVAIL (directory trouble) ...
[[nodiscard]] int saslglue_checkpass(saslglue_conn* conn, std::string_view user, std::string_view pass);

// Checks an APOP answer "<user> <32 hex digits>" to the challenge sent in
// the greeting (RFC 1939).  Needs the user's cleartext secret (sasldb, or a
// directory with has_plain_passwords).  SASL_OK, SASL_BADAUTH, SASL_BADPROT
// (malformed answer), SASL_NOUSER ...
[[nodiscard]] int saslglue_checkapop(saslglue_conn* conn, std::string_view challenge, std::string_view response);

// Whether this context can check APOP answers (sasldb, or a directory with
// cleartext passwords).
bool saslglue_apop_available(const saslglue_ctx* ctx);

// Starts an exchange with mech (any case) and the client's initial response
// (null: none; an empty string is the RFC 5034 "=").  SASL_CONTINUE with the
// server's next challenge in out, SASL_OK (out may hold final data to send),
// or a failure; SASL_NOMECH for a mechanism not offered.
[[nodiscard]] int saslglue_server_start(saslglue_conn* conn, std::string_view mech, const std::string* initial,
                                        std::string* out);
// Takes the client's next response (decoded); results as for start.
[[nodiscard]] int saslglue_server_step(saslglue_conn* conn, std::string_view response, std::string* out);

// The authenticated user (SASL_USERNAME, "user@realm" for sasldb users)
// after the connection's last check or exchange succeeded; SASL_NOTDONE
// otherwise (the library would name the user of a failed attempt too).
[[nodiscard]] int saslglue_username(saslglue_conn* conn, std::string* user);

// The values of SASLGLUE_ATTRS for the authenticated user, in that order
// (an empty list when the back-end has none).  SASL_OK, SASL_NOTDONE before
// a success, or a failure.
[[nodiscard]] int saslglue_attrs(saslglue_conn* conn, std::vector<std::vector<std::string>>* values);

// The library's detailed text of the connection's last failure, for the
// server log only.  Borrowed until the next call on conn.
const char* saslglue_errdetail(saslglue_conn* conn);

// The underlying library connection (borrowed), for what the glue does not
// wrap.
sasl_conn_t* saslglue_sasl(saslglue_conn* conn);

// The class of a SASL result for the client's response code (RFC 2449, 3206).
enum class SaslRespClass {
  kNone,     // success, or a result with no code
  kAuth,     // BADAUTH, NOAUTHZ, EXPIRED, DISABLED, NOUSER: "[AUTH] "
  kSysTemp,  // NOMEM, TRYAGAIN, UNAVAIL: "[SYS/TEMP] "
  kSysPerm,  // FAIL, BADVERS, NOVERIFY: "[SYS/PERM] "
};
SaslRespClass saslglue_respclass(int saslerr);
// The response code text of saslerr's class ("[AUTH] " ...), "" for kNone.
const char* saslglue_respcode(int saslerr);
