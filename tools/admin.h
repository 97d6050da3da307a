// Instance administration commands behind `orvadm`.
//
// Each command takes its arguments (after the command name), writes its
// report to out and problems to err, and returns a process exit status
// (0, or a sysexits-style code).  The configuration must be loaded.
#pragma once

#include <cstdio>

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
// Reports whether the store daemon is ready (exit 0) or not (exit 69).
int adm_status(int argc, char** argv, FILE* out, FILE* err);
// Forces a checkpoint of the mailbox list database and removes the log
// files it no longer needs (what to run before copying the database files).
int adm_checkpoint(int argc, char** argv, FILE* out, FILE* err);

// Folder administration, acting with every right (tools/adm_folders.cc).
// They need a ready store daemon.  Exit statuses from error_exit_status:
// 79 for a folder or user that does not exist, 73-75 for store failures.
// user create ID [--partition P] [--quota KB] [--msgquota N] | delete ID |
// rename OLD NEW
int adm_user(int argc, char** argv, FILE* out, FILE* err);
// folder create|delete NAME, rename OLD NEW [--partition P], show NAME,
// list [PREFIX]
int adm_folder(int argc, char** argv, FILE* out, FILE* err);
// acl set FOLDER ID RIGHTS | acl delete FOLDER ID
int adm_acl(int argc, char** argv, FILE* out, FILE* err);
// quota set ROOT KB [MESSAGES] | quota show ROOT
int adm_quota(int argc, char** argv, FILE* out, FILE* err);
