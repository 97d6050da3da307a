// Store, partition, group and user objects.
#include "backup/bkstore.h"

#include <cstring>
#include <ctime>

#include "backup/bkcontext.h"
#include "backup/bkmailbox.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/mutf7.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxname.h"

namespace {

// Longest folder name collected for a user, UTF-8 with its NUL.
constexpr size_t FOLDER_UTF8_BUF = 1024;

}  // namespace

// ---------------------------------------------------------------------------
// Store

Store::Store(BkSession* s, const char* name) : BkObj(s, name, BkType::store) { exist = 1; }

std::unique_ptr<BkObj> Store::getFirstChild() {
  if (!valid) return nullptr;
  (void)bks->partitionInit();
  return getNextChild();
}

std::unique_ptr<BkObj> Store::getNextChild() {
  if (!valid) return nullptr;
  const char* p = bks->partitionNext();
  if (!p) return nullptr;
  std::string id = std::string("/") + p;
  return std::make_unique<Partition>(bks, id.c_str(), bks->partIdx());
}

// ---------------------------------------------------------------------------
// Partition

Partition::Partition(BkSession* s, const char* name, int partNum)
    : BkObj(s, name, BkType::partition), partNum_(partNum) {
  if (!valid) return;
  if (partNum_ == 0) {
    (void)bks->partitionInit();
    partNum_ = bks->context()->partitions().getPartNum(basename());
  }
  exist = partNum_ != 0;
}

std::unique_ptr<BkObj> Partition::getFirstChild() {
  if (!valid || !exist) return nullptr;
  if (!bks->groupInit()) return nullptr;
  return getNextChild();
}

std::unique_ptr<BkObj> Partition::getNextChild() {
  if (!valid || !exist) return nullptr;
  const KeyValue* g = bks->groupNext();
  if (!g) return nullptr;
  std::string id = att.objectId + "/" + g->key();
  return std::make_unique<Group>(bks, id.c_str(), partNum_, bks->groupIdx());
}

// ---------------------------------------------------------------------------
// Group

Group::Group(BkSession* s, const char* name, int partNum, int groupNum)
    : BkObj(s, name, BkType::group), partNum_(partNum), groupNum_(groupNum) {
  if (!valid) return;
  BkContext* ctx = bks->context();
  if (groupNum_ == 0) {
    (void)bks->groupInit();
    groupNum_ = ctx->groups().getGroupNum(basename());
  }
  if (const KeyValue* g = ctx->groups().group(groupNum_ - 1)) {
    regex_ = g->value();
    hasRegex_ = true;
  }
  if (partNum_ == 0) {
    (void)bks->partitionInit();
    char pbuf[1024];
    if (const char* p = parentId(pbuf, sizeof pbuf)) partNum_ = ctx->partitions().getPartNum(p);
  }
  exist = partNum_ != 0 && groupNum_ != 0;
  // One partition needs no check of where each INBOX lives.
  if (partNum_ != 0 && ctx->partitions().count() == 1) partNum_ = 0;
}

const BkAttr* Group::getAttr() {
  if (!valid || !exist) return nullptr;
  att.info.set(static_cast<uint32_t>(regex_.size()), regex_.data(), 0);
  return &att;
}

int Group::setAttr(BkAttr& a) {
  if (!valid) return 0;
  att = a;
  regex_.assign(a.info.bytes() ? a.info.bytes() : "", a.info.length());
  hasRegex_ = true;
  return 1;
}

void Group::printAttr(FILE* f) {
  att.print(f);
  std::fprintf(f, "pattern     : %s\n", hasRegex_ ? regex_.c_str() : "NOT SET");
}

std::unique_ptr<BkObj> Group::getFirstChild() {
  if (!valid || !exist) return nullptr;
  if (!bks->usercacheInit(partNum_)) return nullptr;
  bks->usercache()->rewind(groupNum_);
  return getNextChild();
}

std::unique_ptr<BkObj> Group::getNextChild() {
  if (!valid || !exist || !bks->usercache()) return nullptr;
  const char* u = bks->usercache()->next(groupNum_);
  if (!u) return nullptr;
  std::string id = att.objectId + "/" + u;
  return std::make_unique<User>(bks, id.c_str(), 1);
}

// ---------------------------------------------------------------------------
// User

User::User(BkSession* s, const char* name, int e) : BkObj(s, name, BkType::user) { exist = e; }

int User::exists() {
  if (!valid) return 0;
  if (!exist) {
    char inbox[MBOXNAME_MAX];
    (void)mboxname_toownedmailbox(nullptr, basename(), inbox);
    exist = std::strchr(basename(), '/') == nullptr &&
            mboxlist_lookup(inbox, nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  }
  return exist;
}

const BkAttr* User::getAttr() {
  if (!valid) return nullptr;
  att.timestamp = time(nullptr);
  att.datasize = 0;
  return &att;
}

namespace {

// Collects one folder of the user: the internal name without "user/<id>/",
// converted to UTF-8.
int mboxlist_find_cb(const char* name, int, int, const mboxdata*, void* rock) {
  auto* children = static_cast<Vector<String>*>(rock);
  const char* p = name;
  if (std::strncmp(p, "user/", 5) == 0) p += 5;
  const char* slash = std::strchr(p, '/');
  if (!slash) return 0;  // the INBOX is always reported as ".../INBOX"
  char utf8[FOLDER_UTF8_BUF];
  if (mutf7_toutf8(slash + 1, utf8, sizeof utf8) != 0) {
    bvlog(0, LOG_STORE_ERR, "Invalid mailbox name %s\n", name);
    return 0;
  }
  return children->add(std::make_unique<String>(utf8)) ? 0 : 1;
}

}  // namespace

std::unique_ptr<BkObj> User::getFirstChild() {
  if (!valid || !exists()) return nullptr;
  children_.clear();
  char pattern[MBOXNAME_BUF];
  int n = std::snprintf(pattern, sizeof pattern, "user/%s/%%", basename());
  // A user id that leaves no room for the pattern has no folders to list.
  if (n < 0 || static_cast<size_t>(n) >= sizeof pattern) return nullptr;
  // '%' stops at '/', so the deeper folders arrive as partial matches; the
  // pattern is cut to the user's own tree either way.
  if (mboxlist_findall(pattern, 0, -1, nullptr, auth_dontCheckAcl, mboxlist_find_cb, &children_) != 0)
    bvlog(0, LOG_STORE_ERR, "Could not get mboxlist from the database\n");
  children_.rewind();
  return getNextChild();
}

std::unique_ptr<BkObj> User::getNextChild() {
  if (!valid || !exist) return nullptr;
  BkContext* ctx = bks->context();
  while (const String* f = children_.next()) {
    if (ctx->isExcluded(f)) continue;
    std::string id = att.objectId + "/" + f->getcstring();
    auto mb = std::make_unique<Mailbox>(bks, id.c_str(), 1);
    // A folder whose name cannot be made into a valid object is skipped
    // (logged by the constructor); the user's next folder is still saved.
    if (mb->isvalid()) return mb;
  }
  return nullptr;
}
