// The restore side of the mailbox, message and link objects: putting a
// folder and its messages back into the store from the attributes and data
// of their records.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "backup/bkcontext.h"
#include "backup/bkmailbox.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/autocreate.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/quota_record.h"
#include "store/seen_db.h"

namespace {

// The older link data layout: the folder name in the first 1024 bytes (257
// used), then uid, uidvalidity, orig_uid, orig_uidvalidity big-endian.
constexpr size_t OLD_REFERENCE_SIZE = 1040;
constexpr size_t OLD_REFERENCE_NUMBERS = 1024;
static_assert(OLD_REFERENCE_NUMBERS + 4 * 4 == OLD_REFERENCE_SIZE);
// Rights the restore works with on a folder it appends to.
constexpr long RESTORE_RIGHTS = 511;

uint32_t be32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

// The new folder is flushed with the batch of folders it joins once
// filled, not on its own now (store/mailbox.h).
int create_folder(const char* name, const char* partition, const char* owner, uint32_t uidvalidity) {
  MailboxCreateUnsynced unsynced;
  return mboxlist_createmailbox(name, MBOX_VERSION, partition, owner, auth_dontCheckAcl, QUOTA_UNLIMITED,
                                QUOTA_UNLIMITED, uidvalidity);
}

// The key of the pending-link table: "joe/INBOX/17" for message 17 of
// user/joe, "joe/Sent/3" for user/joe/Sent.
std::string ref_key(const char* iname, uint32_t uid) {
  std::string k = std::strncmp(iname, "user/", 5) == 0 ? iname + 5 : iname;
  if (k.find('/') == std::string::npos) k += "/INBOX";
  return k + "/" + std::to_string(uid);
}

// provision_inbox's answer when the INBOX is to be made plainly.
constexpr int kNotProvisioned = -1;

// Makes owner's INBOX from his directory entry when a directory is
// configured, so the directory's quotas come back with it (a plain INBOX
// would be unlimited).  No mail-host check (the administrator restores the
// user here) and no welcome message: the mail restored is the user's own.
// 0 when the INBOX exists afterwards; kNotProvisioned without a directory
// or without an entry for owner ("%s LDAP entry is missing" logged); else
// the store error, nothing made: IMAP_TEMP_AUTH_FAILURE while the directory
// cannot answer, IMAP_CONFIG_ERROR when it is configured but unusable.
int provision_inbox(const char* owner, const char* partition, uint32_t uidvalidity) {
  const char* host = config_get_string(config_getdefaultcache(), "local.ugldaphost", nullptr);
  if (!host || !*host) {
    bvlog(0, LOG_STORE_WARNING, "%s LDAP entry is missing\n", owner);
    return kNotProvisioned;
  }
  if (int r = userattr_init(nullptr, nullptr)) return r;
  UserAttrs vals;
  int r = userattr_get(owner, &vals);
  // An id the directory cannot hold (the folder names allow more) has no
  // entry either.
  if (r == IMAP_MAILBOX_NONEXISTENT || r == IMAP_INVALID_USER) {
    bvlog(0, LOG_STORE_WARNING, "%s LDAP entry is missing\n", owner);
    return kNotProvisioned;
  }
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Cannot read the directory entry of %s to restore its INBOX: %s\n", owner,
          error_message(r));
    return r;
  }
  return autocreate(owner, nullptr, partition, nullptr, &vals, uidvalidity, AutocreateWelcome::kNone);
}

// Whether a directory is configured to provision INBOXes from.
bool provisioning_configured() {
  const char* host = config_get_string(config_getdefaultcache(), "local.ugldaphost", nullptr);
  return host && *host;
}

// The owner's INBOX: provisioned when the directory knows him, else made
// plainly.
int create_inbox(const char* inbox, const char* owner, const char* partition, uint32_t uidvalidity) {
  int r = provision_inbox(owner, partition, uidvalidity);
  return r == kNotProvisioned ? create_folder(inbox, partition, owner, uidvalidity) : r;
}

// Drops user's marks (seen, deleted, the last-read uid) above folder m's
// last uid.  They belong to no message yet: a restore killed before it
// flushed a folder leaves them for messages the folder does not count,
// and the run again would hand those uids, new, to other messages.  A
// state this code cannot read is left alone.  0 or a store error.
int drop_marks_above_last_uid(mailbox* m, const char* user) {
  seen* s = nullptr;
  if (int r = seen_open(m, user, &s)) return r;
  struct Close {
    seen* s;
    ~Close() { seen_close(s); }
  } close_seen{s};
  time_t lastread = 0, lastchange = 0;
  uint32_t lastuid = 0;
  char* uids = nullptr;
  if (int r = seen_lockread(s, &lastread, &lastuid, &lastchange, &uids)) return r;
  const std::string sets = uids ? uids : " ";
  std::free(uids);
  const uint32_t top = m->mbd.last_uid;
  const uint32_t mark = std::min(lastuid, top);
  const std::string line =
      std::to_string(lastread) + " " + std::to_string(mark) + " " + std::to_string(lastchange) + " " + sets;
  char* out = nullptr;
  int changed =
      seen_fixdata(&out, line.data(), line.data() + line.size(), top, time(nullptr), 0, 0, user, nullptr, nullptr);
  std::unique_ptr<char, decltype(&std::free)> own(out, &std::free);
  if (changed && !out) return 0;
  if (!changed && mark == lastuid) return 0;
  // The sets follow the three numbers.
  std::string fixed = out ? out : line;
  size_t p = 0;
  for (int i = 0; i < 3 && p != std::string::npos; ++i) p = fixed.find(' ', p) + 1;
  if (p == std::string::npos || p > fixed.size()) return 0;
  return seen_write(s, lastread, mark, lastchange, fixed.c_str() + p);
}

}  // namespace

std::string restore_refkey(const char* iname, uint32_t uid) { return ref_key(iname, uid); }

// ---------------------------------------------------------------------------
// Mailbox

int Mailbox::restoreData(Vdata* data) {
  if (!valid) return 0;
  if (exists()) return 1;
  const std::string inbox = std::string("user/") + userid_;
  const bool isInbox = inbox == intname_;
  // The folder goes back to the partition it was saved from when that
  // partition is configured here (else the default one): a user does not
  // move between partitions by being restored.
  std::string part = att.objectId.substr(1, att.objectId.find('/', 1) - 1);
  const char* partition = nullptr;
  if (bks && bks->context() && bks->context()->partitions().scanPartition() &&
      bks->context()->partitions().getPartNum(part.c_str()) > 0)
    partition = part.c_str();
  // The folders of the session's batch stay locked meanwhile: a creation
  // lock or index lock that is busy lets them go first (restore_batch.h).
  RestoreBatch* batch = bks ? bks->batch() : nullptr;
  auto no_wait = [&](auto f) -> int { return batch ? batch->without_waiting(f) : f(); };
  auto make_folder = [&](const char* name) {
    return no_wait([&] { return create_folder(name, partition, userid_, minfo_.uid_validity); });
  };
  auto make_inbox = [&](const char* name, uint32_t uidvalidity) -> int {
    auto make = [&] { return create_inbox(name, userid_, partition, uidvalidity); };
    if (!batch || !provisioning_configured()) return no_wait(make);
    // Provisioning makes several folders and asks the directory on the
    // way: not something to do holding other folders' locks.
    return bks->flushBatch() ? make() : IMAP_IOERROR;
  };
  int r = isInbox ? make_inbox(intname_, minfo_.uid_validity) : make_folder(intname_);
  if (r == IMAP_PERMISSION_DENIED && !isInbox &&
      mboxlist_lookup(inbox.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) != 0) {
    // A folder of a user without an INBOX: the INBOX first (a new UID
    // validity: its own record may come later or never).
    r = make_inbox(inbox.c_str(), 0);
    if (r == 0) r = make_folder(intname_);
  }
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Cannot create mailbox %s (rc = %d)\n", intname_, r);
    createError_ = r;
    // A directory that cannot answer now: the whole restore may be run
    // again later, and says so.
    if (error_is_temporary(r) && bks && bks->errorcode == 0) bks->errorcode = error_exit_status(r);
    valid = 0;
    return 0;
  }
  mboxstatus_ = MbStatus::brandnew;
  exist = 1;
  bks->markCreated(intname_);
  if (minfo_.sub && no_wait([&] { return mboxlist_changesub(intname_, userid_, nullptr, 1); }) != 0)
    bvlog(0, LOG_STORE_ERR, "%s cannot subscribe %s\n", intname_, userid_);
  Vdata acl, rule;
  if (data && data->length() && data->part(0, acl)) restoreAcl(std::string(acl.bytes(), acl.length()));
  if (data && data->length() && data->part(1, rule)) {
    std::string path = expireRule();
    if (path.empty() || !rule.save(path.c_str()))
      bvlog(0, LOG_STORE_ERR, "%s cannot write the expire rule\n", intname_);
  }
  return valid;
}

void Mailbox::restoreAcl(const std::string& text) {
  // "id\trights\t..." pairs; the owner's own entry came with the folder.
  auto pairs = [](const std::string& t) {
    std::vector<std::pair<std::string, std::string>> v;
    size_t pos = 0;
    while (pos < t.size()) {
      size_t t1 = t.find('\t', pos);
      if (t1 == std::string::npos) break;
      size_t t2 = t.find('\t', t1 + 1);
      if (t2 == std::string::npos) t2 = t.size();
      v.emplace_back(t.substr(pos, t1 - pos), t.substr(t1 + 1, t2 - t1 - 1));
      pos = t2 + 1;
    }
    return v;
  };
  const auto want = pairs(text);
  // Each change locks this folder's index: never waited for while the
  // session's batch holds other folders (restore_batch.h).
  RestoreBatch* batch = bks ? bks->batch() : nullptr;
  auto no_wait = [&](auto f) -> int { return batch ? batch->without_waiting(f) : f(); };
  // A new folder starts from its parent's list: entries the saved folder
  // did not have are taken away again, or a restore would grant access
  // the original never gave.
  char* now = nullptr;
  if (mboxlist_lookup(intname_, nullptr, nullptr, nullptr, nullptr, &now) == 0 && now) {
    for (const auto& entry : pairs(now)) {
      const auto& id = entry.first;
      if (id == userid_ || std::any_of(want.begin(), want.end(), [&](const auto& w) { return w.first == id; }))
        continue;
      if (int e = no_wait([&] { return mboxlist_setacl(intname_, id.c_str(), nullptr, userid_, auth_dontCheckAcl); }))
        bvlog(0, LOG_STORE_ERR, "%s cannot remove the rights of %s (rc = %d)\n", intname_, id.c_str(), e);
    }
  }
  std::free(now);
  for (const auto& entry : want) {
    // Named apart: a lambda may not capture a structured binding (clang 14).
    const std::string& id = entry.first;
    const std::string& rights = entry.second;
    if (id.empty() || id == userid_) continue;
    if (int e =
            no_wait([&] { return mboxlist_setacl(intname_, id.c_str(), rights.c_str(), userid_, auth_dontCheckAcl); }))
      bvlog(0, LOG_STORE_ERR, "%s cannot set the rights of %s (rc = %d)\n", intname_, id.c_str(), e);
  }
}

int Mailbox::appendSetup() {
  if (!valid) return 0;
  if (appendset_) return 1;
  if (mboxopen_) {
    mailbox_close(&mbox_);
    mboxopen_ = 0;
  }
  // A folder is restored as a whole: its messages are flushed together
  // when it is left (endAppend), with the other folders of the session's
  // batch, not one by one, and the index header that counts them is
  // written only after that flush.  A restore killed, or a machine that
  // crashed, before leaves the folder as it was (plus uncounted files);
  // the run again restores the rest.
  RestoreBatch* batch = bks ? bks->batch() : nullptr;
  amb_ = batch ? batch->take(intname_) : nullptr;
  if (!amb_) {
    amb_ = std::make_unique<appendmbox>();
    auto setup = [&] {
      return append_setup(amb_.get(), intname_, MAILBOX_OPEN_DEFERSYNC, MBOX_VERSION, nullptr, 0, 0);
    };
    int r = batch ? batch->without_waiting(setup) : setup();
    if (batch && batch->failed() && bks->errorcode == 0) bks->errorcode = 74;
    if (r != 0) {
      bvlog(0, LOG_STORE_ERR, "%s append setup failed!\n", intname_);
      amb_.reset();
      valid = 0;
      return 0;
    }
  }
  appendset_ = 1;
  amb_->mailbox->myrights = RESTORE_RIGHTS;
  orig_exists_ = amb_->mailbox->mbd.exists;
  if (mboxstatus_ == MbStatus::unknown && bks && bks->wasCreated(intname_)) mboxstatus_ = MbStatus::brandnew;
  if (mboxstatus_ == MbStatus::unknown)
    mboxstatus_ = amb_->mailbox->mbd.uid_validity == minfo_.uid_validity ? MbStatus::original : MbStatus::recreated;
  // A folder this restore did not make may hold what a killed run
  // appended and never flushed: its messages are uncounted and come again
  // with new uids, so the owner's marks of their old uids must go first.
  if (mboxstatus_ != MbStatus::brandnew) {
    if (int e = drop_marks_above_last_uid(amb_->mailbox, userid_))
      bvlog(0, LOG_STORE_ERR, "%s cannot clear the marks of %s above its last uid (rc = %d)\n", intname_, userid_, e);
  }
  return 1;
}

int Mailbox::endAppend() {
  if (!appendset_) return 1;
  appendset_ = 0;
  if (bks) {
    if (bks->batch()->add(intname_, std::move(amb_)) == 0) return 1;
    if (bks->errorcode == 0) bks->errorcode = 74;
    return 0;
  }
  int r = amb_->mailbox ? mailbox_flush(amb_->mailbox) : 0;
  append_finish(amb_.get());
  amb_.reset();
  if (r == 0) return 1;
  bvlog(0, LOG_STORE_ERR, "%s: the restored messages may not be on disk\n", intname_);
  return 0;
}

int Mailbox::messageExist(uint32_t orig_uid, uint32_t orig_uidvalidity) {
  if (!appendSetup()) return 0;
  mailbox* m = amb_->mailbox;
  if (!uidcache_) {
    auto cache = std::make_unique<std::vector<std::pair<uint32_t, uint32_t>>>();
    cache->reserve(orig_exists_);
    for (uint32_t n = 1; n <= orig_exists_; n++) {
      index_record rec;
      if (mailbox_read_index_record(m, n, &rec) != 0) {
        bvlog(0, LOG_STORE_ERR, "%s Cannot read index record\n", intname_);
        return 0;
      }
      // A message stored without its origin is its own origin.
      cache->emplace_back(rec.orig_uid ? rec.orig_uid : rec.uid,
                          rec.orig_uidvalidity ? rec.orig_uidvalidity : m->mbd.uid_validity);
    }
    std::sort(cache->begin(), cache->end());
    uidcache_ = std::move(cache);
  }
  return std::binary_search(uidcache_->begin(), uidcache_->end(), std::make_pair(orig_uid, orig_uidvalidity)) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Message

int Message::setFlags(uint32_t peruser, uint32_t system, const char** names) {
  int n = 0;
  if (peruser & MSGINFO_PERUSER_DELETED) names[n++] = "\\deleted";
  if (peruser & MSGINFO_PERUSER_SEEN) names[n++] = "\\seen";
  if (system & FLAG_ANSWERED) names[n++] = "\\answered";
  if (system & FLAG_FLAGGED) names[n++] = "\\flagged";
  if (system & FLAG_DRAFT) names[n++] = "\\draft";
  return n;
}

int Message::restoreExists() {
  if (!valid || !parent_) return 0;
  if (!parent_->appendSetup()) return 0;
  if (parent_->mboxstatus() == MbStatus::brandnew) return 0;
  // A message saved without its origin was its own origin in the folder
  // the backup read.
  uint32_t ou = mrec_.orig_uid ? mrec_.orig_uid : mrec_.uid;
  uint32_t ov = mrec_.orig_uidvalidity ? mrec_.orig_uidvalidity : parent_->minfo().uid_validity;
  return parent_->messageExist(ou, ov);
}

int Message::appendAs(const char* base, size_t size, char* fname) {
  if (!parent_->appendSetup()) return 0;
  const bool brandnew = parent_->mboxstatus() == MbStatus::brandnew;
  const char* names[5];
  int n = setFlags(mrec_.peruser_flags, mrec_.system_flags, names);
  // The message's identity (what POP3 clients see) goes with it: its
  // origin, or its uid and UID validity in the saved folder.  It matters
  // whenever the uid cannot be kept: an existing folder, or a link that
  // waited for its message while later ones took their uids.
  uint32_t ou = mrec_.orig_uid ? mrec_.orig_uid : mrec_.uid;
  uint32_t ov = mrec_.orig_uidvalidity ? mrec_.orig_uidvalidity : parent_->minfo().uid_validity;
  appendmsg msg;
  msg.flags = APPENDMSG_CALLER_STORAGE | APPENDMSG_FNAME_BORROWED;
  msg.base = base;
  msg.size = size;
  msg.fname = fname;
  uint32_t newuid = 0;
  int r = append_msg(parent_->amb(), &msg, static_cast<time_t>(mrec_.internaldate), names, n, parent_->userid(), ou, ov,
                     1, brandnew ? mrec_.uid : 0, &newuid);
  append_freemsg(&msg);
  appendError_ = r;
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Error appending message (rc = %d)\n", r);
    // A folder whose uids are used up refuses every further message: the
    // restore ends with the status that says so, not the generic one.
    if (r == IMAP_MAILBOX_FULL && bks && bks->errorcode == 0) bks->errorcode = error_exit_status(r);
    return 0;
  }
  (void)setLastUid();
  mrec_.uid = newuid;
  // The folders left before may have waited long enough.
  if (bks && bks->batch()->appended(size) != 0 && bks->errorcode == 0) bks->errorcode = 74;
  return 1;
}

int Message::restoreData(Vdata* data) {
  if (!valid || !parent_ || !parent_->isvalid()) return 0;
  if (!data || data->length() == 0) {
    bvlog(0, LOG_STORE_ERR, "%s message %s has no data\n", parent_->intname(), basename());
    return 0;
  }
  return appendAs(data->bytes(), data->length(), nullptr);
}

int Message::setLastUid() {
  if (!parent_ || parent_->mboxstatus() != MbStatus::brandnew || parent_->minfo().last_uid != mrec_.uid) return 1;
  mailbox* m = parent_->amb()->mailbox;
  if (!m) return 0;
  seen* s = nullptr;
  if (seen_open(m, parent_->userid(), &s) != 0) return 0;
  time_t lastread = 0, lastchange = 0;
  uint32_t lastuid = 0;
  char* uids = nullptr;
  int r = seen_lockread(s, &lastread, &lastuid, &lastchange, &uids);
  if (r == 0) r = seen_write(s, lastread, m->mbd.last_uid, lastchange, uids ? uids : " ");
  std::free(uids);
  seen_unlock(s);
  seen_close(s);
  if (r != 0)
    bvlog(0, LOG_STORE_ERR, "%s cannot write the last-read uid of %s\n", parent_->intname(), parent_->userid());
  return r == 0;
}

// ---------------------------------------------------------------------------
// Link

void Link::addRefHash(const char* iname, uint32_t uid, std::unique_ptr<BkAttr> copy) {
  auto* table = bks ? bks->refHash() : nullptr;
  if (!table) return;
  String key(ref_key(iname, uid).c_str());
  std::vector<PendingLink>* list = table->search(key);
  if (!list) list = table->insert(key, {});
  list->push_back(PendingLink{std::move(copy), mref_});
}

int Link::restoreData(Vdata* data) {
  if (!valid || !parent_ || !parent_->isvalid()) return 0;
  if (data) {
    Reference r;
    if (data->length() == REFERENCE_SIZE) {
      if (!reference_decode(data->bytes(), data->length(), &r)) {
        bvlog(0, LOG_STORE_ERR, "%s invalid link reference\n", getObjectId());
        return 0;
      }
    } else if (data->length() == OLD_REFERENCE_SIZE) {
      const char* b = data->bytes();
      r.iname.assign(b, strnlen(b, REFERENCE_INAME - 1));
      r.uid = be32(b + OLD_REFERENCE_NUMBERS);
      r.uidvalidity = be32(b + OLD_REFERENCE_NUMBERS + 4);
      r.orig_uid = be32(b + OLD_REFERENCE_NUMBERS + 8);
      r.orig_uidvalidity = be32(b + OLD_REFERENCE_NUMBERS + 12);
    } else {
      bvlog(0, LOG_STORE_ERR, "Invalid datasize %d", static_cast<int>(data->length()));
      return 0;
    }
    mref_ = r;
  }
  // The message in folder src: its content mapped and its file's path,
  // both ours whatever becomes of src.  1, 2 when it is not there (the
  // link waits for it), or 0.
  MapPtr map;
  std::string path;
  auto locate = [&](mailbox* src) -> int {
    uint32_t uid = 0;
    map_handle* mp = nullptr;
    // A missing file falls to the origin search.
    if (src->mbd.uid_validity == mref_.uidvalidity && mailbox_map_message(src, mref_.uid, nullptr, &mp) == 0)
      uid = mref_.uid;
    if (!uid) {
      uint32_t ou = mref_.orig_uid ? mref_.orig_uid : mref_.uid;
      uint32_t ov = mref_.orig_uidvalidity ? mref_.orig_uidvalidity : mref_.uidvalidity;
      for (uint32_t n = 1; n <= src->mbd.exists && !uid; n++) {
        index_record rec;
        if (mailbox_read_index_record(src, n, &rec) != 0) break;
        uint32_t ru = rec.orig_uid ? rec.orig_uid : rec.uid;
        uint32_t rv = rec.orig_uidvalidity ? rec.orig_uidvalidity : src->mbd.uid_validity;
        if (ru == ou && rv == ov) uid = rec.uid;
      }
    }
    if (!uid) return 2;
    if (!mp && mailbox_map_message(src, uid, nullptr, &mp) != 0) {
      bvlog(0, LOG_STORE_ERR, "Cannot map message\n");
      return 0;
    }
    map.reset(mp);
    char rel[MAILBOX_FNAME_LEN];
    path = src->msgpath ? src->msgpath : "";
    if (path.empty() || path.back() != '/') path += '/';
    path += mailbox_message_fname(src, uid, rel);
    return 1;
  };
  // The source folder: when it is our own, its handle is the append
  // state's (a second open would wait on our own index lock).  A folder in
  // the session's batch is still locked by this restore, and only its
  // handle there counts what the restore appended to it; the batch keeps
  // it from its flush only while the message is located.
  int found;
  if (mref_.iname == parent_->intname()) {
    if (!parent_->appendSetup()) return 0;
    found = locate(parent_->amb()->mailbox);
  } else if (RestoreBatch::Held held = bks ? bks->batch()->find(mref_.iname) : RestoreBatch::Held{}; held.m) {
    found = locate(held.m);
  } else {
    mailbox other;
    if (mailbox_open(mref_.iname.c_str(), 0, nullptr, &other) != 0) {
      found = 2;
    } else {
      found = locate(&other);
      mailbox_close(&other);
    }
  }
  if (found == 2) addRefHash(mref_.iname.c_str(), mref_.uid, att.getCopy());
  if (found != 1) return found;
  int r = appendAs(map->base, map->length, path.data());
  if (!r) bvlog(0, LOG_STORE_ERR, "%s cannot append message\n", parent_->intname());
  return r;
}
