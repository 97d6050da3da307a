// Mailbox, message and link objects.
#include "backup/bkmailbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backup/backup.h"
#include "backup/bkcontext.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "common/mutf7.h"
#include "common/unique_fd.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxname.h"
#include "store/seen_db.h"

namespace {

constexpr const char* EXPIRE_RULE_FILE = "store.expirerule";
constexpr const char* INDEX_FILE = "store.idx";
// Each range array starts with room for this many ranges at least.
constexpr size_t FLAGS_MIN_RANGES = 1000;
// Message files up to this size are read rather than mapped.
constexpr size_t READ_MAX = 1 << 20;

}  // namespace

// ---------------------------------------------------------------------------
// FlagsCache

const char* FlagsCache::parseList(const char* p, std::vector<Range>* out, const char* name) {
  // Parses up to the space that separates the lists (or the end).
  while (*p && *p != ' ') {
    if (*p == ',') {
      p++;
      continue;
    }
    if (*p < '0' || *p > '9') {
      bvlog(0, LOG_STORE_ERR, "%s invalid peruser flags: %s\n", name, p);
      while (*p && *p != ' ') p++;  // the rest of this list is dropped
      break;
    }
    char* end;
    unsigned long a = std::strtoul(p, &end, 10);
    unsigned long b = a;
    p = end;
    if (*p == ':') {
      p++;
      if (*p < '0' || *p > '9') {
        bvlog(0, LOG_STORE_ERR, "%s invalid peruser flags: %s\n", name, p);
        while (*p && *p != ' ') p++;
        break;
      }
      b = std::strtoul(p, &end, 10);
      p = end;
    }
    if (a > UINT32_MAX - 1) a = UINT32_MAX - 1;
    if (b > UINT32_MAX - 1) b = UINT32_MAX - 1;
    if (a > b) std::swap(a, b);
    out->push_back({static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
  }
  // Sorted and merged, so the moving cursor also works for lists written
  // out of order.
  std::sort(out->begin(), out->end(), [](const Range& x, const Range& y) { return x.start < y.start; });
  std::vector<Range> merged;
  merged.reserve(out->capacity());
  for (const Range& r : *out) {
    if (!merged.empty() && r.start <= merged.back().end + 1) {
      merged.back().end = std::max(merged.back().end, r.end);
    } else {
      merged.push_back(r);
    }
  }
  *out = std::move(merged);
  return p;
}

void FlagsCache::parse(const char* text, size_t nmessages, const char* name) {
  size_t room = std::max(nmessages + 2, FLAGS_MIN_RANGES);
  seen_.clear();
  deleted_.clear();
  seen_.reserve(room);
  const char* p = parseList(text, &seen_, name);
  if (*p == ' ') {
    deleted_.reserve(room);
    (void)parseList(p + 1, &deleted_, name);
  }
  seenIdx_ = deletedIdx_ = 0;
}

int FlagsCache::lookup(const std::vector<Range>& a, size_t* cursor, uint32_t uid) {
  if (a.empty()) return 0;
  size_t i = std::min(*cursor, a.size() - 1);
  // Backward while the range starts above uid, forward while it ends
  // below: ascending lookups move the cursor by at most one step each.
  while (i > 0 && a[i].start > uid) i--;
  while (i + 1 < a.size() && a[i].end < uid) i++;
  *cursor = i;
  return a[i].start <= uid && uid <= a[i].end;
}

uint32_t FlagsCache::getflag(uint32_t uid) {
  uint32_t f = 0;
  if (lookup(seen_, &seenIdx_, uid)) f |= MSGINFO_PERUSER_SEEN;
  if (lookup(deleted_, &deletedIdx_, uid)) f |= MSGINFO_PERUSER_DELETED;
  return f;
}

// ---------------------------------------------------------------------------
// Mailbox

Mailbox::Mailbox(BkSession* s, const char* name, int e) : BkObj(s, name, BkType::mailbox) {
  if (!valid) return;
  exist = e;
  char ubuf[sizeof userid_];
  const char* u = parentId(ubuf, sizeof ubuf);
  char folder[1024];
  int r = u ? mutf7_fromutf8(basename(), folder, sizeof folder) : IMAP_MAILBOX_BADNAME;
  if (r == 0) {
    std::strcpy(userid_, u);
    char internal[MBOXNAME_BUF];
    r = mboxname_tointernal(folder, 0, userid_, internal);
    if (r == 0) std::strcpy(intname_, internal);
  }
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Invalid mailbox name %s\n", basename());
    valid = 0;
  }
}

Mailbox::~Mailbox() {
  // A restore's append state (its own handle, separate from mbox_) goes
  // to the session's batch, which releases the index lock when it flushes.
  (void)endAppend();
  mailbox_close(&mbox_);
  if (bks) bks->clearMailbox(this);
}

int Mailbox::openMbox() {
  if (!valid) return 0;
  if (mboxopen_) return 1;
  if (mailbox_open(intname_, 0, nullptr, &mbox_) != 0) {
    bvlog(0, LOG_STORE_ERR, "cannot open mailbox %s\n", intname_);
    valid = 0;
    return 0;
  }
  mboxopen_ = 1;
  exist = 1;
  return 1;
}

int Mailbox::exists() {
  if (!valid) return 0;
  if (!exist) exist = mboxopen_ || mboxlist_lookup(intname_, nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  return exist;
}

const BkAttr* Mailbox::getAttr() {
  if (!valid || !openMbox()) return nullptr;
  att.timestamp = mbox_.index_mtime;
  minfo_.uid_validity = mbox_.mbd.uid_validity;
  // A folder older than an incremental cut-off is skipped with its
  // messages: its seen state and subscription are not needed then.
  if (att.timestamp >= Startdate) {
    (void)getPerUserFlags();
    minfo_.sub = mboxlist_lookup_subs(userid_, intname_) == 0 ? 1 : 0;
  }
  mbxinfo_encode(minfo_, minfoBuf_);
  att.info.set(MBXINFO_SIZE, minfoBuf_, 0);
  att.datasize = 0;
  return &att;
}

int Mailbox::setAttr(BkAttr& a) {
  if (!valid) return 0;
  att = a;
  MbxInfo m;
  if (mbxinfo_decode(a.info.bytes(), a.info.length(), &m)) minfo_ = m;
  mbxinfo_encode(minfo_, minfoBuf_);
  att.info.set(MBXINFO_SIZE, minfoBuf_, 0);
  return 1;
}

void Mailbox::printAttr(FILE* f) {
  att.print(f);
  std::fprintf(f, "UID Validity: %d\n", static_cast<int>(minfo_.uid_validity));
  std::fprintf(f, "Subscribe   : %c\n", minfo_.sub ? '1' : '0');
  std::fprintf(f, "Last UID    : %d\n", static_cast<int>(minfo_.last_uid));
}

std::string Mailbox::expireRule() {
  if (!openMbox()) return "";
  return std::string(mbox_.path) + "/" + EXPIRE_RULE_FILE;
}

const Vdata* Mailbox::backupData() {
  if (!valid || !openMbox()) return nullptr;
  if (!dataBuilt_) {
    Vdata parts;
    Vdata acl;
    const char* a = mbox_.acl ? mbox_.acl : "";
    acl.set(static_cast<uint32_t>(std::strlen(a)), a, 0);
    parts += acl;
    std::string rule = expireRule();
    struct stat st;
    if (stat(rule.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      Vdata content;
      // An empty rule file is an element of length 0 (load refuses it).
      if (st.st_size > 0 && !content.load(rule.c_str())) {
        bvlog(0, LOG_STORE_ERR, "Cannot read %s", rule.c_str());
        return nullptr;
      }
      parts += content;
    }
    mydata = std::move(parts);
    dataBuilt_ = true;
  }
  return &mydata;
}

long Mailbox::getTimestamp() {
  char* path = nullptr;
  if (!valid || mboxlist_lookup(intname_, nullptr, nullptr, &path, nullptr, nullptr) != 0) return 0;
  std::string idx = std::string(path) + "/" + INDEX_FILE;
  std::free(path);
  struct stat st;
  return stat(idx.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : 0;
}

int Mailbox::getPerUserFlags() {
  if (!valid || !openMbox()) return 0;
  if (flagsRead_ || mbox_.mbd.exists == 0) return 1;
  seen* sdb = nullptr;
  seen_folder sf;
  sf.name = mbox_.name;
  sf.path = mbox_.path;
  sf.last_uid = mbox_.mbd.last_uid;
  if (seen_open_folder(sf, userid_, &sdb) != 0) return 0;
  time_t lastread = 0, lastchange = 0;
  uint32_t lastuid = 0;
  char* uids = nullptr;
  if (seen_lockread(sdb, &lastread, &lastuid, &lastchange, &uids) != 0) {
    seen_close(sdb);
    bvlog(0, LOG_STORE_ERR, "%s Cannot get user flags\n", intname_);
    return 0;
  }
  seen_unlock(sdb);
  seen_close(sdb);
  if (uids && *uids && std::strcmp(uids, " ") != 0) {
    puserflags_ = std::make_unique<FlagsCache>();
    puserflags_->parse(uids, mbox_.mbd.exists, intname_);
  }
  std::free(uids);
  minfo_.last_uid = lastuid;
  flagsRead_ = true;
  return 1;
}

int Mailbox::getMsgFile(uint32_t uid, DevIno* di, nlink_t* nlink, std::string* path) {
  char rel[MAILBOX_FNAME_LEN];
  std::string p = mbox_.msgpath ? mbox_.msgpath : "";
  if (p.empty() || (p.back() != '/' && p.back() != '\\')) p += '/';
  p += mailbox_message_fname(&mbox_, uid, rel);
  struct stat st;
  if (stat(p.c_str(), &st) != 0) {
    bvlog(0, LOG_STORE_ERR, "Cannot open message file %s\n", p.c_str());
    return 0;
  }
  di->dev = st.st_dev;
  di->ino = st.st_ino;
  *nlink = st.st_nlink;
  if (path) *path = std::move(p);
  return 1;
}

int Mailbox::getMsgByUid(Message* msg, uint32_t uid) {
  if (!openMbox() || !getPerUserFlags()) return 0;
  for (uint32_t n = 1; n <= mbox_.mbd.exists; n++) {
    index_record rec;
    if (mailbox_read_index_record(&mbox_, n, &rec) != 0) {
      bvlog(0, LOG_STORE_ERR, "%s Cannot read index record\n", intname_);
      return 0;
    }
    if (rec.uid == uid) {
      msg->setMsgInfo(rec, DevIno{}, 0, puserflags_ ? puserflags_->getflag(uid) : 0);
      return 1;
    }
  }
  bvlog(0, LOG_STORE_ERR, "uid %lu does not exist\n", static_cast<unsigned long>(uid));
  return 0;
}

std::unique_ptr<BkObj> Mailbox::getFirstChild() {
  if (!valid || !openMbox() || !getPerUserFlags()) return nullptr;
  msgno_ = 1;
  return getNextChild();
}

std::unique_ptr<BkObj> Mailbox::getNextChild() {
  if (!valid || !mboxopen_ || msgno_ == 0 || msgno_ > mbox_.mbd.exists) return nullptr;
  index_record rec;
  if (mailbox_read_index_record(&mbox_, msgno_, &rec) != 0) {
    bvlog(0, LOG_STORE_ERR, "%s Cannot read index record\n", intname_);
    msgno_ = 0;
    return nullptr;
  }
  std::string id = att.objectId + "/" + std::to_string(rec.uid);
  DevIno di;
  nlink_t nlink = 0;
  HashTable<DevIno, MsgRef>* table = bks->hashtable();
  // A message older than an incremental cut-off is not written, so its
  // file need not be looked at.
  if (static_cast<time_t>(rec.internaldate) < Startdate) table = nullptr;
  if (table && !getMsgFile(rec.uid, &di, &nlink, nullptr)) {
    msgno_ = 0;
    return nullptr;
  }
  std::unique_ptr<Message> child;
  const MsgRef* ref = nullptr;
  if (table && nlink > bks->minLink()) ref = table->search(di);
  if (ref)
    child = std::make_unique<Link>(bks, id.c_str(), ref, this);
  else
    child = std::make_unique<Message>(bks, id.c_str(), this);
  child->setMsgInfo(rec, di, nlink, puserflags_ ? puserflags_->getflag(rec.uid) : 0);
  msgno_++;
  return child;
}

// ---------------------------------------------------------------------------
// Message

Message::Message(BkSession* s, const char* name, int e) : BkObj(s, name, BkType::message) {
  if (!valid) return;
  exist = e;
  if (bks && bks->mode() != BkMode::Other) {
    // The id, not name: restoring into another folder rewrote it.
    if (bks->setMailbox(att.objectId.c_str()) && bks->getMailbox() && bks->getMailbox()->isvalid())
      parent_ = bks->getMailbox();
    else
      valid = 0;
  }
}

Message::Message(BkSession* s, const char* name, Mailbox* parent)
    : BkObj(s, name, BkType::message), parent_(parent) {
  exist = 1;
}

Message::~Message() = default;

int Message::exists() {
  if (!valid) return 0;
  if (!exist && parent_) exist = getAttr() != nullptr;
  return exist;
}

void Message::setMsgInfo(const index_record& rec, const DevIno& di, nlink_t linkcnt, uint32_t flags) {
  mrec_.uid = rec.uid;
  mrec_.internaldate = rec.internaldate;
  mrec_.sentdate = rec.sentdate;
  mrec_.size = rec.size;
  mrec_.last_updated = rec.last_updated;
  mrec_.system_flags = rec.system_flags;
  mrec_.peruser_flags = flags;
  for (int i = 0; i < 3; i++) mrec_.user_flags[i] = rec.user_flags[i];
  mrec_.orig_uid = rec.orig_uid;
  mrec_.orig_uidvalidity = rec.orig_uidvalidity;
  di_ = di;
  linkcnt_ = linkcnt;
  att.timestamp = static_cast<time_t>(rec.internaldate);
  att.datasize = rec.size;
  msginfo_encode(mrec_, mrecBuf_);
  att.info.set(MSGINFO_SIZE, mrecBuf_, 0);
  filled_ = true;
}

const BkAttr* Message::getAttr() {
  if (!valid) return nullptr;
  if (!filled_) {
    const char* b = basename();
    char* end;
    unsigned long uid = std::strtoul(b, &end, 10);
    if (!parent_ || *b == '\0' || *end != '\0' || uid == 0 || uid > UINT32_MAX ||
        !parent_->getMsgByUid(this, static_cast<uint32_t>(uid))) {
      valid = 0;
      return nullptr;
    }
  }
  return &att;
}

int Message::setAttr(BkAttr& a) {
  if (!valid) return 0;
  att = a;
  MsgInfo m;
  if (msginfo_decode(a.info.bytes(), a.info.length(), &m)) mrec_ = m;
  msginfo_encode(mrec_, mrecBuf_);
  att.info.set(MSGINFO_SIZE, mrecBuf_, 0);
  filled_ = true;
  return valid;
}

void Message::printAttr(FILE* f) {
  char tbuf[BK_TIMESTR];
  att.print(f);
  std::fprintf(f, "UID         : %d\n", static_cast<int>(mrec_.uid));
  std::fprintf(f, "InternalDate: %s", time2str(static_cast<long>(mrec_.internaldate), tbuf));
  std::fprintf(f, "Sent Date   : %s", time2str(static_cast<long>(mrec_.sentdate), tbuf));
  std::fprintf(f, "Size        : %d\n", static_cast<int>(mrec_.size));
  std::fprintf(f, "Last Update : %s", time2str(static_cast<long>(mrec_.last_updated), tbuf));
  std::fprintf(f, "System Flag : %x\n", mrec_.system_flags);
  std::fprintf(f, "Peruser Flag: %x\n", mrec_.peruser_flags);
  std::fprintf(f, "Original UID: %d\n", static_cast<int>(mrec_.orig_uid));
  std::fprintf(f, "Orig UID VAL: %d\n", static_cast<int>(mrec_.orig_uidvalidity));
}

void Message::getMsgRef(MsgRef* ref) const {
  ref->setAttr(parent_ ? parent_->intname() : "", mrec_.uid, parent_ ? parent_->mbox()->mbd.uid_validity : 0,
               mrec_.orig_uid, mrec_.orig_uidvalidity);
}

const Vdata* Message::backupData() {
  if (!valid || !parent_ || !parent_->isvalid() || !parent_->isOpen()) return nullptr;
  int fd = -1;
  if (mailbox_map_message(parent_->mbox(), mrec_.uid, &fd, nullptr) != 0) {
    bvlog(0, LOG_STORE_ERR, "%s Cannot map message\n", parent_->intname());
    return nullptr;
  }
  UniqueFd file(fd);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    bvlog(0, LOG_STORE_ERR, "%s Cannot map message\n", parent_->intname());
    return nullptr;
  }
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
    bvlog(0, LOG_STORE_ERR, "%s message %u is too large for the backup stream\n", parent_->intname(), mrec_.uid);
    return nullptr;
  }
  size_t len = static_cast<size_t>(st.st_size);
  // Most messages are read into the session's buffer: cheaper than mapping
  // and unmapping each one.  A large one is mapped, and the record is
  // written from the file's pages without a copy of the whole message.
  std::vector<char>* buf = bks ? &bks->readBuffer() : nullptr;
  if (buf && len <= READ_MAX) {
    if (buf->size() < len) buf->resize(READ_MAX);
    size_t got = 0;
    while (got < len) {
      ssize_t n = pread(fd, buf->data() + got, len - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got != len) {
      bvlog(0, LOG_STORE_ERR, "%s Cannot map message\n", parent_->intname());
      return nullptr;
    }
    mydata.set(static_cast<uint32_t>(len), buf->data(), 0);
  } else {
    map_.reset(map_refresh(fd, nullptr, MAP_F_SEQUENTIAL, -1));
    if (!map_) {
      bvlog(0, LOG_STORE_ERR, "%s Cannot map message\n", parent_->intname());
      return nullptr;
    }
    mydata.set(static_cast<uint32_t>(map_->length), map_->base, 0);
  }
  HashTable<DevIno, MsgRef>* table = bks ? bks->hashtable() : nullptr;
  if (table && linkcnt_ > bks->minLink()) {
    MsgRef ref;
    getMsgRef(&ref);
    table->insert(di_, std::move(ref));
  }
  return &mydata;
}

// ---------------------------------------------------------------------------
// Link

Link::Link(BkSession* s, const char* name, const MsgRef* ref, Mailbox* parent) : Message(s, name, parent) {
  att.objectType = static_cast<uint16_t>(BkType::link);
  if (ref) {
    mref_.iname.assign(ref->iname(), std::min<size_t>(std::strlen(ref->iname()), REFERENCE_INAME - 1));
    mref_.uid = ref->uid();
    mref_.uidvalidity = ref->uidvalidity();
    mref_.orig_uid = ref->orig_uid();
    mref_.orig_uidvalidity = ref->orig_uidvalidity();
  }
}

const Vdata* Link::backupData() {
  if (!valid) return nullptr;
  if (!reference_encode(mref_, mrefBuf_)) return nullptr;
  mydata.set(REFERENCE_SIZE, mrefBuf_, 0);
  return &mydata;
}
