// Instance configuration.
//
// One plain-text file per instance holds every setting:
//
//     # comment
//     key = value
//
// Keys are dotted names (those that begin with "local." are host-local); a
// localized text adds a language option to its key:
//     gen.newuserforms;lang-fr = Bienvenue ...
// (see configmsg_getstringcopywlang).
// Leading and trailing blanks of keys and values are dropped; a value may be
// empty.  A later line for the same key replaces the earlier one (and a
// warning is logged).  The file is found through the environment variable
// ORV_CONFIG, else at ORV_DEFAULT_CONFIG.
//
// Keys this layer itself interprets:
//   local.store.dir             store directory (databases, session files)
//   local.serverroot            server root; its config/ holds
//                               "backup-groups.conf" and "option.dat"
//   local.serveruser            user the programs switch to when run as root
//   local.logdir                directory of the per-program log files
//                               (default <store dir>/log)
//   local.log.target            "file" (default), "syslog" or "stderr"
//   local.log.level             lowest severity still written (0-7, default 6)
//   store.partition.NAME.path   index root of partition NAME
//   store.partition.NAME.messagepath
//                               message root of partition NAME (default: the
//                               index root)
// Partitions are reported in the order their ".path" lines appear.
//
// Strings returned as const char* are owned by the configuration and stay
// valid until configmsg_free() or a successful configmsg_refresh(); functions
// documented to return copies return memory the caller frees with free().
// Reading is safe from any thread; init, refresh and free are not
// concurrent with readers.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

inline constexpr const char* ORV_CONFIG_ENV = "ORV_CONFIG";
inline constexpr const char* ORV_DEFAULT_CONFIG = "/etc/corvane/corvane.conf";

struct config_cache;

// The process-wide configuration; null before configmsg_init succeeded.
config_cache* config_getdefaultcache();

// The value of key, or def when the key is unset (or h is null).
const char* config_get_string(config_cache* h, const char* key, const char* def);
// A malloc'ed copy of the value or of def; null when both are absent.
char* config_get_stringcopy(config_cache* h, const char* key, const char* def);
// The value as a decimal integer; def when unset or not a number (a warning
// is logged for the latter).
int config_get_int(config_cache* h, const char* key, int def);
// 1 for on/yes/true/1, 0 for off/no/false/0 (any case); def otherwise.
int config_get_switch(config_cache* h, const char* key, int def);
// A localized text: the value of "key;lang-TAG" for the first TAG of the
// comma-separated languages that has one (a tag "fr-ca" also tries "fr";
// tags other than letters, digits and '-' up to 35 bytes are skipped), else
// the value of the plain key.  foundlang (may be null) receives the
// language of the text found in lower case; the plain key's language is
// gen.sitelanguage, or "en" when that is unset.  A malloc'ed copy the
// caller frees, or null when neither is set.
char* configmsg_getstringcopywlang(const char* key, int reserved, const char* languages, std::string* foundlang);
// The program name given to configmsg_init ("unknown" before).
const char* config_processname();

// Reads the configuration file.  0 on success; on failure a message naming the
// file (and line) goes to standard error and IMAP_CONFIG_ERROR or an errno
// value is returned (EISDIR when the path names a directory: only a regular
// file is read).  A second call re-reads the file.  flags are accepted
// for the callers' sake and otherwise unused.
int configmsg_init(int reserved, int flags, const char* progname);
// Reads the configuration from text already in memory (tests, the embedded
// demo default); origin names it in messages.
int configmsg_init_text(std::string_view text, const char* origin, const char* progname);
// Re-reads the file given at init; on failure the old settings stay.
int configmsg_refresh();
// Releases the configuration and closes the log.
void configmsg_free();
// The path of the file read, or "" when the text came from memory.
const char* configmsg_path();

// Whether the configuration can run a store: an absolute store directory,
// at least one partition, a server user that exists (when one is set), a
// known log target and a log level from 0 to 7.  Every problem found is one
// line on err; 0 when there is none, else IMAP_CONFIG_ERROR.  The store
// daemon refuses to start and `orvadm config` fails on exactly these, so the
// two never disagree about a file.
int configmsg_check(FILE* err);

// The store directory, or null when not configured.  Borrowed.
const char* configmsg_get_storedir();
// A partition's index root / message root as malloc'ed copies (caller frees),
// or null when the partition is not configured.
char* configmsg_partitiondir(const char* name);
char* configmsg_partitionmsgdir(const char* name);
// Calls cb(name, arg) for each configured partition in file order; stops
// early and returns cb's value when it is non-zero; 0 otherwise.
int configmsg_scanpartition(int (*cb)(const char* name, void* arg), void* arg);

// Switches to local.serveruser when running as root; a no-op (0) when the
// key is unset or the process already runs as that user.  Programs call it
// right after configmsg_init, before they create any file (the log file
// first among them); EPERM when run by another user.  0 on success,
// errno or IMAP_CONFIG_ERROR on failure (logged).
int configmsg_setuid();
// Gives path the store owner and mode 0600 (files) or 0700 (directories);
// the owner change is skipped when not running as root.  0 or errno.
int configmsg_fixfilemode(const char* path, int reserved);

// A small named integer kept as "<store dir>/stored/<name>".  read: 0 and the
// value, ENOENT when never written, errno or IMAP_CONFIG_ERROR otherwise.
// write: replaces the file atomically; 0 or errno.
int configmsg_readstoredfile(const char* name, long* value);
int configmsg_writestoredfile(const char* name, long value);
