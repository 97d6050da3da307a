// Restoring a backup stream into the store (orvrestore).
//
// restore_stream reads the volume header and then every record: mailbox
// records re-create their folder (Mailbox::setAttr / restoreData), message
// records append their message, link records re-create a shared message
// from the copy restored earlier.  A link whose copy is not in the store
// yet waits in the session's pending-link table; when that message arrives
// later in the stream the link is restored as soon as its folder is left,
// and at the end every link still waiting is restored from wherever its
// message now is in the store, or reported.  Store, partition, group and
// user records carry nothing to restore: folders bring their users back.
//
// Selection (only the named objects and what lies below them), the user
// renaming map and restoring every folder into one other folder are
// options.  Everything restored before a fault in the stream stays (each
// message is committed on its own, and flushed with its folder's batch); the fault
// is reported and ends the run.
//
// Ownership: the caller owns the device, the session (mode Restore, with
// link resolution) and the option tables.  One thread.  The result is the
// program's exit status: 0; 65 for a damaged or cut stream; 70 when some
// object could not be restored (logged) or a link stayed unresolved; 74
// when the device fails or restored messages could not be flushed to disk
// (folders are flushed in batches after they are left,
// backup/restore_batch.h); 75 when interrupted or when a folder could not
// be made for a temporary reason (the directory down).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "backup/bkcontext.h"
#include "backup/bkdev.h"

struct RestoreOptions {
  const UserList* names = nullptr;  // restore only these ids and below; null: all
  const UserHash* users = nullptr;  // old user id -> new user id; null: none
  const char* into = nullptr;       // folder id every folder is restored into
  int verbose = 0;                  // a line per restored object on out
};

struct RestoreCounts {
  unsigned folders = 0, messages = 0, links = 0, skipped = 0, pending = 0, failed = 0;
};

int restore_stream(BkInput& dev, BkSession* bks, const RestoreOptions& opt, FILE* out, FILE* err,
                   RestoreCounts* counts = nullptr);

// The object id with its user component renamed through users ("/p/g/u/..."
// with u mapped); id unchanged when no entry applies.
std::string restore_rename_id(const std::string& id, const UserHash* users);
// A folder's internal name ("user/u/...") with the user renamed.
std::string restore_rename_iname(const std::string& iname, const UserHash* users);
// A folder's ACL text ("id\trights\t..."; an id may carry a leading '-')
// with every renamed user's id replaced.
std::string restore_rename_acl(const std::string& acl, const UserHash* users);
// The medium-change callback for reading: the descriptor of the next volume
// (asked for on standard error, names read from callerdata, a FILE*, or
// standard input), -1 when the operator cancels with "$".
int restore_prompt(prompttape_type type, void* callerdata);
// The medium-change callback of a restore: the folders its session holds
// locked in their batch are flushed and let go first, as the operator may
// take his time, then the next volume is asked for as restore_prompt does.
// callerdata: a RestorePrompt.
struct RestorePrompt {
  BkSession* bks = nullptr;
  FILE* answers = nullptr;  // restore_prompt's callerdata
};
int restore_prompt_flushing(prompttape_type type, void* callerdata);
