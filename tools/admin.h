// Instance administration commands behind `orvadm`.
//
// Each command takes its arguments (after the command name), writes its
// report to out and problems to err, and returns a process exit status
// (0, or a sysexits-style code).  The configuration must be loaded.
#pragma once

#include <cstdio>
#include <string>

#include "common/counters.h"

// The commands `orvadm` knows, with a one-line summary each, for --help.
struct adm_command {
  const char* name;
  const char* args;
  const char* summary;
  int (*run)(int argc, char** argv, FILE* out, FILE* err);
};
const adm_command* adm_commands();  // ends with a null name

// Prints the effective configuration: file, store directory, partitions
// with their roots and free space, log target.  Exit 78 when the instance
// has no store directory or no partition.
int adm_config(int argc, char** argv, FILE* out, FILE* err);
// Creates the instance's directories (store directory and its session,
// stored and log folders; every partition's index and message roots; the
// server root's config folder) with the store owner and private modes.
// Existing directories are kept.  Exit 73 when one cannot be made.
int adm_init(int argc, char** argv, FILE* out, FILE* err);
// Checks one folder's index, cache and message files without changing
// them and reports every inconsistency.  Exit 0 when consistent, 65 with
// problems, 66 when the index cannot be opened, 79 for an unknown folder.
int adm_check(int argc, char** argv, FILE* out, FILE* err);
// Reports whether the store daemon is ready (exit 0) or not (exit 69); when
// ready, also every partition's users, folders, usage, quota and free space,
// and the mailbox list database's transactions, locks, log and cache.
int adm_status(int argc, char** argv, FILE* out, FILE* err);
// Forces a checkpoint of the mailbox list database and removes the log
// files it no longer needs (what to run before copying the database files).
int adm_checkpoint(int argc, char** argv, FILE* out, FILE* err);

// Folder administration, acting with every right (tools/adm_folders.cc).
// They need a ready store daemon.  Exit statuses from error_exit_status:
// 79 for a folder or user that does not exist, 73-75 for store failures.
// user create ID [--partition P] [--quota KB] [--msgquota N] | delete ID |
// rename OLD NEW | provision ID (the INBOX made, or its quotas updated, from
// the user's directory entry: 79 when the directory has no such user, 67
// when it names another mail host, 75 while it cannot answer)
int adm_user(int argc, char** argv, FILE* out, FILE* err);
// folder create|delete NAME, rename OLD NEW [--partition P], show NAME,
// list [PREFIX]
int adm_folder(int argc, char** argv, FILE* out, FILE* err);
// acl set FOLDER ID RIGHTS | acl delete FOLDER ID
int adm_acl(int argc, char** argv, FILE* out, FILE* err);
// quota set ROOT KB [MESSAGES] | quota show ROOT
int adm_quota(int argc, char** argv, FILE* out, FILE* err);

// Listing, subscriptions, seen state and access times (tools/adm_list.cc,
// tools/adm_seen.cc).  Like the folder commands they need a ready store
// daemon and act with every right; USER is a user id, FOLDER an internal
// folder name.
// list [--subscribed] [--regex] USER [PATTERN]: the user's folders (or
// subscriptions) as the user sees them, one "name TAB childinfo" line each;
// list --store PATTERN: internal names of the whole store.
int adm_list(int argc, char** argv, FILE* out, FILE* err);
// subscribe USER FOLDER (the folder must exist) | unsubscribe USER FOLDER
int adm_subscribe(int argc, char** argv, FILE* out, FILE* err);
// seen show FOLDER USER | seen set FOLDER USER UIDSET
int adm_seen(int argc, char** argv, FILE* out, FILE* err);
// access [USER] | access set USER pop|imap|http [TIME]
int adm_access(int argc, char** argv, FILE* out, FILE* err);
// reconstruct USER: folder records back from the folder directories (with
// their ACLs), seen state validated, subscriptions reloaded from the user's
// file when lost, every shared-folder list cut down to folders that exist
// and still grant lookup, quota usage recounted, the user marked repaired.
// Prints every folder as "restored" or "kept".  Exit 79 when no INBOX of the
// user is found on any partition.  reconstruct -m: the same for every user
// who needs it (INBOX on a partition but not in the list, or not rebuilt
// since the list's last repair), each after a "user ID" line; exit 75 when
// one failed.
int adm_reconstruct(int argc, char** argv, FILE* out, FILE* err);

// Expunge and clean-up (tools/adm_expunge.cc).
// expunge FOLDER UIDSET | expunge --deleted FOLDER: the messages of an IMAP
// uid set ("1:10,15,20:*"), or those flagged deleted, leave the folder
// (quota usage and expunge event as for any expunge).  Exit 64 for a bad
// uid set.
int adm_expunge(int argc, char** argv, FILE* out, FILE* err);
// cleanup [FOLDER]: removes the files of messages expunged more than
// local.store.expungecleanupage seconds ago, from one folder or from every
// folder.  Exit 75 when a folder's clean-up failed.
int adm_cleanup(int argc, char** argv, FILE* out, FILE* err);

// Service counters (tools/adm_stats.cc).
// stats pop [--prometheus]: the POP3 server's counters.  Exit 69 when the
// server has never run on the instance (no counter file), 65 when the file is
// not a counter file, 78 without a store directory.
int adm_stats(int argc, char** argv, FILE* out, FILE* err);
// The counters as "name value" lines (times followed by their UTC reading)
// and a "processes N" line, or in the Prometheus text exposition format.
std::string adm_stats_format(const PopStatSnapshot& s, bool prometheus);

// Snapshots of the mailbox list (tools/adm_snapshot.cc).
// snapshot [take]: a snapshot into local.store.snapshotpath now, with the
// store daemon running (exit 78 when snapshots are not configured, 75 while
// another is being taken, 74 when it fails); snapshot list: the slots there,
// newest complete first, each complete or incomplete and why.
int adm_snapshot(int argc, char** argv, FILE* out, FILE* err);

// Helpers of the command files (tools/adm_list.cc).
// Joins the mailbox list: 0, or 69 after telling err.
int adm_start(FILE* err);
// Tells err "orvadm: WHAT NAME: reason" and returns the exit status of r.
int adm_report(FILE* err, const char* what, const char* name, int r);
// The canonical user id of id in *out: 0, or 65 after telling err.
int adm_userid(const char* id, std::string* out, FILE* err);
