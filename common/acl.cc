#include "common/acl.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/auth.h"
#include "common/imap_err.h"
#include "common/xmalloc.h"

namespace {

constexpr char kLetters[] = "lrswipcda";  // bit i is kLetters[i]

struct Entry {
  std::string_view id;
  std::string_view rights;
};

// Splits ACL text into entries.  Stored text may have lost its last TAB or
// its rights field; such an entry is read with what is there.
std::vector<Entry> parse(const char* acl) {
  std::vector<Entry> entries;
  if (!acl) return entries;
  std::string_view rest(acl);
  while (!rest.empty()) {
    Entry e;
    size_t tab = rest.find('\t');
    e.id = rest.substr(0, tab);
    rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    tab = rest.find('\t');
    e.rights = rest.substr(0, tab);
    rest = tab == std::string_view::npos ? std::string_view() : rest.substr(tab + 1);
    if (!e.id.empty()) entries.push_back(e);
  }
  return entries;
}

long mask_of(std::string_view rights) {
  long mask = 0;
  for (char c : rights) {
    if (const char* p = strchr(kLetters, c); p && c) {
      mask |= 1L << (p - kLetters);
    } else if (c == 'k' || c == 'x') {
      mask |= ACL_CREATE;
    } else if (c == 't' || c == 'e') {
      mask |= ACL_DELETE;
    }
  }
  return mask;
}

}  // namespace

long acl_strtomask(const char* rights) { return rights ? mask_of(rights) : 0; }

char* acl_masktostr(long mask, char* buf) {
  char* out = buf;
  for (size_t i = 0; kLetters[i]; ++i) {
    if (mask & (1L << i)) *out++ = kLetters[i];
  }
  *out = '\0';
  return buf;
}

long acl_myrights(const auth_state* state, const char* acl) {
  if (state == auth_dontCheckAcl) return ACL_ALL;
  if (!state || !acl) return 0;
  long granted = 0, denied = 0;
  for (const Entry& e : parse(acl)) {
    bool negative = e.id[0] == '-';
    std::string id(negative ? e.id.substr(1) : e.id);
    if (!auth_memberof(state, id.c_str())) continue;
    (negative ? denied : granted) |= mask_of(e.rights);
  }
  return granted & ~denied;
}

int acl_modify(char** acl, const char* identifier, int mode, long access, acl_canonproc_t canonproc, const void* rock) {
  if (!identifier) return IMAP_INVALID_IDENTIFIER;
  bool negative = identifier[0] == '-';
  char canon[AUTH_ID_MAX + 1];
  canon[0] = '-';
  if (auth_canonifyid(identifier + (negative ? 1 : 0), canon + 1, AUTH_ID_MAX) != 0) {
    return IMAP_INVALID_IDENTIFIER;
  }
  const std::string_view id(negative ? canon : canon + 1);

  std::vector<Entry> entries = parse(*acl);
  long old = 0;
  bool found = false;
  for (const Entry& e : entries) {
    if (e.id == id) {
      old = mask_of(e.rights);
      found = true;
      break;
    }
  }
  long rights = mode == ACL_MODE_ADD ? (old | access) : mode == ACL_MODE_REMOVE ? (old & ~access) : access;
  rights &= ACL_ALL;
  if (canonproc) rights = canonproc(rock, std::string(id).c_str(), rights) & ACL_ALL;

  char letters[ACL_RIGHTS_BUF];
  acl_masktostr(rights, letters);
  std::string out;
  auto append = [&out](std::string_view eid, std::string_view erights) {
    out.append(eid).append(1, '\t').append(erights).append(1, '\t');
  };
  for (const Entry& e : entries) {
    if (e.id != id) {
      append(e.id, e.rights);
    } else if (rights) {
      append(id, letters);  // keeps the entry's place
    }
  }
  if (!found && rights) append(id, letters);

  char* result = static_cast<char*>(xmalloc(out.size() + 1));
  memcpy(result, out.c_str(), out.size() + 1);
  free(*acl);
  *acl = result;
  return 0;
}

int acl_remove(char** acl, const char* identifier, acl_canonproc_t canonproc, const void* rock) {
  return acl_modify(acl, identifier, ACL_MODE_SET, 0, canonproc, rock);
}

int acl_isshared(const char* acl, const char* owner) {
  for (const Entry& e : parse(acl)) {
    if (e.id[0] == '-' || (owner && e.id == owner)) continue;
    if (mask_of(e.rights) & ACL_LOOKUP) return 1;
  }
  return 0;
}

int acl_has_identifier(const char* acl, const char* identifier) {
  if (!identifier || !*identifier) return 0;
  for (const Entry& e : parse(acl)) {
    if (e.id == identifier) return 1;
  }
  return 0;
}
