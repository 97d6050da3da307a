// The lower levels of the backup tree: a user's folder (Mailbox), each
// message in it (Message), and Link, a message whose file is shared (hard
// linked) with a message saved earlier in the same run and is saved as a
// reference to it instead of a second copy.
//
// Records (layouts in backup/bkobj.h):
//   mailbox  timestamp: modification time of store.idx at open; info:
//            MbxInfo; data: a part list, element 0 the folder's ACL text,
//            element 1 (only when the folder has a "store.expirerule"
//            file) that file's content.
//   message  timestamp: internal date; info: MsgInfo (peruser_flags are the
//            owner's seen/deleted marks); data: the message file.
//   link     timestamp: internal date; info: MsgInfo; data: Reference to
//            the copy saved first.
//
// Single-copy detection: with the session's table, each message file is
// stat'ed; a file with more links than the session's minLink is looked up
// by (device, inode).  A hit becomes a Link; a miss a Message, which enters
// the table when its data is produced (so only files actually written are
// referenced, and on an incremental run a shared file whose first copy was
// filtered out is saved in full at its next occurrence).
//
// Memory: a message's data block is a view of the mapped message file,
// kept mapped while the Message lives (the driver writes its record and
// destroys it), so saving a message costs no copy of it.
//
// Restore (backup/bkmailbox_restore.cc): a Mailbox re-creates its folder
// (UID validity, owner subscription, ACL, expire rule).  A missing INBOX
// (also one made for a sub-folder of a user without one) is provisioned
// from the owner's directory entry when local.ugldaphost is set, so it gets
// the directory's quotas (without a welcome message); a directory that
// cannot answer fails the folder with a temporary error and nothing made.
// Without a directory or an entry it is made unlimited.  A folder keeps
// an append state open from its first restored message until it is
// destroyed.  A folder created by this restore (brandnew) keeps the uids of the stream;
// one that existed gives new uids and skips messages whose original uid
// and UID validity it already holds.  A Link re-creates its message from
// the copy restored earlier (sharing the file when the store can) or is
// recorded in the session's pending-link table when that copy is not in
// the store yet.
//
// Ownership: a Mailbox is owned by the session while it is current (the
// session deletes it when the traversal moves on); Messages and Links
// belong to the caller.  A Message's parent is the session's current
// mailbox (borrowed).  One thread.  Operations return 1 for success and 0
// for failure; failures are logged through bvlog (priority 59) and make
// the object not valid or end an enumeration early.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backup/bkobj.h"
#include "backup/bkutils.h"
#include "common/map.h"
#include "store/append.h"
#include "store/index_record.h"
#include "store/mailbox.h"

class Message;

// Restore state of a folder: unknown before it was opened or created;
// original / recreated when it existed (with the stream's UID validity or
// another); brandnew when this restore created it.
enum class MbStatus { unknown = 0, original = 1, recreated = 2, brandnew = 3 };

// The owner's seen and deleted UID ranges of one folder, with lookup
// cursors that move from their last position, so ascending lookups cost
// constant time per message.
class FlagsCache {
 public:
  struct Range {
    uint32_t start, end;
  };
  // Parses "SEEN DELETED" (two lists separated by one space; each list
  // items "n" or "n:m" separated by commas).  A character that is neither
  // a digit, ':' nor ',' ends that list there and is logged with name.
  // Ranges are sorted and merged, so unordered input still looks up right.
  void parse(const char* text, size_t nmessages, const char* name);
  // Bit 0: uid is seen; bit 1: uid is deleted.
  uint32_t getflag(uint32_t uid);

 private:
  static int lookup(const std::vector<Range>& a, size_t* cursor, uint32_t uid);
  static const char* parseList(const char* p, std::vector<Range>* out, const char* name);
  std::vector<Range> seen_, deleted_;
  size_t seenIdx_ = 0, deletedIdx_ = 0;
};

class Mailbox final : public BkObj {
 public:
  // name: "/part/group/user/folder" with the folder in UTF-8.  Not valid
  // when the folder cannot be turned into an internal name (logged
  // "Invalid mailbox name %s").
  Mailbox(BkSession* s, const char* name, int exist);
  ~Mailbox() override;

  // Opens the folder once; failure is logged ("cannot open mailbox %s")
  // and makes the object not valid.  1 or 0.
  int openMbox();
  // 0 when not valid; 1 once open or when the mailbox list knows it.
  int exists() override;
  // Opens the folder and fills timestamp and MbxInfo.
  const BkAttr* getAttr() override;
  int setAttr(BkAttr& a) override;
  void printAttr(FILE* f) override;
  // The part list (ACL, expire rule).
  const Vdata* backupData() override;
  // Restore: creates the folder unless it exists (data null: a parent
  // made on the way).  1 when the folder exists afterwards, else 0
  // (logged "Cannot create mailbox %s (rc = %d)").
  int restoreData(Vdata* data) override;
  // The store's reason when restoreData failed to create the folder, else 0.
  int createError() const { return createError_; }
  // Opens the folder for appending once (index lock held until the batch it
  // joins when the object goes is flushed), or takes its append state back
  // from that batch.  1 or 0 (logged "%s append setup failed!", object not
  // valid).
  // The appends are not flushed one by one: endAppend flushes them all.
  int appendSetup();
  // Ends the append state: the folder, still locked, joins the session's
  // batch of folders to flush (backup/restore_batch.h), which makes every
  // message appended since appendSetup durable and counted; called when
  // the object goes.  1, or 0 when a flush failed (logged; the session's
  // errorcode then says 74, the I/O status, unless it already says
  // something).
  int endAppend();
  // 1 when the folder held, before this restore touched it, a message with
  // this original uid and UID validity (a record without them counts with
  // its own uid and the folder's UID validity).
  int messageExist(uint32_t orig_uid, uint32_t orig_uidvalidity);
  appendmbox* amb() { return amb_.get(); }
  MbStatus mboxstatus() const { return mboxstatus_; }
  std::unique_ptr<BkObj> getFirstChild() override;
  std::unique_ptr<BkObj> getNextChild() override;
  // Modification time of store.idx found through the mailbox list; 0 when
  // the folder is unknown.
  long getTimestamp() override;

  // The expire-rule file's path: the folder directory + "/store.expirerule".
  std::string expireRule();
  // Reads the owner's seen text into the flags cache once.  1 or 0.
  int getPerUserFlags();
  // Stats message uid's file.  1 or 0 (logged "Cannot open message file").
  int getMsgFile(uint32_t uid, DevIno* di, nlink_t* nlink, std::string* path);
  // Fills msg from the index record of uid (with per-user flags, no
  // single-copy data).  1 or 0 (logged).
  int getMsgByUid(Message* msg, uint32_t uid);

  const char* intname() const { return intname_; }
  const char* userid() const { return userid_; }
  mailbox* mbox() { return &mbox_; }
  int isOpen() const { return mboxopen_; }
  const MbxInfo& minfo() const { return minfo_; }

 private:
  MbxInfo minfo_;
  char minfoBuf_[MBXINFO_SIZE] = {};
  mailbox mbox_;
  int mboxopen_ = 0;
  uint32_t msgno_ = 0;
  char userid_[1024] = {};
  char intname_[1024] = {};
  std::unique_ptr<FlagsCache> puserflags_;
  bool flagsRead_ = false;
  bool dataBuilt_ = false;
  // Restore: makes the new folder's ACL the saved text's.
  void restoreAcl(const std::string& text);
  // Restore state.
  MbStatus mboxstatus_ = MbStatus::unknown;
  std::unique_ptr<appendmbox> amb_;  // while appendset_; then the session's batch holds it
  int appendset_ = 0;
  int createError_ = 0;
  uint32_t orig_exists_ = 0;
  std::unique_ptr<std::vector<std::pair<uint32_t, uint32_t>>> uidcache_;  // sorted
};

class Message : public BkObj {
 public:
  // A message named by its id; its folder is made the session's current
  // mailbox.  Not valid when that fails.
  Message(BkSession* s, const char* name, int exist);
  // A child of parent (the current mailbox).
  Message(BkSession* s, const char* name, Mailbox* parent);
  ~Message() override;

  // Directly named: 1 when the folder holds the uid.
  int exists() override;
  const BkAttr* getAttr() override;
  int setAttr(BkAttr& a) override;
  void printAttr(FILE* f) override;
  // The mapped message file (a view, no copy).
  const Vdata* backupData() override;
  // Restore: appends data as the message (uid of the stream in a brandnew
  // folder, else a new one).  1 or 0 (logged).
  int restoreData(Vdata* data) override;
  // Restore: 1 when the folder existed and already holds this message.
  int restoreExists();
  // Fills names with the flag names of the marks (at most 5); the count.
  static int setFlags(uint32_t peruser, uint32_t system, const char** names);
  // Brandnew folder, this message the owner's last-read one: the owner's
  // last-read uid becomes the folder's last uid.  1 or 0.
  int setLastUid();
  std::unique_ptr<BkObj> getFirstChild() override { return nullptr; }
  std::unique_ptr<BkObj> getNextChild() override { return nullptr; }

  void setMsgInfo(const index_record& rec, const DevIno& di, nlink_t linkcnt, uint32_t flags);
  // The reference the single-copy table keeps for this message.
  void getMsgRef(MsgRef* ref) const;
  const MsgInfo& mrec() const { return mrec_; }
  // The store's code for the last failed append of this object (0 when
  // none), for the operator's report.
  int appendError() const { return appendError_; }

 protected:
  Mailbox* parent_ = nullptr;
  MsgInfo mrec_;
  char mrecBuf_[MSGINFO_SIZE] = {};
  bool filled_ = false;
  // Appends base/size (with fname, the file holding it, for sharing) as
  // this message.  1 or 0.
  int appendAs(const char* base, size_t size, char* fname);
  DevIno di_;
  nlink_t linkcnt_ = 0;
  MapPtr map_;
  int appendError_ = 0;
};

class Link final : public Message {
 public:
  // ref: the copy saved first (null: zero reference, a restore fills it).
  Link(BkSession* s, const char* name, const MsgRef* ref, Mailbox* parent);
  // The Reference block.
  const Vdata* backupData() override;
  // Restore: data null (the reference set before) or a Reference (276
  // bytes, or 1040 in the older layout).  1 restored, 0 failed, 2 the
  // referenced message is not in the store yet (recorded as pending).
  int restoreData(Vdata* data) override;
  // Records this link as pending under "user/folder/uid" of the copy it
  // refers to (copy: its attributes).
  void addRefHash(const char* iname, uint32_t uid, std::unique_ptr<BkAttr> copy);
  const Reference& mref() const { return mref_; }
  void setMref(const Reference& r) { mref_ = r; }

 private:
  Reference mref_;
  char mrefBuf_[REFERENCE_SIZE] = {};
};

// The pending-link table's key of message uid of folder iname: the name
// without "user/", "/INBOX" added for an INBOX, then "/uid" (joe/INBOX/17).
std::string restore_refkey(const char* iname, uint32_t uid);
