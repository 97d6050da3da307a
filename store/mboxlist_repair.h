// Rebuilding users' records from their folders on disk after the mailbox
// list was repaired or damaged, and finding the damage a look at the
// database files cannot see: users whose folders are on disk but whom the
// list lost.
//
// The repair marker itself (mboxlist_dbneedrepair, mboxlist_setlastdbrepair)
// is declared in store/mboxlist.h.  These functions need mboxlist_init and
// take the users' creation locks one user at a time; they are meant for the
// store daemon's start and the administrator's command, one caller at a
// time (the quota recount's repair stamp is process-wide).  Results are
// store codes; failures are logged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What a rebuild of one user did.
struct mboxlist_rebuilt {
  struct folder {
    std::string name;  // internal name
    bool restored;     // its record came back from disk (else it was kept)
  };
  std::vector<folder> folders;        // every folder of the user after the rebuild
  std::vector<std::string> problems;  // "what name: reason", one per failed step
  unsigned long long quota_used = 0;  // the recounted usage, bytes
  unsigned messages = 0;              // and messages
};

// Rebuilds userid's records from disk: every folder directory on any
// partition without a record gets one with the ACL its index keeps, the
// shared-folder lists learn the restored folders' ACLs, each folder's seen
// state is checked against the folder, subscriptions come back from
// "store.sub" when the list lost them, the quota record is recounted and
// the user marked repaired.  0 (problems of single folders are listed in
// *out and do not fail it), -1 when the user has no INBOX on disk or in the
// list, or the store code of the step that stopped it.
[[nodiscard]] int mboxlist_reconstruct_user(const char* userid, mboxlist_rebuilt* out);

// Cuts every shared-folder list down to the folders that exist and still
// give its holder the lookup right (after rebuilds: lost or re-shared
// folders leave no stale entry).  0 or the first error.
[[nodiscard]] int mboxlist_fixlright_all();

// The users on disk compared with the mailbox list.
struct mboxlist_user_census {
  size_t in_list = 0;                  // users with an INBOX record
  size_t on_disk = 0;                  // user directories on all partitions
  std::vector<std::string> missing;    // INBOX index on disk, no INBOX record
  size_t without_quota = 0;            // INBOX records without a quota record
  std::vector<std::string> need_repair;  // with every=true: missing + marked
};

// Reads the users of the list (INBOX records, one cursor hop per user)
// and the user directories of every partition; a user the list does not
// know is checked for an index file in his INBOX directory.  With every,
// also the users whose repair marker is older than the last catastrophic
// event.  0, or IMAP_IOERROR when the list cannot be read.
[[nodiscard]] int mboxlist_census_users(bool every, mboxlist_user_census* out);

// The store daemon's check before it says ready: a mailbox list that lacks
// users whose INBOX is on a partition was damaged in a way its files do not
// show (folder.db lost or replaced by an older copy).  Each such user is
// rebuilt from disk, after "eve" records the event so that every user's
// per-user data is rebuilt too when next used (mboxlist_dbneedrepair).
// Users without a quota record (quota.db damaged: their limits are gone)
// are only logged.  0 when the list is complete or was completed; -1 when
// some user could not be rebuilt (logged with what to do).  The switch
// "local.store.startupusercheck" (default on) turns the check off, for a
// start that must not wait for it or refuse.
int mboxlist_startup_user_check();
