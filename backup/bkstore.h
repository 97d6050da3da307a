// The upper four levels of the backup tree: the store, its partitions, the
// user groups of each partition and the users of each group, whose children
// are the users' folders (backup/bkmailbox.h).
//
// Ids: the store "/", a partition "/" + partition name, a group the
// partition id + "/" + group name, a user the group id + "/" + user id.
//
// Records: store, partition and group records carry timestamp 0 and so are
// written only by full backups; a group record's info is its pattern; a
// user record carries the time it was made and is written by every backup.
//
// Traversal order (the order of the records on the stream): the store;
// for each partition in configuration order its record, then for each
// group in file order its record, then each user of the group whose INBOX
// lives on that partition, in directory order of the partition's user
// directories, each followed by its folders in mailbox list order minus the
// excluded ones.  A user belongs to the first group whose pattern matches.
//
// Objects handed out by getFirstChild/getNextChild belong to the caller.
// Enumeration state lives in the session (cursors, user cache).  One thread.
// Operations return 1 for success and 0 for failure and log through bvlog.
#pragma once

#include <memory>
#include <string>

#include "backup/bkobj.h"
#include "backup/bkutils.h"

class Store final : public BkObj {
 public:
  Store(BkSession* s, const char* name);
  const Vdata* backupData() override { return valid ? &mydata : nullptr; }
  int restoreData(Vdata*) override { return valid; }
  std::unique_ptr<BkObj> getFirstChild() override;
  std::unique_ptr<BkObj> getNextChild() override;
};

class Partition final : public BkObj {
 public:
  // partNum: 1-based position in the configuration, 0 to look it up.
  Partition(BkSession* s, const char* name, int partNum);
  const Vdata* backupData() override { return valid ? &mydata : nullptr; }
  int restoreData(Vdata*) override { return valid; }
  std::unique_ptr<BkObj> getFirstChild() override;
  std::unique_ptr<BkObj> getNextChild() override;

 private:
  int partNum_;
};

class Group final : public BkObj {
 public:
  // partNum / groupNum: 1-based positions, 0 to look them up.  With a
  // single configured partition partNum ends as 0: the user cache then
  // does not check where INBOXes live.
  Group(BkSession* s, const char* name, int partNum, int groupNum);
  // Null unless valid and existing; the info is the pattern.
  const BkAttr* getAttr() override;
  // Takes the pattern from the info block.
  int setAttr(BkAttr& a) override;
  void printAttr(FILE* f) override;
  const Vdata* backupData() override { return valid ? &mydata : nullptr; }
  int restoreData(Vdata*) override { return valid; }
  std::unique_ptr<BkObj> getFirstChild() override;
  std::unique_ptr<BkObj> getNextChild() override;

 private:
  std::string regex_;
  bool hasRegex_ = false;
  int partNum_;
  int groupNum_;
};

class User final : public BkObj {
 public:
  // exist: 1 when the caller knows the user exists (a group's child), 0 to
  // check the INBOX on first use.
  User(BkSession* s, const char* name, int exist);
  // The user exists when the mailbox list holds "user/<id>".
  int exists() override;
  // Timestamp: now.
  const BkAttr* getAttr() override;
  const Vdata* backupData() override { return valid ? &mydata : nullptr; }
  int restoreData(Vdata*) override { return valid; }
  // The user's folders, listed on the first call.
  std::unique_ptr<BkObj> getFirstChild() override;
  std::unique_ptr<BkObj> getNextChild() override;

 private:
  Vector<String> children_{1024};
};
