// Restoring a backup stream into the store.
#include "backup/restore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "backup/backup.h"
#include "backup/bkmailbox.h"
#include "backup/bkobj.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"

namespace {

// The folder id of a record: the id itself for a folder, the id without
// its last component for a message or link.
std::string folder_of(const BkRecord& rec) {
  if (rec.type == static_cast<uint16_t>(BkType::mailbox)) return rec.id;
  size_t s = rec.id.rfind('/');
  return s == std::string::npos ? "" : rec.id.substr(0, s);
}

bool selected(const std::string& id, const UserList* names) {
  if (!names || names->count() == 0) return true;
  for (int i = 0; i < names->count(); i++) {
    std::string n = (*names)[i];
    if (n == "/" || id == n || (id.size() > n.size() && id.compare(0, n.size(), n) == 0 && id[n.size()] == '/'))
      return true;
    // A folder on the way to a named object is needed too.
    if (n.size() > id.size() && n.compare(0, id.size(), id) == 0 && n[id.size()] == '/') return true;
  }
  return false;
}

class Restorer {
 public:
  Restorer(BkSession* bks, const RestoreOptions& opt, FILE* out, FILE* err)
      : bks_(bks), opt_(opt), out_(out), err_(err) {}

  int run(BkInput& dev);
  RestoreCounts counts;

 private:
  void record(BkRecord& rec);
  void mailboxRecord(BkRecord& rec, BkAttr& a, Vdata& data);
  void messageRecord(BkRecord& rec, BkAttr& a, Vdata& data);
  // Leaves the current folder (its append state ends) and restores the
  // links that waited for messages restored in it.
  void flushArrived();
  // Restores one waiting link into its own folder; 1, 0 or 2.
  int resolve(PendingLink& pl);
  // rc: the store's reason when one is known (named on the line).
  void fail(const char* what, const std::string& id, int rc = 0) {
    counts.failed++;
    if (rc)
      std::fprintf(err_, "Cannot restore %s %s: %s\n", what, id.c_str(), error_message(rc));
    else
      std::fprintf(err_, "Cannot restore %s %s\n", what, id.c_str());
  }

  BkSession* bks_;
  const RestoreOptions& opt_;
  FILE* out_;
  FILE* err_;
  std::vector<std::string> arrived_;  // keys of messages links wait for
};

int Restorer::run(BkInput& dev) {
  char hb[HEADER_SIZE];
  Header h;
  if (!dev.read(hb, sizeof hb) || !header_decode(hb, sizeof hb, &h)) {
    std::fprintf(err_, "Not a backup volume: no volume header\n");
    return 65;
  }
  if (opt_.verbose) h.print(out_);
  BkRecord rec;
  std::string e;
  int rc = 0;
  for (;;) {
    if (bks_->interrupted()) {
      std::fprintf(err_, "Restore interrupted\n");
      rc = 75;
      break;
    }
    int r = bkobj_read_record(dev, &rec, &e);
    if (r == 0) break;
    if (r < 0) {
      std::fprintf(err_, "%s\n", e.c_str());
      bvlog(0, LOG_STORE_ERR, "restore stopped: %s\n", e.c_str());
      rc = 65;
      break;
    }
    record(rec);
  }
  flushArrived();
  // No folder may keep its append state (and index lock) while links are
  // put into folders below.
  bks_->setMailbox(nullptr, 0);
  // Links still waiting: their message may be in the store by now (an
  // earlier restore, or it never left); otherwise they are reported.  The
  // batch is flushed first: a folder it holds is open for appending only,
  // and a message found by its origin (its folder's UID validity changed)
  // is looked for in a folder opened whole.
  if (auto* table = bks_->refHash()) {
    (void)bks_->flushBatch();  // a failure is logged and ends the run with 74
    std::vector<PendingLink> left;
    table->forEach([&](const String&, std::vector<PendingLink>& v) {
      for (auto& pl : v) left.push_back(std::move(pl));
      v.clear();
    });
    for (auto& pl : left) {
      std::string id = pl.attr->objectId;
      int r = resolve(pl);
      if (r == 1) {
        counts.links++;
        continue;
      }
      if (r == 2) {
        std::fprintf(err_, "Link %s: message %s/%u is not in the store\n", id.c_str(), pl.ref.iname.c_str(),
                     pl.ref.uid);
        bvlog(0, LOG_STORE_ERR, "link %s not restored: message %s/%u is not in the store\n", id.c_str(),
              pl.ref.iname.c_str(), pl.ref.uid);
      }
      fail("link", id);
    }
    // Entries the last pass put back were reported above.
    table->forEach([](const String&, std::vector<PendingLink>& v) { v.clear(); });
  }
  bks_->setMailbox(nullptr, 0);
  // The folders left last, still in the batch, are flushed and counted
  // before the run ends; any failed flush makes the run fail with the I/O
  // status, however the objects fared.
  if (!bks_->flushBatch() || bks_->batch()->failed()) {
    std::fprintf(err_, "Cannot flush the restored messages to disk\n");
    if (rc == 0) rc = 74;
  }
  // Each folder's files were flushed with its batch; the folder records
  // and usage its appends committed are in the database log, which below
  // sync level 2 is written but not flushed per commit.  One checkpoint
  // here makes them as durable as the files, so a restore that ends
  // without an error has everything on disk.
  if (mailbox_sync().index > 0 && mboxlist_checkpoint_force() != 0) {
    std::fprintf(err_, "Cannot flush the mailbox list to disk\n");
    if (rc == 0) rc = 74;
  }
  // A cause the objects named (a full folder) says more than "some failed".
  if (rc == 0 && bks_->errorcode) rc = bks_->errorcode;
  if (rc == 0 && counts.failed) rc = 70;
  return rc;
}

void Restorer::record(BkRecord& rec) {
  if (rec.type < static_cast<uint16_t>(BkType::mailbox) || rec.type >= BK_NTYPES) return;
  if (!selected(rec.id, opt_.names)) return;
  rec.id = restore_rename_id(rec.id, opt_.users);
  Mailbox* cur = bks_->getMailbox();
  if (!arrived_.empty() && (!cur || opt_.into || folder_of(rec) != cur->getObjectId())) flushArrived();
  BkAttr a;
  a.objectId = rec.id;
  a.objectType = rec.type;
  a.timestamp = static_cast<time_t>(rec.timestamp);
  a.info.set(static_cast<uint32_t>(rec.info.size()), rec.info.data(), 0);
  a.datasize = static_cast<uint32_t>(rec.data.size());
  Vdata data(static_cast<uint32_t>(rec.data.size()), rec.data.data(), 0);
  if (rec.type == static_cast<uint16_t>(BkType::mailbox))
    mailboxRecord(rec, a, data);
  else
    messageRecord(rec, a, data);
}

void Restorer::mailboxRecord(BkRecord& rec, BkAttr& a, Vdata& data) {
  Mailbox* m = nullptr;
  if (opt_.into) {
    auto mb = std::make_unique<Mailbox>(bks_, opt_.into, 0);
    if (!mb->isvalid()) return fail("folder", opt_.into);
    a.objectId = opt_.into;
    m = mb.release();
    bks_->setMailbox(m, 1);
  } else {
    std::string name = rec.id;
    BkObj* obj = bks_->createBkObj(name.data(), rec.type);
    if (!obj) return fail("folder", rec.id);
    m = static_cast<Mailbox*>(obj);
  }
  (void)m->setAttr(a);
  // The ACL names users by id: a renamed user's entries are renamed too,
  // or the old name (perhaps someone else now) would keep his rights.
  Vdata renamed, acl, rule;
  if (opt_.users && data.part(0, acl)) {
    std::string text = restore_rename_acl(std::string(acl.bytes(), acl.length()), opt_.users);
    Vdata a2(static_cast<uint32_t>(text.size()), text.data(), 0);
    renamed += a2;
    if (data.part(1, rule)) renamed += rule;
  }
  if (m->restoreData(renamed.length() ? &renamed : &data) != 1) return fail("folder", a.objectId, m->createError());
  counts.folders++;
  if (opt_.verbose) std::fprintf(out_, "%s\n", a.objectId.c_str());
}

void Restorer::messageRecord(BkRecord& rec, BkAttr& a, Vdata& data) {
  std::string name = rec.id;
  BkObj* obj = bks_->createBkObj(name.data(), rec.type);
  if (!obj) return fail(rec.type == static_cast<uint16_t>(BkType::link) ? "link" : "message", rec.id);
  std::unique_ptr<Message> msg(static_cast<Message*>(obj));
  (void)msg->setAttr(a);
  const uint32_t tapeuid = msg->mrec().uid;
  Mailbox* parent = bks_->getMailbox();
  if (msg->restoreExists()) {
    counts.skipped++;
    return;
  }
  int r;
  if (rec.type == static_cast<uint16_t>(BkType::link)) {
    auto* link = static_cast<Link*>(msg.get());
    if (opt_.users && data.length() == REFERENCE_SIZE) {
      // The reference names the copy by its folder, whose user was renamed.
      Reference ref;
      if (reference_decode(data.bytes(), data.length(), &ref)) {
        ref.iname = restore_rename_iname(ref.iname, opt_.users);
        link->setMref(ref);
        r = link->restoreData(nullptr);
      } else {
        r = link->restoreData(&data);
      }
    } else {
      r = link->restoreData(&data);
    }
    if (r == 2) {
      counts.pending++;
      if (opt_.verbose) std::fprintf(out_, "%s (waiting for its message)\n", a.objectId.c_str());
      return;
    }
    if (r == 1) counts.links++;
  } else {
    r = msg->restoreData(&data);
    if (r == 1) counts.messages++;
  }
  if (r != 1) {
    return fail(rec.type == static_cast<uint16_t>(BkType::link) ? "link" : "message", a.objectId, msg->appendError());
  }
  if (opt_.verbose) std::fprintf(out_, "%s\n", msg->getObjectId());
  // Links waiting for this message are restored once its folder is left.
  if (auto* table = bks_->refHash(); table && parent && !opt_.into) {
    std::string key = restore_refkey(parent->intname(), tapeuid);
    const std::vector<PendingLink>* v = table->search(String(key.c_str()));
    if (v && !v->empty()) arrived_.push_back(key);
  }
}

int Restorer::resolve(PendingLink& pl) {
  std::string id = pl.attr->objectId;
  size_t s = id.rfind('/');
  if (s == std::string::npos) return 0;
  auto mb = std::make_unique<Mailbox>(bks_, id.substr(0, s).c_str(), 0);
  if (!mb->isvalid() || (!mb->exists() && mb->restoreData(nullptr) != 1)) return 0;
  Link link(bks_, id.c_str(), nullptr, mb.get());
  (void)link.setAttr(*pl.attr);
  link.setMref(pl.ref);
  if (link.restoreExists()) return 1;
  return link.restoreData(nullptr);
}

void Restorer::flushArrived() {
  if (arrived_.empty()) return;
  bks_->setMailbox(nullptr, 0);  // ends the append state of the folder left
  auto* table = bks_->refHash();
  for (const std::string& key : arrived_) {
    std::vector<PendingLink>* v = table->search(String(key.c_str()));
    if (!v) continue;
    std::vector<PendingLink> items = std::move(*v);
    v->clear();
    for (auto& pl : items) {
      int r = resolve(pl);
      if (r == 1) {
        counts.links++;
        counts.pending--;
      } else if (r == 0) {
        counts.pending--;
        fail("link", pl.attr->objectId);
      }
      // 2: put back in the table by the link itself.
    }
  }
  arrived_.clear();
}

}  // namespace

std::string restore_rename_id(const std::string& id, const UserHash* users) {
  if (!users) return id;
  // "/part/group/user[/...]": the user is the fourth component.
  size_t a = 0;  // the first '/'; the user follows the third
  for (int i = 0; i < 2; i++) {
    a = id.find('/', a + 1);
    if (a == std::string::npos) return id;
  }
  size_t b = id.find('/', a + 1);
  std::string user = id.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  const char* to = users->search(user.c_str());
  if (!to) return id;
  return id.substr(0, a + 1) + to + (b == std::string::npos ? "" : id.substr(b));
}

std::string restore_rename_iname(const std::string& iname, const UserHash* users) {
  if (!users || iname.compare(0, 5, "user/") != 0) return iname;
  size_t b = iname.find('/', 5);
  std::string user = iname.substr(5, b == std::string::npos ? std::string::npos : b - 5);
  const char* to = users->search(user.c_str());
  if (!to) return iname;
  return std::string("user/") + to + (b == std::string::npos ? "" : iname.substr(b));
}

std::string restore_rename_acl(const std::string& acl, const UserHash* users) {
  if (!users) return acl;
  std::string out;
  size_t pos = 0;
  while (pos < acl.size()) {
    size_t tab = acl.find('\t', pos);
    if (tab == std::string::npos) tab = acl.size();
    std::string id = acl.substr(pos, tab - pos);
    bool negative = !id.empty() && id[0] == '-';
    const char* to = users->search(id.c_str() + (negative ? 1 : 0));
    if (to) {
      id.resize(negative ? 1 : 0);
      id += to;
    }
    out += id;
    // The rights follow unchanged.
    size_t end = tab < acl.size() ? acl.find('\t', tab + 1) : std::string::npos;
    if (end == std::string::npos) end = acl.size();
    out.append(acl, tab, end - tab);
    if (end < acl.size()) out += '\t';
    pos = end + 1;
  }
  return out;
}

int restore_prompt(prompttape_type, void* callerdata) {
  FILE* in = callerdata ? static_cast<FILE*>(callerdata) : stdin;
  std::fprintf(stderr, "End of volume. Please insert the next volume.\n");
  for (;;) {
    std::fprintf(stderr, "Enter next device name ($ to cancel)> ");
    std::fflush(stderr);
    char line[1024];
    if (!std::fgets(line, sizeof line, in)) return -1;
    size_t n = std::strlen(line);
    if (n && line[n - 1] == '\n') line[--n] = '\0';
    if (std::strcmp(line, "$") == 0) return -1;
    int fd = open(line, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    std::perror("Couldn't open file");
  }
}

int restore_prompt_flushing(prompttape_type type, void* callerdata) {
  auto* p = static_cast<RestorePrompt*>(callerdata);
  if (p->bks) (void)p->bks->flushBatch();  // a failure is logged and ends the run with 74
  return restore_prompt(type, p->answers);
}

int restore_stream(BkInput& dev, BkSession* bks, const RestoreOptions& opt, FILE* out, FILE* err,
                   RestoreCounts* counts) {
  Restorer r(bks, opt, out, err);
  int rc = r.run(dev);
  if (counts) *counts = r.counts;
  return rc;
}
