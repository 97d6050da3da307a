// The backup context, its sessions, the store-wide tables and the name
// lists.
//
// BkContext is the process-wide environment of a backup run: it starts the
// configuration and the log, holds back interrupt and termination signals
// (they are recorded and polled between objects), opens the mailbox list
// and owns the tables every object consults: the configured partitions
// (BkPartition), the user groups of "backup-groups.conf" (BkGroup) and the
// folder exclusion list.  A BkSession is one backup (or restore) pass: it
// turns object names into typed objects (createBkObj), keeps the current
// mailbox, the single-copy table, the cursors over partitions and groups,
// the user cache and its error code, which becomes the exit code.
// BkUserCache lists the users of each group on one partition by walking the
// partition's user directories (store/userscan.h).  UserList is the ordered list of object
// names to save; UserHash the restore's map of renamed users.
//
// Group file, "<local.serverroot>/config/backup-groups.conf": one group per
// line, "name = pattern".  Leading spaces and spaces around the name and
// the pattern are dropped (spaces only, not tabs); a line without '=' or
// with an empty name or pattern is ignored; lines are read in pieces of at
// most 510 characters.  A pattern is a POSIX extended regular expression
// that must match a whole user id; a user belongs to the first group, in
// file order, whose pattern matches.  Without the file there is one group,
// "user", holding every user.
//
// Ownership: the context owns its sessions and tables; objects from
// createBkObj belong to the caller, who releases them with deleteBkObj
// (which leaves the session's current mailbox alone).  The current mailbox
// is owned by the session.  The backup uses one session on one thread; the
// partition and group tables are filled under their own mutexes so sessions
// on several threads could share them.  Errors are reported as exit codes
// kept in the context and the sessions (0 while all is well).
#pragma once

#include <regex.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "backup/bkobj.h"
#include "backup/bkutils.h"
#include "backup/restore_batch.h"

class BkContext;
class Mailbox;

// The configured partition names, in configuration order.
class BkPartition {
 public:
  // Fills the table once.  1 when at least one partition is known.
  int scanPartition();
  // 1-based position of name, 0 when it is not a partition.
  int getPartNum(const char* name);
  int count() const { return parts_.count(); }
  // Name of partition i (from 0), or null.
  const char* name(int i) const {
    const String* s = parts_[i];
    return s ? s->getcstring() : nullptr;
  }

 private:
  std::mutex ml_;
  bool scanned_ = false;
  Vector<String> parts_{100};
};

// The user groups: (name, pattern) pairs in file order.
class BkGroup {
 public:
  BkGroup() = default;
  ~BkGroup();
  BkGroup(const BkGroup&) = delete;
  BkGroup& operator=(const BkGroup&) = delete;

  // Fills the table once from the group file (or the default group).  A
  // non-null which keeps only the group of that name.  1 when at least one
  // group exists.
  int scanGroup(const char* which);
  // Adds the groups of the file at path (only the one named which, when
  // given).  0 when the file cannot be read (logged "Can't open file %s").
  int getconfig(const char* path, const char* which);
  // Compiles the patterns once; a pattern that does not compile is logged
  // ("Invalid regex: %s") and matches nobody.  1.
  int compileRegex();
  // Index (from 0) of the first group whose pattern matches the whole user
  // id; -1 for none; 0 when every user is in the one default group.
  int which(const char* user);
  // 1-based position of the group called name, 0 when absent.
  int getGroupNum(const char* name);
  int count() const { return groups_.count(); }
  const KeyValue* group(int i) const { return groups_[i]; }
  int all() const { return all_; }

 private:
  std::mutex ml_;
  bool scanned_ = false;
  bool compiled_ = false;
  int all_ = 0;
  Vector<KeyValue> groups_{100};
  // One per group; usable_[i] tells whether regexp_[i] compiled.
  std::vector<regex_t> regexp_;
  std::vector<char> usable_;
};

// The object names to save, in the order added, as UTF-8.
class UserList {
 public:
  UserList() : names_(100) {}
  // Adds name: one not beginning with '/' becomes "/primary/NAME" when it
  // holds a '/', else "/primary/user/NAME"; one trailing '/' is dropped;
  // the result is converted from encoding (null: taken as UTF-8) to UTF-8.
  // 0 for an empty name, a name of 1024 bytes or more (logged "Username is
  // too long"), or one that cannot be converted (logged); 1 when added.
  int adduser(const char* name, const char* encoding);
  // Reads one name per line (a last line without a newline is taken too;
  // empty lines are skipped).  canonical 1: each passes through adduser; 0:
  // converted and kept as it is.  A line of 1024 or more characters is
  // dropped whole with "Username is too long: %s... skip".  0 when the file
  // cannot be read (logged "Can't open file %s").
  int load(const char* file, const char* encoding, int canonical);
  // Appends a name as it is (already UTF-8).
  void add(const char* name) { names_.add(std::make_unique<String>(name)); }

  int count() const { return names_.count(); }
  // Name i, or null past the end.
  const char* operator[](int i) const {
    const String* s = names_[i];
    return s ? s->getcstring() : nullptr;
  }
  void rewind() { names_.rewind(); }
  // The next name at the cursor, null at the end.
  const char* next() {
    const String* s = names_.next();
    return s ? s->getcstring() : nullptr;
  }

 private:
  int append(const std::string& name, const char* encoding);
  Vector<String> names_;
};

// The users of each group found on one partition.
class BkUserCache {
 public:
  // 1 when the cache was built for partNum.
  int isPartNum(int partNum) const { return built_ && partNum_ == partNum; }
  // Rebuilds the lists for partition partNum (1-based; 0: the first
  // partition, without checking where each INBOX lives).  0 when the
  // patterns cannot be compiled or no partition is known.
  int scanUser(int partNum, BkPartition& parts, BkGroup& groups);
  // Cursor over the users of group groupNum (1-based); group 0 has none.
  void rewind(int groupNum);
  const char* next(int groupNum);

 private:
  bool built_ = false;
  int partNum_ = 0;
  std::vector<std::unique_ptr<UserList>> cache_;
};

// The restore's map of renamed users, old id -> new id.
class UserHash {
 public:
  // Reads "old=new" lines; a backslash takes the next character literally
  // and the split is at the first '=' not escaped.  Lines with an empty side
  // are ignored.  0 when the file cannot be read (logged).
  int load(const char* file);
  // The new id of user, or null.
  const char* search(const char* user) const;

 private:
  HashTable<String, String> map_;
};

// A link waiting for the message it refers to: its attributes and
// reference.
struct PendingLink {
  std::unique_ptr<BkAttr> attr;
  Reference ref;
};

class BkSession {
 public:
  BkSession(BkContext* ctx, BkMode mode, int useHash, uint32_t minLink);
  ~BkSession();
  BkSession(const BkSession&) = delete;
  BkSession& operator=(const BkSession&) = delete;

  // The object a name stands for, or null when the name is not an absolute
  // object name or its object is not valid (logged).  type 0 derives the
  // type from the number of components: / store, /p partition, /p/g group,
  // /p/g/u user, anything deeper a mailbox; in a backup, a deeper name
  // whose last component is a number names a message of its parent folder
  // unless a folder of that name exists.  Trailing '/' are removed from
  // name in place.
  BkObj* createBkObj(char* name, uint16_t type);
  // Deletes obj unless it is the current mailbox.
  void deleteBkObj(BkObj* obj);
  // Makes the folder holding the object called name (name without its last
  // component) current: kept when it already is, otherwise made and checked
  // (in a backup it must exist).  1, or 0 when it cannot be made current.
  int setMailbox(const char* name);
  // Makes m the current mailbox (the session takes it over, deleting the
  // previous one) and sets the rename flag.  1.
  int setMailbox(Mailbox* m, int rename);
  // The current mailbox (owned by the session) or null; the rename flag.
  Mailbox* getMailbox() const { return mailbox_; }
  int getRename() const { return rename_; }
  // Forgets the current mailbox without deleting it (it is being deleted).
  void clearMailbox(const BkObj* m);
  // 1 once an interrupt or termination signal arrived.
  int interrupted() const;

  // Cursors over the context's partitions and groups.
  int partitionInit();
  const char* partitionNext();
  int partIdx() const { return partIdx_; }
  int groupInit();
  const KeyValue* groupNext();
  int groupIdx() const { return groupIdx_; }
  // Makes the user cache hold the users of partition partNum.  0 on
  // failure (an allocation failure sets errorcode 75).
  int usercacheInit(int partNum);
  BkUserCache* usercache() { return usercache_.get(); }

  // 1 when s contains '/' and everything after the last one is digits.
  static int isuid(const char* s);

  BkContext* context() const { return bkc_; }
  BkMode mode() const { return mode_; }
  uint32_t minLink() const { return minLink_; }
  // The single-copy table: null unless backing up with link detection.
  HashTable<DevIno, MsgRef>* hashtable() { return hashtable_.get(); }
  // Restore: pending links by "user/folder/uid" of the message they refer
  // to; null unless restoring with link resolution.
  HashTable<String, std::vector<PendingLink>>* refHash() { return refHash_.get(); }
  // Restore: folders this run created (internal names), which keep the
  // stream's uids even when their object is made again later in the run.
  void markCreated(const char* iname) { created_.insert(iname); }
  int wasCreated(const char* iname) const { return created_.count(iname) ? 1 : 0; }
  // Backup: the buffer small message files are read into, reused from one
  // message to the next.
  std::vector<char>& readBuffer() { return readbuf_; }
  // Restore: the folders left but not yet flushed (restore_batch.h).
  RestoreBatch* batch() {
    if (!batch_) batch_ = std::make_unique<RestoreBatch>();
    return batch_.get();
  }
  // Restore: flushes the batch; a failure makes errorcode 74 (the I/O
  // status) unless it already says something.  1, or 0 on failure.
  int flushBatch();
  int errorcode = 0;

 private:
  BkContext* bkc_;
  BkMode mode_;
  std::unique_ptr<HashTable<DevIno, MsgRef>> hashtable_;
  std::unique_ptr<HashTable<String, std::vector<PendingLink>>> refHash_;
  std::set<std::string> created_;
  std::vector<char> readbuf_;
  std::unique_ptr<RestoreBatch> batch_;
  Mailbox* mailbox_ = nullptr;  // owned
  int partIdx_ = -1;
  int groupIdx_ = -1;
  int rename_ = 0;
  uint32_t minLink_;
  std::unique_ptr<BkUserCache> usercache_;
};

class BkContext {
 public:
  // Starts configuration, logging and the signal delay and, when openStore
  // is set, the mailbox list; isvalid() tells whether that worked (a message
  // was printed or logged otherwise).  A reader that only lists a stream
  // needs no store.
  BkContext(const char* progname, int debug, int openStore = 1);
  ~BkContext();
  BkContext(const BkContext&) = delete;
  BkContext& operator=(const BkContext&) = delete;

  int isvalid() const { return errorcode == 0; }
  // A new session owned by the context.
  BkSession* getSession(BkMode mode, int useHash, uint32_t minLink);
  // Gives the backup file the store's owner and mode; 1 on success.
  int setFileOwner(const char* path);
  // The context's error code when set, else the first non-zero code of the
  // sessions (newest first), else 0.
  int exitCode();
  int interrupted() const;
  // 1 when a user's folder called folder (UTF-8, below the user) is listed
  // in "local.store.backup.exclude" (names separated by '%').
  int isExcluded(const String* folder);
  void scanExcludeFolder();

  BkPartition& partitions() { return partition_; }
  BkGroup& groups() { return group_; }

  int errorcode = 69;

 private:
  int debug_;
  bool config_ready_ = false;
  bool signals_set_ = false;
  BkGroup group_;
  BkPartition partition_;
  std::unique_ptr<Vector<String>> excludeFolder_;
  List<BkSession> sessions_;
};
