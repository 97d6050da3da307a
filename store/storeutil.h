// Small store utilities: canonical user ids and folder names, the INBOX
// test, disk space of a path and the per-partition summary.
//
// The canonicalisers work in place on caller strings and read
// "service.defaultdomain" from the process configuration; they never
// lengthen a string.  store_getpathinfo and store_getpartitions log their
// failures (bvlog, store error priority).  store_getpartitions hands the
// caller one malloc'ed array, freed with free.  All functions are
// thread-safe; the partition summary keeps its state in the call.
#pragma once

#include <cstdint>

// Canonical form of a user id, in place: when it has an at sign, the domain
// after the last one is removed if it is the configured default domain (any
// letter case), else lower-cased.  Returns id.
char* store_canonifyid(char* id);

// Canonical form of an internal folder name, in place: the user id of a
// "user/..." name is canonicalised as above and the rest moved up behind
// it.  Other names are unchanged.  Returns name.
char* store_canonifymboxname(char* name);

// 1 for "user/<id>" and for "user/<id>/INBOX" (exactly that case), else 0.
int store_isInbox(const char* name);

// Size of the file system holding path and the space free for ordinary
// users, in KB (capped at INT_MAX).  A path that does not exist is cut back
// component by component to an existing ancestor.  0, or -1 when statvfs
// fails (logged); both outputs are 0 then.
[[nodiscard]] int store_getpathinfo(const char* path, int* total, int* avail);

// One partition's summary.  Fixed layout: other programs read it as is.
struct partition_info_t {
  char partition[71];  // partition name; "" ends the array
  char path[1025];     // index root, or "<partition has no path defined>"
  int total;           // KB of the file system holding path
  int avail;           // KB free for ordinary users
  int numusers;        // INBOX folders
  int numfolders;      // folders
  int byteused;        // sum of the folders' quota usage, bytes (capped)
  int totalquota;      // sum of the INBOX quota limits; -1 once one is unlimited
};

// What the summary needs from the mailbox list.  All callbacks get ctx.
struct store_partition_source {
  void* ctx;
  // Reports every folder of the store, as the listing of all names ("*"
  // without a user and without access checks) does: name as listed (an
  // INBOX as "user/<id>/INBOX"), the matched length and the folder's quota
  // usage in bytes.  Stops when visit returns non-zero and returns that
  // value; otherwise returns the walk's own result.
  int (*findall)(void* ctx, int (*visit)(void* rock, const char* name, int matchlen, uint64_t qused), void* rock);
  // The partition of internal folder name, malloc'ed into *partition.  0 or
  // an error code.
  int (*lookup_partition)(void* ctx, const char* name, char** partition);
  // The limit of the quota root of INBOX name (-1 for unlimited).  0 or an
  // error code (then nothing is added).
  int (*quota_limit)(void* ctx, const char* name, int64_t* limit);
};

// Builds the partition summary over all folders of src into *list (set to
// null first; the array ends with an entry whose partition is empty; the
// caller frees it).  Folders whose name or record cannot be read are
// logged and skipped.  Returns the enumeration's result.
[[nodiscard]] int store_getpartitions(const store_partition_source& src, partition_info_t** list);
