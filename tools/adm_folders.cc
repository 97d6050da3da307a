// orvadm user / folder / acl / quota: folder administration.  Every
// command acts as the store's own maintenance (auth_dontCheckAcl): the
// administrator running orvadm has every right.  They join the mailbox
// list through mboxlist_init, so the store daemon must be ready.
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/acl.h"
#include "common/auth.h"
#include "common/imap_err.h"
#include "store/autocreate.h"
#include "store/folder_record.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxname.h"
#include "store/quota.h"
#include "store/quota_record.h"
#include "tools/admin.h"

namespace {

int usage(FILE* err, const char* text) {
  fprintf(err, "Usage: orvadm %s\n", text);
  return 64;
}

int report(FILE* err, const char* what, const char* name, int r) {
  fprintf(err, "orvadm: %s %s: %s\n", what, name, error_message(r));
  return error_exit_status(r);
}

// A limit in KB or messages: a decimal number or "none".
bool parse_limit(const char* s, uint32_t* out) {
  if (strcmp(s, "none") == 0 || strcmp(s, "unlimited") == 0) {
    *out = QUOTA_UNLIMITED;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 10);
  if (errno || end == s || *end || v >= QUOTA_UNLIMITED || s[0] == '-') return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

int start(FILE* err) {
  if (mboxlist_init() != 0) {
    fprintf(err, "orvadm: cannot open the mailbox list\n");
    return 69;
  }
  return 0;
}

// "user/<id>" for a user id; ids are canonicalised first.
int inbox_name(const char* id, std::string* out, FILE* err) {
  char canon[AUTH_ID_MAX];
  if (auth_canonifyid(id, canon, sizeof canon) != 0 || strcmp(canon, "anyone") == 0 ||
      strncmp(canon, "group:", 6) == 0) {
    fprintf(err, "orvadm: \"%s\" is not a valid user id\n", id);
    return 65;
  }
  *out = std::string("user/") + canon;
  return 0;
}

std::string limit_text(uint32_t v) { return v == QUOTA_UNLIMITED ? "none" : std::to_string(v); }

void print_record(FILE* out, const char* name, const folder_record& rec) {
  const mboxdata& m = rec.mbd;
  fprintf(out, "name:         %s\n", name);
  fprintf(out, "partition:    %s\n", rec.partition.c_str());
  std::string acl;
  for (char c : rec.acl) acl += c == '\t' ? ' ' : c;
  fprintf(out, "acl:          %s\n", acl.c_str());
  fprintf(out, "version:      0x%" PRIx32 "\n", m.version);
  fprintf(out, "messages:     %" PRIu32 "\n", m.exists);
  fprintf(out, "bytes:        %" PRIu64 "\n", m.qused);
  fprintf(out, "last uid:     %" PRIu32 "\n", m.last_uid);
  fprintf(out, "uidvalidity:  %" PRIu32 "\n", m.uid_validity);
  fprintf(out, "last append:  %" PRIu32 "\n", m.last_append);
}

// The INBOX's quota limits, or none when it has no quota root.
std::optional<std::pair<uint32_t, uint32_t>> inbox_limits(const std::string& inbox) {
  quotadata qd;
  if (mboxlist_getquotaroot(inbox.c_str(), &qd, nullptr) != 0) return std::nullopt;
  return std::make_pair(qd.qmax, qd.msgqmax);
}

// user provision: the INBOX made, or its quotas brought in line, from the
// user's directory entry, as a first delivery would.
int provision(const std::string& inbox, FILE* out, FILE* err) {
  const std::string id = inbox.substr(5);
  if (int s = start(err)) return s;
  bool existed = mboxlist_lookup(inbox.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  auto before = existed ? inbox_limits(inbox) : std::nullopt;
  char* partition = nullptr;
  int r = autocreate_from_directory(id.c_str(), &partition);
  userattr_exit();
  std::unique_ptr<char, decltype(&free)> owner(partition, free);
  switch (r) {
    case 0:
      break;
    case IMAP_INVALID_USER:
      fprintf(err, "orvadm: \"%s\" is not a valid user id\n", id.c_str());
      return 65;
    case IMAP_MAILBOX_NONEXISTENT:
      fprintf(err, "orvadm: %s: no such user in the directory\n", id.c_str());
      return error_exit_status(r);
    case IMAP_WRONG_MAILHOST:
      fprintf(err, "orvadm: %s: the directory places this user on another mail host\n", id.c_str());
      return 67;
    default:
      return report(err, "cannot provision", inbox.c_str(), r);
  }
  if (!existed) {
    fprintf(out, "provisioned %s on %s\n", inbox.c_str(), partition ? partition : "?");
  } else {
    fprintf(out, "%s exists; %s\n", inbox.c_str(), inbox_limits(inbox) == before ? "unchanged" : "quotas updated");
  }
  return 0;
}

int user_cmd(int argc, char** argv, FILE* out, FILE* err) {
  const char* text =
      "user create ID [--partition P] [--quota KB] [--msgquota N] | user delete ID | user rename OLD NEW | "
      "user provision ID";
  if (argc < 3) return usage(err, text);
  const char* sub = argv[1];
  std::string inbox;
  if (int s = inbox_name(argv[2], &inbox, err)) return s;
  if (strcmp(sub, "create") == 0) {
    const char* partition = nullptr;
    uint32_t kb = QUOTA_UNLIMITED;
    uint32_t msgs = QUOTA_UNLIMITED;
    for (int i = 3; i < argc; ++i) {
      bool more = i + 1 < argc;
      if (strcmp(argv[i], "--partition") == 0 && more) {
        partition = argv[++i];
      } else if (strcmp(argv[i], "--quota") == 0 && more && parse_limit(argv[i + 1], &kb)) {
        ++i;
      } else if (strcmp(argv[i], "--msgquota") == 0 && more && parse_limit(argv[i + 1], &msgs)) {
        ++i;
      } else {
        return usage(err, text);
      }
    }
    if (int s = start(err)) return s;
    int r = mboxlist_createmailbox(inbox.c_str(), MBOX_VERSION, partition, nullptr, auth_dontCheckAcl, kb, msgs, 0);
    if (r) return report(err, "cannot create", inbox.c_str(), r);
    fprintf(out, "created %s\n", inbox.c_str());
    return 0;
  }
  if (strcmp(sub, "delete") == 0 && argc == 3) {
    if (int s = start(err)) return s;
    int r = mboxlist_deletemailbox(inbox.c_str(), nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot delete", inbox.c_str(), r);
    fprintf(out, "deleted %s\n", inbox.c_str());
    return 0;
  }
  if (strcmp(sub, "provision") == 0 && argc == 3) return provision(inbox, out, err);
  if (strcmp(sub, "rename") == 0 && argc == 4) {
    std::string newinbox;
    if (int s = inbox_name(argv[3], &newinbox, err)) return s;
    if (int s = start(err)) return s;
    int r = mboxlist_renamemailbox(inbox.c_str(), newinbox.c_str(), nullptr, nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot rename", inbox.c_str(), r);
    fprintf(out, "renamed %s to %s\n", inbox.c_str(), newinbox.c_str());
    return 0;
  }
  return usage(err, text);
}

int folder_list(const char* prefix, FILE* out, FILE* err) {
  // A plain walk of the folder records in key order.
  DB* db = mboxlist_folderdb();
  DbCursor c;
  int r = db->cursor(db, nullptr, c.out(), 0);
  std::string start_key = prefix ? prefix : "";
  size_t plen = start_key.size();
  DBT key{};
  key.flags = DB_DBT_REALLOC;
  key.data = malloc(plen + 1);
  memcpy(key.data, start_key.c_str(), plen + 1);
  key.size = static_cast<u_int32_t>(plen + 1);
  DBT data{};
  data.flags = DB_DBT_REALLOC;
  if (r == 0) r = c->get(c.get(), &key, &data, plen ? DB_SET_RANGE : DB_FIRST);
  while (r == 0) {
    const char* name = static_cast<const char*>(key.data);
    size_t nlen = strnlen(name, key.size);
    if (plen && (nlen < plen || memcmp(name, prefix, plen) != 0)) {
      r = DB_NOTFOUND;  // past the prefix: the listing is complete
      break;
    }
    std::string n(name, nlen);
    folder_record rec;
    if (folder_record_decode(data.data, data.size, &rec) == 0) {
      fprintf(out, "%s\t%s\t%" PRIu32 "\n", n.c_str(), rec.partition.c_str(), rec.mbd.exists);
    } else {
      fprintf(out, "%s\t(corrupt record)\n", n.c_str());
    }
    r = c->get(c.get(), &key, &data, DB_NEXT);
  }
  free(key.data);
  free(data.data);
  if (r != DB_NOTFOUND) return report(err, "cannot list", prefix ? prefix : "folders", mboxlist_dberror(r, "list", prefix));
  return 0;
}

int folder_cmd(int argc, char** argv, FILE* out, FILE* err) {
  const char* text =
      "folder create NAME [--partition P] | folder delete NAME | folder rename OLD NEW [--partition P] | "
      "folder show NAME | folder list [PREFIX]";
  if (argc < 2) return usage(err, text);
  const char* sub = argv[1];
  if (strcmp(sub, "list") == 0 && argc <= 3) {
    if (int s = start(err)) return s;
    return folder_list(argc == 3 ? argv[2] : nullptr, out, err);
  }
  if (argc < 3) return usage(err, text);
  const char* name = argv[2];
  const char* partition = nullptr;
  int nargs = argc;
  if (argc >= 5 && strcmp(argv[argc - 2], "--partition") == 0) {
    partition = argv[argc - 1];
    nargs -= 2;
  }
  if (strcmp(sub, "create") == 0 && nargs == 3) {
    if (int s = start(err)) return s;
    int r = mboxlist_createmailbox(name, MBOX_VERSION, partition, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                   QUOTA_UNLIMITED, 0);
    if (r) return report(err, "cannot create", name, r);
    fprintf(out, "created %s\n", name);
    return 0;
  }
  if (strcmp(sub, "delete") == 0 && nargs == 3 && !partition) {
    if (int s = start(err)) return s;
    int r = mboxlist_deletemailbox(name, nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot delete", name, r);
    fprintf(out, "deleted %s\n", name);
    return 0;
  }
  if (strcmp(sub, "rename") == 0 && nargs == 4) {
    if (int s = start(err)) return s;
    int r = mboxlist_renamemailbox(name, argv[3], partition, nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot rename", name, r);
    fprintf(out, "renamed %s to %s\n", name, argv[3]);
    return 0;
  }
  if (strcmp(sub, "show") == 0 && nargs == 3 && !partition) {
    if (int s = start(err)) return s;
    char* raw = nullptr;
    int len = mboxlist_lookup_data(name, &raw, nullptr);
    if (len < 0) return report(err, "cannot show", name, IMAP_MAILBOX_NONEXISTENT);
    folder_record rec;
    int r = folder_record_decode(raw, static_cast<size_t>(len), &rec);
    free(raw);
    if (r) return report(err, "cannot show", name, r);
    print_record(out, name, rec);
    char root[MBOXNAME_BUF];
    quotadata qd;
    if (mboxlist_quotaroot(name, root) == 0 && mboxlist_lookup_quota(root, &qd, nullptr) == 0) {
      fprintf(out, "quota root:   %s (%" PRIu64 " bytes of %s KB, %" PRIu32 " of %s messages)\n", root, qd.qrused,
              limit_text(qd.qmax).c_str(), qd.msgqrused, limit_text(qd.msgqmax).c_str());
    }
    return 0;
  }
  return usage(err, text);
}

int acl_cmd(int argc, char** argv, FILE* out, FILE* err) {
  const char* text = "acl set FOLDER ID RIGHTS | acl delete FOLDER ID   (RIGHTS: lrswipcda, +x adds, -x removes)";
  if (argc == 5 && strcmp(argv[1], "set") == 0) {
    if (int s = start(err)) return s;
    int r = mboxlist_setacl(argv[2], argv[3], argv[4], nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot set the ACL of", argv[2], r);
    fprintf(out, "%s: %s %s\n", argv[2], argv[3], argv[4]);
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "delete") == 0) {
    if (int s = start(err)) return s;
    int r = mboxlist_setacl(argv[2], argv[3], nullptr, nullptr, auth_dontCheckAcl);
    if (r) return report(err, "cannot set the ACL of", argv[2], r);
    fprintf(out, "%s: %s removed\n", argv[2], argv[3]);
    return 0;
  }
  return usage(err, text);
}

int quota_cmd(int argc, char** argv, FILE* out, FILE* err) {
  const char* text = "quota set ROOT KB [MESSAGES] | quota show ROOT   (\"none\" for no limit)";
  if ((argc == 4 || argc == 5) && strcmp(argv[1], "set") == 0) {
    uint32_t kb = 0;
    uint32_t msgs = QUOTA_UNLIMITED;
    if (!parse_limit(argv[3], &kb) || (argc == 5 && !parse_limit(argv[4], &msgs))) return usage(err, text);
    if (int s = start(err)) return s;
    if (argc == 4) {
      quotadata qd;
      if (mboxlist_lookup_quota(argv[2], &qd, nullptr) == 0) msgs = qd.msgqmax;  // keep the message limit
    }
    int r = mboxlist_setquota(argv[2], kb, msgs);
    if (r) return report(err, "cannot set the quota of", argv[2], r);
    fprintf(out, "%s: %s KB, %s messages\n", argv[2], limit_text(kb).c_str(), limit_text(msgs).c_str());
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "show") == 0) {
    if (int s = start(err)) return s;
    quotadata qd;
    int r = mboxlist_lookup_quota(argv[2], &qd, nullptr);
    if (r == DB_NOTFOUND) return report(err, "no quota root", argv[2], IMAP_QUOTAROOT_NONEXISTENT);
    if (r) return report(err, "cannot read the quota of", argv[2], IMAP_IOERROR);
    fprintf(out, "%s: %" PRIu64 " bytes of %s KB, %" PRIu32 " of %s messages, %" PRIu32 " shared folders\n", argv[2],
            qd.qrused, limit_text(qd.qmax).c_str(), qd.msgqrused, limit_text(qd.msgqmax).c_str(), qd.numshared);
    return 0;
  }
  return usage(err, text);
}

}  // namespace

int adm_user(int argc, char** argv, FILE* out, FILE* err) { return user_cmd(argc, argv, out, err); }
int adm_folder(int argc, char** argv, FILE* out, FILE* err) { return folder_cmd(argc, argv, out, err); }
int adm_acl(int argc, char** argv, FILE* out, FILE* err) { return acl_cmd(argc, argv, out, err); }
int adm_quota(int argc, char** argv, FILE* out, FILE* err) { return quota_cmd(argc, argv, out, err); }
