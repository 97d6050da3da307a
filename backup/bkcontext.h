// The backup context, its sessions and the list of names to save.
//
// BkContext is the process-wide environment of a backup run: it starts the
// configuration and the log, holds back interrupt and termination signals
// (they are recorded and polled between objects) and owns the sessions.  A
// BkSession is one backup pass: it turns object names into typed objects,
// keeps the current mailbox and the session's error code, which becomes the
// exit code.  UserList is the ordered list of object names to save.
//
// This version of the context starts configuration and logging only; it
// knows no store objects yet, so every well-formed name yields an object
// that does not exist.  The store objects replace that when the store is
// available.
//
// Ownership: the context owns its sessions; objects from createBkObj belong
// to the caller, who releases them with deleteBkObj (which leaves the
// session's current mailbox alone).  One thread.  Errors are reported as
// exit codes kept in the context and the sessions (0 while all is well).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "backup/bkobj.h"
#include "backup/bkutils.h"

class BkContext;

class BkSession {
 public:
  BkSession(BkContext* ctx, BkMode mode, int useHash, uint32_t minLink);
  ~BkSession();
  BkSession(const BkSession&) = delete;
  BkSession& operator=(const BkSession&) = delete;

  // The object a name stands for, or null when the name is not an absolute
  // object name (logged).  type 0 derives the type from the name.
  BkObj* createBkObj(const char* name, uint16_t type);
  // Deletes obj unless it is the current mailbox.
  void deleteBkObj(BkObj* obj);
  // Makes m the current mailbox (the session takes it over) and sets the
  // rename flag.  1.
  int setMailbox(BkObj* m, int rename);
  // The current mailbox (owned by the session) or null; the rename flag.
  BkObj* getMailbox() const { return mailbox_.get(); }
  int getRename() const { return rename_; }
  // Forgets the current mailbox without deleting it (its owner is
  // deleting it).
  void clearMailbox(BkObj* m);
  // 1 once an interrupt or termination signal arrived.
  int interrupted() const;

  BkMode mode() const { return mode_; }
  uint32_t minLink() const { return minLink_; }
  int useHash() const { return useHash_; }
  int errorcode = 0;

 private:
  BkContext* bkc_;
  BkMode mode_;
  int useHash_;
  uint32_t minLink_;
  std::unique_ptr<BkObj> mailbox_;
  int rename_ = 0;
};

class BkContext {
 public:
  // Starts configuration, logging and the signal delay; isvalid() tells
  // whether that worked (a message was printed or logged otherwise).
  BkContext(const char* progname, int debug);
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

  int errorcode = 69;

 private:
  int debug_;
  bool config_ready_ = false;
  bool signals_set_ = false;
  List<BkSession> sessions_;
};

// The object names to save, in the order added, as UTF-8.
class UserList {
 public:
  UserList() : names_(100) {}
  // Adds name: one not beginning with '/' becomes "/primary/NAME" when it
  // holds a '/', else "/primary/user/NAME"; one trailing '/' is dropped;
  // the result is converted from encoding (null: taken as UTF-8) to UTF-8.
  // 0 for an empty name, a name longer than 1024 bytes, or one that cannot
  // be converted (logged); 1 when added.
  int adduser(const char* name, const char* encoding);
  // Reads one name per line (lines end with a newline; a last line without
  // one is taken too; empty lines are skipped).  canonical 1: each passes
  // through adduser; 0: converted and kept as it is.  A line of 1024 or
  // more characters is logged ("Username is too long: %s... skip") and
  // skipped.  0 when the file cannot be read (logged "Can't open file %s").
  int load(const char* file, const char* encoding, int canonical);

  int count() const { return names_.count(); }
  // Name i, or null past the end.
  const char* operator[](int i) const {
    const String* s = names_[i];
    return s ? s->getcstring() : nullptr;
  }

 private:
  int append(const std::string& name, const char* encoding);
  Vector<String> names_;
};
