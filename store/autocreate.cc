#include "store/autocreate.h"

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/charset.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/xmalloc.h"
#include "store/append.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/quota.h"

namespace {

constexpr size_t kMaxUserId = 128;
constexpr size_t kMaxValue = 4096;                  // longest directory value used
constexpr size_t kMaxTemplate = size_t{64} * 1024;  // longest message template used
constexpr size_t kMaxLangTag = 35;

// A value fit to use: present, at most kMaxValue bytes, no CR, LF or NUL
// (such a value could add header lines to a composed message).
const std::string* usable(const UserAttrs* vals, UserAttr a) {
  const std::string* v = vals ? vals->first(a) : nullptr;
  if (!v || v->size() > kMaxValue || v->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return nullptr;
  return v;
}

// A value for a log line: control bytes shown as '?', at most 64 bytes.
std::string printable(std::string_view s) {
  std::string out(s.substr(0, 64));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}

bool valid_userid(const char* userid) {
  if (!userid || !*userid || strlen(userid) > kMaxUserId || strchr(userid, '/')) return false;
  std::string inbox = std::string("user/") + userid;
  return mboxname_policycheck(inbox.c_str()) == 0;
}

// The preferred language as a lower-case tag, or "" when absent or not a
// plain tag ("en,de" and "fr;binary" are not).
std::string preferred_language(const UserAttrs* vals) {
  const std::string* v = usable(vals, kAttrPreferredLanguage);
  if (!v || v->empty() || v->size() > kMaxLangTag) return "";
  std::string tag;
  for (char c : *v) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '-') return "";
    tag += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return tag;
}

// Parses a quota number: blanks, a sign, digits, then the rest in *rest.
// False when there are no digits or the digits overflow 63 bits.
bool parse_number(const char* text, int64_t* value, const char** rest) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  int64_t n = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (n > (INT64_MAX - 9) / 10) return false;
    n = n * 10 + (*p - '0');
  }
  *value = negative ? -n : n;
  *rest = p;
  return true;
}

// "-2" asks for the configured default.
bool asks_default(const std::string* v) {
  int64_t n;
  const char* rest;
  return !v || v->empty() || (parse_number(v->c_str(), &n, &rest) && n == -2 && *rest == '\0');
}

uint32_t msgquota_from_text(const char* text) {
  int64_t n;
  const char* rest;
  if (parse_number(text, &n, &rest) && *rest == '\0') {
    if (n == -1) return QUOTA_UNLIMITED;
    if (n >= 0 && n < QUOTA_UNLIMITED) return static_cast<uint32_t>(n);
  }
  bvlog(0, LOG_STORE_WARNING, "Invalid mailmsgquota value: %s", printable(text).c_str());
  return QUOTA_UNLIMITED;
}

// The comma-separated names of key, blanks trimmed.
std::vector<std::string> name_list(const char* key) {
  std::vector<std::string> names;
  const char* v = config_get_string(config_getdefaultcache(), key, nullptr);
  if (!v) return names;
  std::string_view s(v);
  while (!s.empty()) {
    size_t comma = s.find(',');
    std::string_view n = s.substr(0, comma);
    while (!n.empty() && isspace(static_cast<unsigned char>(n.front()))) n.remove_prefix(1);
    while (!n.empty() && isspace(static_cast<unsigned char>(n.back()))) n.remove_suffix(1);
    if (!n.empty()) names.emplace_back(n);
    if (comma == std::string_view::npos) break;
    s.remove_prefix(comma + 1);
  }
  return names;
}

// This host's name for the sender of composed messages.
std::string local_hostname() {
  std::vector<std::string> names = name_list("local.hostname");
  if (!names.empty()) return names[0];
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) return buf;
  return "localhost";
}

bool first_address(const char* host, std::string* addr) {
  addrinfo hints = {};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return false;
  addr->assign(reinterpret_cast<const char*>(res->ai_addr), res->ai_addrlen);
  freeaddrinfo(res);
  return true;
}

std::string_view first_label(std::string_view h) { return h.substr(0, h.find('.')); }

bool same_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Sets the INBOX limits when they differ from those stored.
int sync_quota(const char* inbox, uint32_t mailquota, uint32_t msgquota) {
  quotadata qd;
  if (int r = mboxlist_getquotaroot(inbox, &qd, nullptr)) return r;
  if (qd.qmax == mailquota && qd.msgqmax == msgquota) return 0;
  return mboxlist_setquota(inbox, mailquota, msgquota);
}

// A field name: printable ASCII other than ':' (RFC 5322 ftext).
bool is_field_line(std::string_view line, size_t* colon) {
  size_t c = line.find(':');
  if (c == 0 || c == std::string_view::npos) return false;
  for (size_t i = 0; i < c; ++i)
    if (line[i] <= ' ' || line[i] > '~') return false;
  *colon = c;
  return true;
}

}  // namespace

// ---- Quotas ---------------------------------------------------------------------

uint32_t quota_to_kb(const char* text) {
  int64_t n = 0;
  const char* rest = nullptr;
  if (text && parse_number(text, &n, &rest)) {
    if (n == -1 && *rest == '\0') return QUOTA_UNLIMITED;
    if (n >= 0) {
      uint64_t kb = 0;
      bool ok = true;
      switch (*rest) {
        case '\0':
          kb = (static_cast<uint64_t>(n) + 1023) / 1024;
          break;
        case 'k':
        case 'K':
          kb = static_cast<uint64_t>(n);
          break;
        case 'm':
        case 'M':
          ok = n <= int64_t(UINT32_MAX);
          kb = static_cast<uint64_t>(n) << 10;
          break;
        case 'g':
        case 'G':
          ok = n <= int64_t(UINT32_MAX);
          kb = static_cast<uint64_t>(n) << 20;
          break;
        default:
          ok = false;
      }
      if (*rest) ++rest;
      if (ok && *rest == '\0' && kb < QUOTA_UNLIMITED) return static_cast<uint32_t>(kb);
    }
  }
  bvlog(0, LOG_STORE_WARNING, "Invalid mailquota value: %s", printable(text ? text : "").c_str());
  return QUOTA_UNLIMITED;
}

void quotas_from_attrs(const UserAttrs* vals, uint32_t* mailquota, uint32_t* mailmsgquota) {
  config_cache* c = config_getdefaultcache();
  const std::string* q = usable(vals, kAttrMailQuota);
  *mailquota = quota_to_kb(asks_default(q) ? config_get_string(c, "store.defaultmailboxquota", "-1") : q->c_str());
  const std::string* mq = usable(vals, kAttrMailMsgQuota);
  *mailmsgquota =
      msgquota_from_text(asks_default(mq) ? config_get_string(c, "store.defaultmessagequota", "-1") : mq->c_str());
}

// ---- Mail hosts -------------------------------------------------------------------

int islocalhost(const char* host) {
  if (!host) return 0;
  for (const char* key : {"local.hostname", "local.mta.hostnamealiases"})
    for (const std::string& n : name_list(key))
      if (strcasecmp(n.c_str(), host) == 0) return 1;
  return 0;
}

int compare_mailhosts(const char* hostname, const char* userhost) {
  if (!hostname || !userhost) return 0;
  if (strcasecmp(hostname, userhost) == 0) return 1;
  if (!strchr(hostname, '.') || !strchr(userhost, '.')) {
    if (same_ignoring_case(first_label(hostname), first_label(userhost))) return 1;
  }
  int local = islocalhost(hostname) + islocalhost(userhost);
  if (local == 2) return 1;
  if (local == 1) return 0;
  std::string a, b;
  return first_address(hostname, &a) && first_address(userhost, &b) && a == b;
}

int check_mailhost(const char* hostname, const UserAttrs* vals) {
  if (!vals || vals->values[kAttrMailHost].empty()) {
    bvlog(0, LOG_STORE_DEBUG, "Missing mailhost attribute");
    return IMAP_WRONG_MAILHOST;
  }
  for (const std::string& h : vals->values[kAttrMailHost]) {
    if (h.size() > kMaxValue || h.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) continue;
    if (compare_mailhosts(hostname, h.c_str())) return 0;
  }
  return IMAP_WRONG_MAILHOST;
}

// ---- Partitions and locations --------------------------------------------------------

std::string UPGetPNameFromPath(std::string_view fullname) {
  while (!fullname.empty() && fullname.back() == '/') fullname.remove_suffix(1);
  size_t slash = fullname.rfind('/');
  if (slash != std::string_view::npos) fullname.remove_prefix(slash + 1);
  std::string name;
  for (char c : fullname)
    if (isalnum(static_cast<unsigned char>(c))) name += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return name;
}

int mailbox_location(const char* mbox, const char* myid, const char* mymailhost, const char* localhost,
                     char** ownerhost, autocreate_attr_lookup lookup) {
  if (ownerhost) *ownerhost = nullptr;
  if (!mbox) return 0;
  static constexpr char kShared[] = "Shared Folders/User/";
  char buf[MBOXNAME_OWNER_BUF];
  std::string owner;
  if (strncmp(mbox, kShared, sizeof kShared - 1) == 0) {
    const char* o = mbox + sizeof kShared - 1;
    owner.assign(o, strcspn(o, "/"));
  } else if (const char* o = mboxname_owner(mbox, buf)) {
    owner = o;
  } else {
    return 0;
  }
  if (owner.empty() || owner.find_first_of("*%") != std::string::npos) return 2;
  if (myid && owner == myid) {
    if (!mymailhost || compare_mailhosts(mymailhost, localhost)) return 0;
    if (ownerhost) *ownerhost = xstrdup(mymailhost);
    return 1;
  }
  std::string inbox = "user/" + owner;
  if (mboxlist_lookup(inbox.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) == 0) return 0;
  UserAttrs attrs;
  const std::string* host = nullptr;
  if (lookup && lookup(owner.c_str(), &attrs) == 0) host = usable(&attrs, kAttrMailHost);
  if (host && compare_mailhosts(host->c_str(), localhost)) return 0;
  if (host && ownerhost) *ownerhost = xstrdup(host->c_str());
  return 1;
}

// ---- Messages ----------------------------------------------------------------------

std::optional<std::string> GetRFC822Date(time_t now) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm local;
  if (!localtime_r(&now, &local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) {
    return std::nullopt;
  }
  // The offset is the local broken-down time read as if it were GMT, less
  // the real instant; names come from our own tables so the process locale
  // never changes them.
  struct tm copy = local;
  time_t as_gmt = timegm(&copy);
  if (as_gmt == static_cast<time_t>(-1)) return std::nullopt;
  long offset = static_cast<long>(as_gmt - now) / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char out[64];
  snprintf(out, sizeof out, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday], local.tm_mday,
           kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign, offset / 60,
           offset % 60);
  return std::string(out);
}

std::optional<std::string> DecodeMultiLineMsg(std::string_view encoded) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '$') {
      out += '\n';
    } else if (c == '\\' && i + 2 < encoded.size() && hex(encoded[i + 1]) >= 0 && hex(encoded[i + 2]) >= 0) {
      out += static_cast<char>(hex(encoded[i + 1]) * 16 + hex(encoded[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  if (out.find_first_of(std::string_view("\r\0", 2)) != std::string::npos) return std::nullopt;
  return out;
}

int ParseMsg(const char* userid, const char* mailaddress, std::string_view msg, const char* lang, time_t now,
             std::string* out) {
  std::optional<std::string> date = GetRFC822Date(now);
  if (!date) {
    bvlog(0, LOG_STORE_ERR, "Bad date for the message");
    return AUTOCREATE_BAD_TEMPLATE;
  }
  std::optional<std::string> text = msg.size() <= kMaxTemplate ? DecodeMultiLineMsg(msg) : std::nullopt;
  if (!text) {
    bvlog(0, LOG_STORE_ERR, "Failed to decode greeting message (out of memory?)");
    return AUTOCREATE_BAD_TEMPLATE;
  }
  const char* url = config_get_string(config_getdefaultcache(), "gen.accounturl", "[UNKNOWN]");
  // The address goes into the header as it is, so only a plain one is
  // taken (printable, no blanks, not over 254 bytes); else the user id.
  bool plain = mailaddress && *mailaddress && strlen(mailaddress) <= 254;
  for (const char* p = mailaddress; plain && *p; ++p) plain = *p > ' ' && *p <= '~';
  const std::string to = std::string("To: ") + (plain ? mailaddress : userid) + "\r\n";

  std::string header, body;
  bool in_header = true, ended = false;
  bool seen_to = false, seen_date = false, seen_from = false, seen_mime = false, own_type = false;
  std::string_view rest = *text;
  while (true) {
    size_t lf = rest.find('\n');
    bool last = lf == std::string_view::npos;
    std::string_view line = rest.substr(0, lf);
    size_t colon = 0;
    if (in_header && is_field_line(line, &colon)) {
      std::string_view name = line.substr(0, colon);
      if (same_ignoring_case(name, "To") || same_ignoring_case(name, "Date")) {
        // The first one is replaced; a second would contradict it.
        bool& seen = same_ignoring_case(name, "To") ? seen_to : seen_date;
        if (!seen) header += same_ignoring_case(name, "To") ? to : "Date: " + *date + "\r\n";
        seen = true;
      } else {
        seen_from |= same_ignoring_case(name, "From");
        seen_mime |= same_ignoring_case(name, "MIME-Version");
        own_type |= same_ignoring_case(name, "Content-Type") || same_ignoring_case(name, "Content-Transfer-Encoding");
        size_t vstart = colon + 1;
        if (vstart < line.size() && (line[vstart] == ' ' || line[vstart] == '\t')) ++vstart;
        std::string value;
        if (!charset_encode_header(lang, line.substr(vstart), &value)) return AUTOCREATE_BAD_TEXT;
        header.append(line.substr(0, vstart)).append(value).append("\r\n");
      }
    } else if (in_header) {
      in_header = false;
      ended = true;
      if (!line.empty()) body.append(line).append(last ? "" : "\r\n");
    } else {
      body.append(line).append(last ? "" : "\r\n");
    }
    if (last) break;
    rest.remove_prefix(lf + 1);
  }
  if (!ended) {
    bvlog(0, LOG_STORE_ERR, "Incomplete message");
    return AUTOCREATE_BAD_TEMPLATE;
  }
  // "[URL]" in the body becomes the account URL (scanning on past it, so
  // a URL holding "[URL]" is not replaced again).
  for (size_t pos = 0; (pos = body.find("[URL]", pos)) != std::string::npos; pos += strlen(url))
    body.replace(pos, 5, url);
  // Every line ends in CRLF, the last too, so the message can be sent
  // over POP3 as stored.
  if (!body.empty() && body.back() != '\n') body += "\r\n";

  if (!seen_to) header += to;
  if (!seen_date) header += "Date: " + *date + "\r\n";
  if (!seen_from) header += "From: Mail Administrator <Postmaster@" + local_hostname() + ">\r\n";
  if (!seen_mime) header += "MIME-Version: 1.0\r\n";
  if (!body.empty() && !own_type) {
    charset_body enc;
    if (!charset_encode_body(lang, body, &enc)) return AUTOCREATE_BAD_TEXT;
    header += "Content-Type: text/plain; charset=" + enc.charset + "\r\n";
    header += "Content-Transfer-Encoding: " + enc.encoding + "\r\n";
    body = std::move(enc.text);
  }
  *out = header + "\r\n" + body;
  return 0;
}

int CreateMessage_from_text(const char* userid, const char* inboxname, const char* mailaddress, const char* lang,
                            std::string_view msg, appendmbox* mbp) {
  std::string message;
  int r = ParseMsg(userid, mailaddress, msg, lang, time(nullptr), &message);
  if (r == AUTOCREATE_BAD_TEXT) {
    bvlog(0, LOG_STORE_ERR, "Failed to convert message for %s (lang=%s).", userid, lang ? lang : "[NONE]");
    return -1;
  }
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Failed to parse message for %s. Please check (lang=%s) configuration option", userid,
          lang ? lang : "[NONE]");
    return -1;
  }
  // The store's own header check, as a message arriving from outside gets.
  int state = 1;
  r = append_header_check(&state, message.data(), message.size());
  if (r == 0) {
    appendmbox own;
    appendmbox* a = mbp;
    if (!a) {
      r = append_setup(&own, inboxname, 0, APPEND_VERSION_MAIL, auth_dontCheckAcl, APPEND_ACL_NOCHECK, 0);
      a = &own;
    }
    if (r == 0) {
      r = append_fromstring(a, message.data(), message.size(), time(nullptr), nullptr, 0, nullptr, nullptr);
      if (!mbp) append_finish(&own);
    }
  }
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to deliver message to %s: %s", inboxname, error_message(r));
  return r;
}

int CreateMessage(const char* userid, const char* inboxname, const char* mailaddress, const char* userLang,
                  const char* which, appendmbox* mbp) {
  config_cache* c = config_getdefaultcache();
  // The user's language, then the site's, then the plain text.
  std::vector<std::string> langs;
  if (userLang && *userLang) langs.emplace_back(userLang);
  if (const char* site = config_get_string(c, "gen.sitelanguage", nullptr); site && *site) langs.emplace_back(site);
  const char* text = nullptr;
  std::string lang;
  for (const std::string& l : langs) {
    std::string key = std::string(which) + ";lang-" + l;
    if ((text = config_get_string(c, key.c_str(), nullptr)) && *text) {
      lang = l;
      break;
    }
  }
  if (!text || !*text) {
    text = config_get_string(c, which, nullptr);
    lang = langs.empty() ? "" : langs.front();
  }
  if (!text || !*text) return -1;
  return CreateMessage_from_text(userid, inboxname, mailaddress, lang.empty() ? nullptr : lang.c_str(), text, mbp);
}

// ---- Provisioning --------------------------------------------------------------------

int autocreate(const char* userid, const char* hostname, const char* desire_partition, char** partitionp,
               const UserAttrs* vals, uint32_t uid_validity, AutocreateWelcome welcome) {
  if (partitionp) *partitionp = nullptr;
  if (!valid_userid(userid)) {
    bvlog(0, LOG_STORE_DEBUG, "Autocreate user %s failed: %s", printable(userid ? userid : "").c_str(),
          error_message(IMAP_INVALID_USER));
    return IMAP_INVALID_USER;
  }
  if (desire_partition && (desire_partition[0] == '/' || !desire_partition[0])) desire_partition = nullptr;
  const std::string inbox = std::string("user/") + userid;

  if (hostname && vals && check_mailhost(hostname, vals)) {
    bvlog(0, LOG_STORE_DEBUG, "User %s not on this mailhost", userid);
    return IMAP_WRONG_MAILHOST;
  }
  uint32_t mailquota, msgquota;
  quotas_from_attrs(vals, &mailquota, &msgquota);

  quotadata qd;
  qd.qmax = qd.msgqmax = static_cast<uint32_t>(-3);
  bool have_root = mboxlist_getquotaroot(inbox.c_str(), &qd, nullptr) == 0;
  if (have_root && mboxlist_lookup(inbox.c_str(), nullptr, partitionp, nullptr, nullptr, nullptr) == 0) {
    if (vals && (qd.qmax != mailquota || qd.msgqmax != msgquota)) {
      if (int r = mboxlist_setquota(inbox.c_str(), mailquota, msgquota)) return r;
    }
    return 0;
  }

  // The partition: the one asked for, else the directory's.
  std::string partition = desire_partition ? desire_partition : "";
  const std::string* store = usable(vals, kAttrMailMessageStore);
  if (partition.empty() && store && !store->empty() && strcasecmp(store->c_str(), "default") != 0) {
    partition = *store;
    if (partition.find('/') != std::string::npos) partition = UPGetPNameFromPath(partition);
  }
  std::string lang = preferred_language(vals);

  int r = mboxlist_createmailbox(inbox.c_str(), MBOX_VERSION, partition.empty() ? nullptr : partition.c_str(), userid,
                                 auth_dontCheckAcl, mailquota, msgquota, uid_validity);
  if (r == 0) {
    if (welcome == AutocreateWelcome::kSend) {
      const std::string* mail = usable(vals, kAttrMail);
      (void)CreateMessage(userid, inbox.c_str(), mail ? mail->c_str() : nullptr, lang.empty() ? nullptr : lang.c_str(),
                          "gen.newuserforms", nullptr);
    }
  } else if (r == IMAP_MAILBOX_EXISTS) {
    // Another process made it meanwhile: its creator sends the welcome.
    r = 0;
    if (!have_root && mboxlist_getquotaroot(inbox.c_str(), &qd, nullptr) != 0)
      (void)mboxlist_fixquota(inbox.c_str(), nullptr);
    if (vals) {
      if (int e = sync_quota(inbox.c_str(), mailquota, msgquota))
        bvlog(0, LOG_STORE_WARNING, "Unable to set the quota of %s: %s", inbox.c_str(), error_message(e));
    }
  } else {
    if (r == IMAP_PARTITION_UNKNOWN) {
      bvlog(0, LOG_STORE_ERR, "Unable to auto create mailbox %s: %s (partition \"%s\" from mailmessagestore \"%s\")",
            inbox.c_str(), error_message(r), printable(partition).c_str(), printable(store ? *store : "").c_str());
    } else {
      bvlog(0, LOG_STORE_ERR, "Unable to auto create mailbox %s: %s", inbox.c_str(), error_message(r));
    }
    return r;
  }
  if (partitionp) (void)mboxlist_lookup(inbox.c_str(), nullptr, partitionp, nullptr, nullptr, nullptr);
  return 0;
}

int update_userquota(const char* userid, const UserAttrs& vals) {
  if (!valid_userid(userid)) return IMAP_INVALID_USER;
  uint32_t mailquota, msgquota;
  quotas_from_attrs(&vals, &mailquota, &msgquota);
  std::string inbox = std::string("user/") + userid;
  int r = sync_quota(inbox.c_str(), mailquota, msgquota);
  return r == IMAP_QUOTAROOT_NONEXISTENT ? IMAP_MAILBOX_NONEXISTENT : r;
}

std::string autocreate_hostname() { return local_hostname(); }

int autocreate_from_directory(const char* userid, char** partitionp) {
  if (partitionp) *partitionp = nullptr;
  if (int r = userattr_init(nullptr, nullptr)) return r;
  UserAttrs vals;
  if (int r = userattr_get(userid ? userid : "", &vals)) return r;
  const std::string host = autocreate_hostname();
  return autocreate(userid, host.c_str(), nullptr, partitionp, &vals, 0);
}
