#include "pop/login.h"

#include <strings.h>

#include <cstdio>

#include "common/auth.h"
#include "common/saslglue.h"

bool plaintext_allowed(PlaintextLogin policy, bool tls_active, bool loopback) {
  return policy == PlaintextLogin::kAlways || tls_active || loopback;
}

std::string auth_failure_response(int saslerr) {
  switch (saslglue_respclass(saslerr)) {
    case SaslRespClass::kSysTemp:
      return "-ERR [SYS/TEMP] Temporary authentication failure.";
    case SaslRespClass::kSysPerm:
      return "-ERR [SYS/PERM] Authentication failed.";
    case SaslRespClass::kAuth:
    case SaslRespClass::kNone:
      break;
  }
  return kErrAuthFailed;
}

std::optional<std::string> login_userid(std::string_view authname) {
  std::string name(authname);
  if (name.find('\0') != std::string::npos) return std::nullopt;
  char buf[AUTH_ID_MAX];
  if (auth_canonifyid(name.c_str(), buf, sizeof buf) != 0) return std::nullopt;
  // Names that stand for others in access rights are nobody's mailbox.
  if (strcasecmp(buf, "anyone") == 0 || strncasecmp(buf, "group:", 6) == 0) return std::nullopt;
  return std::string(buf);
}

std::optional<std::string> cert_userid(std::string_view uid, const std::vector<std::string>& emails) {
  // The first source present decides: a certificate whose UID is refused
  // does not fall back to another name in it.
  if (!uid.empty()) return login_userid(uid);
  if (!emails.empty()) return login_userid(emails.front());
  return std::nullopt;
}

std::string printable(std::string_view s, size_t max) {
  std::string out;
  for (unsigned char c : s.substr(0, max)) {
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (s.size() > max) out += "...";
  return out;
}
