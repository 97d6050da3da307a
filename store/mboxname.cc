#include "store/mboxname.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/glob.h"
#include "common/imap_err.h"
#include "store/storeutil.h"

namespace {

constexpr char kBasisHex[] = "0123456789abcdef";

// Names no new folder may have, tested in this order.
constexpr const char* kBadPatterns[] = {
    "",      // empty name
    "*\t*",  // a TAB
    "*\n*",  // a line feed
    "/*",    // leading separator
    "*/",    // trailing separator
    "*//*",  // empty component
    "user",  // the bare word
};

// A byte that may stand for itself in a new name: printable ASCII other than
// the wildcards % * ?.  Control bytes and every byte above 0x7E are refused;
// other characters must come as modified UTF-7.
constexpr bool is_good_char(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '%' && c != '*' && c != '?'; }

// Decoding of the modified base64 alphabet; 127 marks every other byte.
constexpr unsigned char index_mod64(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return 127;
}

constexpr const char* kInternalPrefixes[] = {"", "user", "public"};
constexpr const char* kDisplayPrefixes[] = {"", "Shared Folders/User", "Shared Folders/Public"};

constexpr char kUserPrefix[] = "user/";
constexpr size_t kUserPrefixLen = 5;

bool is_user_name(const char* name) { return strncmp(name, kUserPrefix, kUserPrefixLen) == 0; }

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void hash_fragment(const char* name, size_t len, char* result) {
  uint32_t h = 0;
  for (size_t i = 0; i < len; ++i) {
    // Bytes count as signed: directories of existing stores were laid out
    // that way, so bytes above 0x7F add negative values.
    auto c = static_cast<int32_t>(static_cast<signed char>(name[i]));  // NOLINT(bugprone-signed-char-misuse)
    h = h * 31u + static_cast<uint32_t>(c);
  }
  result[0] = '/';
  result[1] = kBasisHex[h & 15];
  result[2] = kBasisHex[(h >> 4) & 7];
  result[3] = '/';
  result[4] = kBasisHex[(h >> 7) & 15];
  result[5] = kBasisHex[(h >> 11) & 7];
  result[6] = '/';
  result[7] = '\0';
}

// True when name begins with prefix followed by its end or '/'.
bool starts_with_prefix(const char* name, const char* prefix) {
  size_t n = strlen(prefix);
  return strncmp(name, prefix, n) == 0 && (name[n] == '\0' || name[n] == '/');
}

// True when the first component of name is a leading part of prefix ending
// where prefix ends or where one of its '/' stands ("Shared Folders"
// against "Shared Folders/User").  Such a name belongs to the shared
// namespaces and is never read as a personal folder.
bool leads_prefix(const char* name, const char* prefix) {
  size_t n = strcspn(name, "/");
  return n <= strlen(prefix) && strncmp(name, prefix, n) == 0 && (prefix[n] == '\0' || prefix[n] == '/');
}

// Concatenates parts into result (MBOXNAME_BUF bytes); the callers have
// checked the total length.
void join(char* result, const char* a, const char* b, const char* c = "", const char* d = "") {
  snprintf(result, MBOXNAME_BUF, "%s%s%s%s", a, b, c, d);
}

// Checks one modified-UTF-7 run of a new name, starting after its '&'.
// Each 16-bit character must be outside ASCII and not a surrogate; the run
// must end with '-' on a character boundary with zero leftover bits.  On
// success *pp points after the '-'.
bool check_run(const unsigned char** pp) {
  const unsigned char* p = *pp;
  uint32_t bits = 0;
  int nbits = 0;
  bool any = false;
  while (*p != '-') {
    unsigned char v = index_mod64(*p++);
    if (v == 127) return false;  // also the end of the name
    bits = (bits << 6) | v;
    nbits += 6;
    if (nbits >= 16) {
      nbits -= 16;
      uint32_t unit = (bits >> nbits) & 0xFFFF;
      bits &= (1u << nbits) - 1;
      if (unit < 0x80 || (unit >= 0xD800 && unit <= 0xDFFF)) return false;
      any = true;
    }
  }
  if (!any || nbits >= 6 || bits != 0) return false;
  *pp = p + 1;
  return true;
}

}  // namespace

const char* mboxname_prefix(int id, int language) {
  if (id < 0 || id > 2) return nullptr;
  return language == -1 ? kInternalPrefixes[id] : kDisplayPrefixes[id];
}

int mboxname_tointernal(const char* name, int language, const char* userid, char* result) {
  result[0] = '\0';
  if (!name) return IMAP_MAILBOX_BADNAME;
  const char* other = mboxname_prefix(1, language);
  const char* shared = mboxname_prefix(2, language);
  const bool userid_ok = userid && !strchr(userid, '/');

  if (strcasecmp(name, "inbox") == 0) {
    if (!userid_ok || strlen(userid) + 6 > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
    join(result, kUserPrefix, userid);
    return 0;
  }

  if (starts_with_prefix(name, other)) {
    const char* rest = name + strlen(other);
    if (strlen(rest) + 6 > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
    join(result, "user", rest);
    // Another user's INBOX is addressed as <prefix>/<id>/INBOX: the bare
    // <prefix>/<id> would be the personal namespace of that user.
    char* slash = strlen(result) > 4 ? strchr(result + kUserPrefixLen, '/') : nullptr;
    if (!slash) {
      result[0] = '\0';
      return IMAP_MAILBOX_BADNAME;
    }
    if (strcasecmp(slash, "/inbox") == 0) *slash = '\0';
    store_canonifymboxname(result);
    return 0;
  }
  bool personal_allowed = !leads_prefix(name, other);

  if (starts_with_prefix(name, shared)) {
    const char* rest = name + strlen(shared);
    if (strlen(rest) + 7 > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
    join(result, "public", rest);
    return 0;
  }
  if (leads_prefix(name, shared)) personal_allowed = false;

  // The personal namespace has the empty prefix: everything else is a
  // folder of the caller.
  if (!personal_allowed || !userid_ok || name[0] == '#' || name[0] == '~') return IMAP_MAILBOX_BADNAME;
  if (strlen(userid) + strlen(name) + 7 > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
  join(result, kUserPrefix, userid, "/", name);
  return 0;
}

void mboxname_tohash(const char* name, size_t namelen, char* result) {
  hash_fragment(name, namelen ? namelen : strlen(name), result);
}

int mboxname_getpath(const char* name, const char* root, char* pathresult) {
  pathresult[0] = '\0';
  if (!name || !root) return IMAP_MAILBOX_BADNAME;
  size_t pos = strlen(root);
  // The root comes from the configuration; a root that leaves no room for
  // a folder would otherwise overrun the caller's buffer.
  if (pos + 1 >= MBOXNAME_PATH_LIMIT) return IMAP_MAILBOX_BADNAME;
  memcpy(pathresult, root, pos);
  pathresult[pos++] = '/';

  const char* rest = name;
  if (is_user_name(name)) {
    memcpy(pathresult + pos, "=user", 5);
    pos += 5;
    const char* uid = name + kUserPrefixLen;
    // Hash exactly the user id, even when it is empty.
    hash_fragment(uid, strcspn(uid, "/"), pathresult + pos);
    pos += MBOXNAME_HASH_BUF - 1;
    rest = uid;
  }
  if (pos >= MBOXNAME_PATH_LIMIT) {
    pathresult[0] = '\0';
    return IMAP_MAILBOX_BADNAME;
  }
  pathresult[pos++] = '=';

  // Each byte adds at most two, so the path stays below
  // MBOXNAME_PATH_LIMIT + 2 bytes.
  for (const char* p = rest; *p; ++p) {
    if (pos >= MBOXNAME_PATH_LIMIT) {
      pathresult[0] = '\0';
      return IMAP_MAILBOX_BADNAME;
    }
    char c = *p;
    const char* esc = nullptr;
    switch (c) {
      case '%':
        esc = "%p";
        break;
      case '+':
        esc = "%a";
        break;
      case '.':
        esc = "%d";
        break;
      case ':':
        esc = "%c";
        break;
      case '\\':
        esc = "%b";
        break;
      case '~':
        esc = "%t";
        break;
      case '/':
        esc = "/=";
        break;
      default:
        break;
    }
    if (esc) {
      pathresult[pos++] = esc[0];
      pathresult[pos++] = esc[1];
    } else if (c >= 'A' && c <= 'Z') {
      pathresult[pos++] = '+';
      pathresult[pos++] = c;
    } else {
      pathresult[pos++] = c;
    }
  }
  pathresult[pos] = '\0';
  return 0;
}

int mboxname_frompath(const char* path, char* nameresult) {
  nameresult[0] = '\0';
  if (!path || path[0] != '=') return IMAP_MAILBOX_BADNAME;
  size_t n = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(path + 1);
  while (*p) {
    if (n >= MBOXNAME_MAX - 1) {
      nameresult[0] = '\0';
      return IMAP_MAILBOX_BADNAME;
    }
    char out;
    if (*p == '%') {
      switch (p[1]) {
        case 'a':
          out = '+';
          break;
        case 'b':
          out = '\\';
          break;
        case 'c':
          out = ':';
          break;
        case 'd':
          out = '.';
          break;
        case 'p':
          out = '%';
          break;
        case 't':
          out = '~';
          break;
        default:
          // Never written by mboxname_getpath (a cut-off escape included):
          // the directory is not one of ours.
          nameresult[0] = '\0';
          return IMAP_MAILBOX_BADNAME;
      }
      p += 2;
    } else if (*p == '+' && is_ascii_letter(p[1])) {
      out = static_cast<char>(p[1] & ~0x20);
      p += 2;
    } else if (*p == '/') {
      if (p[1] != '=') {
        nameresult[0] = '\0';
        return IMAP_MAILBOX_BADNAME;
      }
      out = '/';
      p += 2;
    } else {
      out = static_cast<char>(*p++);
    }
    nameresult[n++] = out;
  }
  nameresult[n] = '\0';
  return 0;
}

char* mboxname_toownedmailbox(const char* name, const char* userid, char* buf) {
  if (name && *name) {
    snprintf(buf, MBOXNAME_MAX, "user/%s/%s", userid, name);
  } else {
    snprintf(buf, MBOXNAME_MAX, "user/%s", userid);
  }
  return buf;
}

int mboxname_userownsmailbox(const char* userid, const char* name) {
  if (!userid || !*userid || !name || strchr(userid, '/') || !is_user_name(name)) return 0;
  size_t n = strlen(userid);
  const char* rest = name + kUserPrefixLen;
  return strncmp(rest, userid, n) == 0 && (rest[n] == '\0' || rest[n] == '/');
}

char* mboxname_owner(const char* name, char* buf) {
  if (!name || !is_user_name(name)) return nullptr;
  const char* uid = name + kUserPrefixLen;
  size_t n = strcspn(uid, "/");
  // A longer id would be cut into the id of someone else.
  if (n >= MBOXNAME_OWNER_BUF) return nullptr;
  memcpy(buf, uid, n);
  buf[n] = '\0';
  return buf;
}

int mboxname_policycheck(const char* name) {
  if (!name || strlen(name) > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;

  for (const char* pattern : kBadPatterns) {
    GlobPtr g(glob_init_suppress(pattern, 0, nullptr));
    if (glob_test(g.get(), name, 0, nullptr) != -1) return IMAP_MAILBOX_BADNAME;
  }

  if (is_user_name(name)) {
    const char* uid = name + kUserPrefixLen;
    // A longer id has no owner (mboxname_owner cannot hold it), so its
    // folders would be created as shared ones with no INBOX behind them.
    if (strcspn(uid, "/") >= MBOXNAME_OWNER_BUF) return IMAP_MAILBOX_BADNAME;
    const char* second = strchr(uid, '/');
    if (second && strncasecmp(second + 1, "inbox", 5) == 0 && (second[6] == '\0' || second[6] == '/')) {
      return IMAP_MAILBOX_BADNAME;
    }
  } else if (strncmp(name, "public/", 7) != 0) {
    return IMAP_MAILBOX_BADNAME;
  }

  // "." and ".." are ordinary components: folder paths escape every dot
  // (mboxname_getpath), so they never name a directory above the folder,
  // and older stores and backups may hold such names.

  const auto* p = reinterpret_cast<const unsigned char*>(name);
  bool run_just_closed = false;
  while (*p) {
    if (*p != '&') {
      if (!is_good_char(*p)) return IMAP_MAILBOX_BADNAME;
      run_just_closed = false;
      ++p;
    } else if (p[1] == '-') {
      run_just_closed = false;  // a literal '&' separates runs
      p += 2;
    } else {
      // Abutting runs would give one name two spellings.
      if (run_just_closed) return IMAP_MAILBOX_BADNAME;
      ++p;
      if (!check_run(&p)) return IMAP_MAILBOX_BADNAME;
      run_just_closed = true;
    }
  }
  return 0;
}
