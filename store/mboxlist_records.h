// Folder and quota record access shared by the folder-record modules
// (mboxlist.cc, mboxlist_rename.cc, mboxlist_quota.cc).  Not for callers
// outside the mailbox list.
#pragma once

#include <db.h>

#include <cstdlib>

#include "store/folder_record.h"
#include "store/mboxdata.h"

// Reads and decodes the record of name; inside txn for update.  0,
// IMAP_MAILBOX_NONEXISTENT, DB_LOCK_DEADLOCK, IMAP_MAILBOX_BADFORMAT (a
// corrupt record, logged) or IMAP_IOERROR (logged).  rec may be null to
// test existence.
int mboxlist_read_record(const char* name, folder_record* rec, DB_TXN* txn);
// Writes (replaces) the record of name inside txn: the Berkeley DB result.
int mboxlist_write_record(const char* name, const mboxdata& mbd, const char* partition, const char* acl,
                          DB_TXN* txn);

// A DBT whose memory Berkeley DB (re)allocates and this owner frees; the
// kind free-threaded handles accept for results of unknown size.
struct ReallocDbt {
  DBT dbt{};
  ReallocDbt() { dbt.flags = DB_DBT_REALLOC; }
  ReallocDbt(const ReallocDbt&) = delete;
  ReallocDbt& operator=(const ReallocDbt&) = delete;
  ~ReallocDbt() { free(dbt.data); }
  const char* str() const { return static_cast<const char*>(dbt.data); }
};

// A data DBT that reads nothing (existence and keys only).
inline DBT mboxlist_nodata() {
  DBT d{};
  d.flags = DB_DBT_PARTIAL | DB_DBT_USERMEM;
  return d;
}
