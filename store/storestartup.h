// Start-up recovery of the mailbox list, run by the store daemon (recovery
// mode of mboxlist_init) before any client may join the environment.
//
// Phase I takes a census of the database directory (and of the region
// directory when store.dbtmpdir is set), lists the snapshots and sets the
// recovery state:
//   1  databases and logs usable: open with normal recovery
//   2  new store: no database, no region file, no log
//   3  the four required databases (lright.db is optional) but no log
//   4  their logs have a gap, or span 3601 seconds or more
//   5  anything else (databases missing, a repair or the open failed)
// Phase II repairs before opening, phase III opens, each running repair
// functions from a sequence until the state is 1:
//   1  discard the logs and zero the databases' page LSNs (state 3 or 4)
//   2  restore the newest snapshot
//   3  install the template databases ("dbdata/templates")
//   4  start empty
// in the order 2,1,3,4 (phase II) and 2,3,4 (phase III) unless the files
// "dbdata/stored.ph2" / "dbdata/stored.ph3" say otherwise.  Each function
// runs at most once per start.  Every function that acted records its time
// as the last catastrophic event (stored file "eve"), from which client
// processes learn which users' folders to rebuild from disk.
//
// Guards: nothing here deletes the only copy of a database.  Before any
// repair replaces or rewrites the databases, the current .db and log files
// are kept in "<mboxlistdir>/removed" (or "removed.<time>" while "removed"
// holds a copy less than five days old; at most four of those are kept).
// Every file copied in goes to a temporary name, is flushed, renamed and its
// directory flushed.  Only errors that mean damage lead on to a destructive
// repair (storestartup_damage); anything else (a permission problem, a full
// disk) fails the start with the files as they were.  Recovery must not run
// while another process has the environment joined: the daemon asks
// storestartup_attached_clients first.
//
// The phases keep their state per process (one start at a time; the daemon
// serialises them through mboxlist_init).  Results: 0 or -1 unless said.
#pragma once

#include <db.h>

#include <ctime>
#include <string>
#include <vector>

// ---- Census ------------------------------------------------------------

// Names the census recognises, as bits of db_census::exists.
enum : unsigned {
  kCensusFolder = 0x1,
  kCensusQuota = 0x2,
  kCensusPeruser = 0x4,
  kCensusSubscr = 0x8,
  kCensusLright = 0x10,
  kCensusDbConfig = 0x100,
  kCensusFolderlock = 0x200,
  kCensusSessions = 0x400,
  kCensusRegion1 = 0x800,  // "__db.001" .. "__db.005": 0x800 .. 0x8000
  kCensusCatrecov = 0x10000,
};
// The five databases, and the four without which the store cannot run.
inline constexpr unsigned kCensusDatabases = 0x1f;
inline constexpr unsigned kCensusRequired = 0xf;
// Databases and region files: a directory with none of them (and no log)
// holds a new store.
inline constexpr unsigned kCensusDbOrRegion = 0xf81f;

struct db_census {
  unsigned exists = 0;   // bits above
  int nfiles = 0;        // entries other than "." and ".."
  int nfiles_u = 0;      // entries neither a log nor a name above
  int nlogs = 0;         // "log." + ten digits
  long firstlog = 0;     // lowest and highest log number (0 without logs)
  long lastlog = 0;
  long logtime = 0;      // mtime of the highest log minus the lowest's
  bool current_logs = false;  // some log has this release's format version
};

// Describes dir without changing anything in it.  0, 1 for a null or empty
// name, 2 when the directory cannot be read (errno set), 3 / 4 when the
// lowest / highest log cannot be examined.
[[nodiscard]] int check_db_dir(const char* dir, db_census* census);

// The format version in the header of the log file at path: the 32-bit
// native value at offset 16 when offset 12 holds the log magic 0x040988;
// -1 for a short or foreign file.
int db_log_version(const char* path);

// The recovery state (1-5, above) of a census.
int storestartup_state_of(const db_census& census);

// Reads a phase sequence file: "functi", a big-endian 16-bit count n (0 to
// 10), then n big-endian 16-bit function numbers (1 to 4); the file is
// exactly 8 + 2n bytes (at most 100 are read).  0 and the sequence; the
// errno of a failed open; 1 shorter than 8 bytes; 2 bad magic; 3 wrong
// length; 4 count above 10; 5 a function number outside 1..4.
int get_phase_sequence(int* n, int sequence[10], const char* filename);

// ---- Snapshots ---------------------------------------------------------
//
// The snapshot area P ("local.store.snapshotpath") holds slots: entries
// whose name is shorter than six characters and that contain ".snaptime",
// whose modification time is the snapshot's time.  Writers put
// ".snaptime" in last, after every database and log file of the slot is
// flushed, so a slot without it is incomplete and ignored.  A slot holds
// the .db and log files only.  "P/.snaplock" is the writers' lock file and
// "P/.snaptmp" their work directory (both ignored here).

struct snapshot_entry {
  std::string name;  // the slot's name in the area
  time_t time = 0;   // the snapshot's time
};

// The snapshot area, ending in '/': relative paths are taken under the
// store directory.  0; 1 when not configured (logged as a warning); -1 for
// an unusable path (logged: "..", too long, no store directory).
int mboxlist_snapshot_path(std::string* path);

// The complete slots of the area, newest first, at most five.  0, or 1 when
// the area cannot be read.
int analyse_snapshots(const char* path, std::vector<snapshot_entry>* snaps);

// Whether a snapshot of the database directory dir is worth taking now: 0
// yes; 1 no, nothing was checkpointed since the last snapshot; 2 the
// directory cannot be examined (logged); 3 its logs span more than 1800
// seconds (a snapshot would carry a long log to replay).
int snapshot_abort(const char* dir);

// Times the daemon reports: its latest checkpoint and latest snapshot (the
// start-up analysis sets the latter from the newest slot found).
void storestartup_set_last_checkpoint(time_t t);
void storestartup_set_last_snapshot(time_t t);
time_t storestartup_last_snapshot();

// ---- Repair routines ---------------------------------------------------

// db_rm flags: which entries of a directory to delete.
enum : int { kRmLogs = 1, kRmDatabases = 2, kRmRegions = 4, kRmDbConfig = 8 };
// Deletes the selected entries of dir.  0; 1 when an entry's path was too
// long and it was skipped; -1 when an unlink failed or dir is too long.  An
// unreadable directory gives 0 (nothing to delete).
int db_rm(const char* dir, int flags);

// Copies src to dst through "<dst>.copy" (created exclusively), flushed
// and renamed, the directory flushed: a crash leaves the old dst or the
// whole new one.  0; 1 src not opened; 2 destination not created; 3 read
// error; 4 write, flush or rename error.
int db_file_copy(const char* dst, const char* src);

// Moves / copies the .db and log files of srcdir into dstdir (never region
// files or DB_CONFIG: regions are rebuilt, the live DB_CONFIG stays).
// Failures are logged and the scan goes on; 0 or -1.
int rename_db(const char* dstdir, const char* srcdir);
int db_copy(const char* dstdir, const char* srcdir);

// Keeps the current .db and log files of mboxlistdir for analysis, moved
// (copy false) or copied, into "removed" or, while that holds a copy less
// than five days old, into a new "removed.<time>" (the four newest of those
// are kept).  0 when kept or when there is nothing to keep; -1 when they
// could not all be kept: the caller must then leave the files alone.
int backup_rename_db(const char* mboxlistdir, bool copy);

// Writes 8 zero bytes at the start of every page of the database file (its
// log sequence number), the page size read from the metadata page, else
// default_pagesize.  0 or -1.
int zero_lsn(const char* file, unsigned default_pagesize);
// Deletes the logs of mboxlistdir, then zeroes the page LSNs of its
// databases.  0, or -1 when any of it failed.
int zero_logs(const char* mboxlistdir);

// Replace the databases (after keeping the current ones) by a snapshot
// slot's, by the template's, or by nothing.  cachedir may be empty.  0 or
// -1; insert_template gives -2 when "dbdata/templates" does not hold exactly
// the five databases.
int recover_snapshot(const char* mboxlistdir, const char* cachedir, const char* snapdir);
int remove_db(const char* mboxlistdir, const char* cachedir);
int insert_template(const char* mboxlistdir, const char* cachedir);

// ---- Guards and phases -------------------------------------------------

// The session files ("<program>.<pid>") of the store's processes whose lock
// is held, i.e. the processes still using the environment.  0 or errno of
// an unreadable session directory other than ENOENT.
int storestartup_attached_clients(std::vector<std::string>* names);

// Where an open attempt failed.
enum class startup_stage { environment, database };
// Whether a failure to open is damage that repairs may act on: recovery
// that cannot run, pages or metadata that are not what they must be, a
// database failing verification.  A permission problem, a full disk, lack
// of memory or descriptors are not: the start fails and nothing is touched.
bool storestartup_damage(int err, startup_stage stage);
// Whether errno value e says the system, not the databases, is at fault
// (permissions, a full disk, no descriptors or memory, an I/O error).
bool storestartup_environmental(int e);

// Opens the environment (with recover_flag: DB_RECOVER or DB_RECOVER_FATAL)
// and the databases.  0, or the error with *stage set and everything it
// opened closed again.
using storestartup_open_fn = int (*)(u_int32_t recover_flag, startup_stage* stage, void* arg);

// The three phases, called in this order by the recovery-mode start.
// cachedir is empty without store.dbtmpdir.  phaseIII opens through open;
// on success the environment stays open.
int storestartup_phaseI(const char* mboxlistdir, const char* cachedir);
int storestartup_phaseII();
int storestartup_phaseIII(storestartup_open_fn open, void* arg);
// The recovery state of the latest start (0 before any).
int storestartup_db_state();
