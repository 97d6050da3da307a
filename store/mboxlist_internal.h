// Shared inside the mailbox list modules: the one translation of Berkeley
// DB results into store codes, the transaction retry loop beside it, and
// RAII owners for Berkeley DB objects.
#pragma once

#include <db.h>
#include <sched.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/imap_err.h"
#include "store/mboxlist.h"

// The one place Berkeley DB results become store codes: 0 stays 0,
// DB_LOCK_DEADLOCK stays as it is (it only ever reaches a retry loop),
// DB_NOTFOUND and DB_KEYEMPTY become IMAP_MAILBOX_NONEXISTENT, anything else
// is logged with what and name and becomes IMAP_IOERROR.
int mboxlist_dberror(int dbret, const char* what, const char* name);

// The creation-lock object of name's owner: "user_<id>", or
// "sharedfolders" for a name outside "user/".
std::string mboxlist_user_lock_object(const char* name);
// Write locks on the owner objects of all names, taken in one sorted order
// by one locker (whole-user renames and their completion).  0 or
// IMAP_IOERROR (logged).
[[nodiscard]] int mboxlist_lock_users(mboxlist_createlock* lock, const std::vector<std::string>& names);

// Runs body(txn) in a transaction, repeating the whole transaction while it
// ends in a deadlock.  body returns 0, DB_LOCK_DEADLOCK or an error (which
// aborts).  Returns 0 or the error.
template <class Body>
int mboxlist_in_txn(const char* op, const char* name, Body&& body) {
  for (;;) {
    DB_TXN* txn = nullptr;
    if (int r = mboxlist_trans_setup(&txn, op, name)) return r;
    int r = body(txn);
    r = mboxlist_trans_finish(txn, r);
    if (r != DB_LOCK_DEADLOCK) return r;
    sched_yield();
  }
}

// Repeats a read made outside any transaction while it ends in a deadlock.
template <class Read>
int mboxlist_retry_read(Read&& read) {
  for (;;) {
    int r = read();
    if (r != DB_LOCK_DEADLOCK) return r;
    sched_yield();
  }
}

// Closes a cursor on scope exit.
class DbCursor {
 public:
  DbCursor() = default;
  DbCursor(const DbCursor&) = delete;
  DbCursor& operator=(const DbCursor&) = delete;
  ~DbCursor() { close(); }
  DBC** out() {
    close();
    return &c_;
  }
  DBC* get() const { return c_; }
  DBC* operator->() const { return c_; }
  void close() {
    if (c_) c_->close(c_);
    c_ = nullptr;
  }

 private:
  DBC* c_ = nullptr;
};

// A key of the mailbox list (a name and its NUL, unless built from raw
// bytes) in memory of its own.  Free-threaded handles insist on an
// ownership flag even for keys they only read, and they may copy the key
// found back into it, so it must be writable.
class DbKey {
 public:
  explicit DbKey(const char* name) : buf_(name, strlen(name) + 1) { set(); }
  DbKey(const void* data, size_t len) : buf_(static_cast<const char*>(data), len) { set(); }
  DbKey(const DbKey&) = delete;
  DbKey& operator=(const DbKey&) = delete;
  DBT* dbt() { return &dbt_; }

 private:
  void set() {
    dbt_ = DBT{};
    dbt_.data = buf_.data();
    dbt_.size = static_cast<u_int32_t>(buf_.size());
    dbt_.ulen = dbt_.size;
    dbt_.flags = DB_DBT_USERMEM;
  }
  std::string buf_;
  DBT dbt_;
};
