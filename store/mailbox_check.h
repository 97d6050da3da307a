// A read-only consistency check of one folder's files, for admins
// (`orvadm check`) and for the crash-safety tests.
//
// It reads store.idx (and store.cch for the older format) with plain reads
// on a read-only descriptor: no lock, no map, no repair, so it can run on a
// damaged folder or beside a live server (a concurrent writer may then
// produce a spurious report; run it again).  It never logs; every finding is
// one line of text in the report naming what is wrong.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/index_record.h"
#include "store/mboxdata.h"

struct mailbox_check_report {
  bool readable = false;  // the fixed header could be read
  mboxdata mbd;
  uint32_t start_offset = 0, cache_offset = 0;
  uint64_t file_size = 0;
  std::vector<std::string> flagnames;  // slot order, "" for empty slots
  std::string acl;
  std::vector<index_record> records;  // as read (records that fit the file)
  std::vector<std::string> problems;  // empty when consistent
};

// Checks the folder whose index directory is path and message directory
// msgpath (null: path).  Reports: a file too short for its header, an
// unknown version, offsets out of order or past the end, records past the
// end, cache entries out of bounds or overlapping, uids not ascending or
// above last_uid, header counters that disagree with the records (largest
// message, oldest uid and date, quota bytes), message files missing or of
// the wrong size.  Returns 0 when the index could be opened (problems or
// not), else the errno of the open.
[[nodiscard]] int mailbox_check(const char* path, const char* msgpath, mailbox_check_report* report);

// Compares the usage of folder `name` in a report filled by mailbox_check
// with the mailbox list: the index's message count and bytes against the
// folder's list record (they differ when an append died between its index
// header write and its commit, or an expunge between its index rename and
// its commit), and the folder's quota root against the sum
// of the list records below it.  Each difference is one more problem line
// naming the folder or root and both counts.  Needs the mailbox list open
// (mboxlist_init); reads without locks, so a concurrent append may show a
// passing difference.  0, or the list's error (IMAP_MAILBOX_NONEXISTENT,
// IMAP_IOERROR) with the report unchanged.
[[nodiscard]] int mailbox_check_usage(const char* name, mailbox_check_report* report);
