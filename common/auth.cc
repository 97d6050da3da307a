#include "common/auth.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/imap_err.h"

struct auth_state {
  bool dont_check = false;
  std::vector<std::string> ids;      // user id, "anyone", groups
  std::vector<const char*> id_ptrs;  // the same, null-terminated
};

namespace {

auth_state dont_check_state = [] {
  auth_state s;
  s.dont_check = true;
  s.id_ptrs.push_back(nullptr);
  return s;
}();

constexpr char kAnyone[] = "anyone";
constexpr char kGroupPrefix[] = "group:";
constexpr size_t kGroupPrefixLen = sizeof(kGroupPrefix) - 1;

bool has_bad_byte(const char* s) {
  for (; *s; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

auth_state* const auth_dontCheckAcl = &dont_check_state;

char* auth_canonifydomain(char* id) {
  char* at = strrchr(id, '@');
  if (!at) return id;
  const char* defdomain = config_get_string(config_getdefaultcache(), "service.defaultdomain", nullptr);
  if (defdomain && *defdomain && strcasecmp(at + 1, defdomain) == 0) {
    *at = '\0';
  } else {
    for (char* p = at + 1; *p; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  return id;
}

int auth_canonifyid(const char* id, char* buf, size_t bufsize) {
  if (buf && bufsize) buf[0] = '\0';
  if (!id || !buf || bufsize == 0) return IMAP_INVALID_IDENTIFIER;
  size_t len = strlen(id);
  if (len == 0 || len >= AUTH_ID_MAX || len >= bufsize || id[0] == '-' || has_bad_byte(id)) {
    return IMAP_INVALID_IDENTIFIER;
  }
  if (strcasecmp(id, kAnyone) == 0) {
    memcpy(buf, kAnyone, sizeof(kAnyone));
    return 0;
  }
  if (strncasecmp(id, kGroupPrefix, kGroupPrefixLen) == 0) {
    if (id[kGroupPrefixLen] == '\0') return IMAP_INVALID_IDENTIFIER;
    memcpy(buf, kGroupPrefix, kGroupPrefixLen);
    memcpy(buf + kGroupPrefixLen, id + kGroupPrefixLen, len - kGroupPrefixLen + 1);
    return 0;
  }
  const char* at = strrchr(id, '@');
  // "." and ".." are refused with '/' so that an id can never name a
  // directory other than its own where it becomes part of a path.
  if (strchr(id, '/') || strcmp(id, ".") == 0 || strcmp(id, "..") == 0 || at == id || (at && at[1] == '\0')) {
    return IMAP_INVALID_IDENTIFIER;
  }
  memcpy(buf, id, len + 1);
  auth_canonifydomain(buf);
  return 0;
}

int auth_newstate(const char* userid, const char* const* groups, auth_state** out) {
  *out = nullptr;
  auto state = std::make_unique<auth_state>();
  char buf[AUTH_ID_MAX];
  // A user id that canonicalises to a group or to "anyone" would grant its
  // holder rights meant for others.
  if (auth_canonifyid(userid, buf, sizeof buf) != 0 || strcmp(buf, kAnyone) == 0 ||
      strncmp(buf, kGroupPrefix, kGroupPrefixLen) == 0) {
    return IMAP_INVALID_IDENTIFIER;
  }
  state->ids.emplace_back(buf);
  state->ids.emplace_back(kAnyone);
  for (; groups && *groups; ++groups) {
    std::string name = *groups;
    if (strncasecmp(name.c_str(), kGroupPrefix, kGroupPrefixLen) != 0) name.insert(0, kGroupPrefix);
    if (auth_canonifyid(name.c_str(), buf, sizeof buf) != 0) return IMAP_INVALID_IDENTIFIER;
    state->ids.emplace_back(buf);
  }
  for (const auto& s : state->ids) state->id_ptrs.push_back(s.c_str());
  state->id_ptrs.push_back(nullptr);
  *out = state.release();
  return 0;
}

void auth_freestate(auth_state* state) {
  if (state == auth_dontCheckAcl) return;
  delete state;
}

const char* auth_userid(const auth_state* state) {
  if (!state || state->dont_check) return "";
  return state->ids[0].c_str();
}

int auth_memberof(const auth_state* state, const char* identifier) {
  if (!state || state->dont_check || !identifier) return 0;
  for (const auto& id : state->ids) {
    if (id == identifier) return 1;
  }
  return 0;
}

const char* const* auth_getgroups(const auth_state* state) {
  if (!state) return dont_check_state.id_ptrs.data();
  return state->id_ptrs.data();
}

int auth_adminFor(const auth_state* state, const char* /*owner*/) {
  if (!state) return 0;
  if (state->dont_check) return 2;
  const char* admins = config_get_string(config_getdefaultcache(), "store.admins", "");
  std::string list = admins ? admins : "";
  char buf[AUTH_ID_MAX];
  size_t pos = 0;
  while (pos < list.size()) {
    size_t start = list.find_first_not_of(" \t", pos);
    if (start == std::string::npos) break;
    size_t end = list.find_first_of(" \t", start);
    if (end == std::string::npos) end = list.size();
    std::string token = list.substr(start, end - start);
    pos = end;
    if (auth_canonifyid(token.c_str(), buf, sizeof buf) != 0 || strcmp(buf, kAnyone) == 0) continue;
    if (auth_memberof(state, buf)) return 2;
  }
  return 0;
}
