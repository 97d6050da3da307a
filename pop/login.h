// The parts of a POP3 login that need no connection: the plaintext policy,
// the fixed answers to failed authentications, and the store user id a
// login ends with.
//
// A failed authentication gets one text per class of failure, whatever the
// cause within it: a wrong password, an unknown user and a failed exchange
// must look the same to a client (the library's own texts would tell them
// apart); the detail goes to the server log only.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// service.pop.plaintextlogin: "tls" (USER/PASS and the plaintext
// mechanisms only on a protected session, or from the loopback address) or
// "always".
enum class PlaintextLogin { kTls, kAlways };

// Whether passwords may be sent in clear on a session.
bool plaintext_allowed(PlaintextLogin policy, bool tls_active, bool loopback);

inline constexpr const char* kErrPlaintextRefused =
    "-ERR [AUTH] Plaintext authentication disallowed on non-secure connections";
inline constexpr const char* kErrAuthFailed = "-ERR [AUTH] Authentication failed.";

// The answer (without its line end) to an authentication that failed with
// SASL result saslerr.
std::string auth_failure_response(int saslerr);

// The store user id of the name a login authenticated: canonical, with
// "@<service.defaultdomain>" removed in any letter case.  Nothing for a name
// the store refuses or one that stands for others ("anyone", groups).
std::optional<std::string> login_userid(std::string_view authname);

// The user a verified client certificate logs in as (SASL EXTERNAL): the
// subject's UID attribute when it has one, else its first e-mail address
// (the subject's own, then the alternative names'), made a store user id
// as login_userid does, so an address in service.defaultdomain names the
// local part.  The common name is never used: it is a person's display
// name, not an account.  Nothing when neither gives a valid user id.
std::optional<std::string> cert_userid(std::string_view uid, const std::vector<std::string>& emails);

// The text a log line shows of a client-supplied string: at most max
// bytes, control characters and bytes outside ASCII as "\xHH".
std::string printable(std::string_view s, size_t max = 128);
