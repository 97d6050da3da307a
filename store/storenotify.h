// Store events reported to an optional event plug-in.
//
// "local.store.notifyplugin" names a shared library, optionally followed by
// '$' and an argument string handed to its bvplugin_init (common/plugin.h).
// The plug-in may export any of the six entry points typedef'ed below; each
// event call does nothing when its entry point is missing, when no plug-in
// is configured, or when loading failed (logged once by the loader).  Event
// calls have no result and never fail the store operation that reports
// them.
//
// Every entry point gets the plug-in's context first and, last, the process
// name (config_processname(), else the name given to storenotify_init) and
// the process id.  Quota usage is passed in KB: bytes >> 10, or 0xFFFFFFFF
// (-1) when that does not fit in 32 bits.  Limits are passed as stored
// (0xFFFFFFFF for unlimited).
//
// Threads: storenotify_init and storenotify_shutdown run once, before and
// after all other work; the event calls are then read-only on the loaded
// state and come from any thread, so the plug-in must accept concurrent
// calls.
#pragma once

#include <cstdint>

#include "store/quota_record.h"

struct mailbox;

extern "C" {
using storenotify_append_fn = void (*)(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                                       uint32_t num_inserted, const uint32_t* uid, const char* const* header,
                                       const uint32_t* header_length, const uint32_t* msg_length, uint32_t qmax,
                                       uint32_t used_kb, uint32_t msgqmax, uint32_t msgqrused, const char* procname,
                                       int pid);
using storenotify_expunge_fn = void (*)(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                                        uint32_t num_expunged, const uint32_t* uid, uint32_t last_uid, uint32_t qmax,
                                        uint32_t used_kb, uint32_t msgqmax, uint32_t msgqrused, const char* procname,
                                        int pid);
using storenotify_reconstruct_fn = void (*)(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                                            uint32_t last_uid, const char* procname, int pid);
using storenotify_peruserflag_fn = void (*)(void* ctx, const char* mboxname, uint32_t uid_validity, const char* user,
                                            int flagchanged, uint32_t num_seen, uint32_t num_deleted,
                                            uint32_t num_total, const char* procname, int pid);
using storenotify_loguser_fn = void (*)(void* ctx, const char* mechanism, const char* userid, const char* authid,
                                        const char* ip, long loggedtime, int logtype, const char* procname, int pid);
using storenotify_quota_fn = void (*)(void* ctx, const char* mboxname, uint32_t qmax, uint32_t used_kb,
                                      uint32_t msgqmax, uint32_t msgqrused, const char* msg, const char* procname,
                                      int pid);
}

// Loads the plug-in named by the configuration (nothing when unset) and
// looks up its entry points.  proname is the process name used when the
// configuration has none (may be null).  Calling it again first unloads.
void storenotify_init(const char* proname);
// Unloads the plug-in; harmless when none is loaded.
void storenotify_shutdown();
// Non-zero when the plug-in wants per-user flag events.
int storenotify_need_peruserflag();

// New messages in a folder (after an append or a copy).  mailbox gives the
// name, uid_validity and exists.  Null arrays are passed as a pointer to a
// zero word (uid, lengths) or to an empty string (headers); qd may be null
// (no quota: zeros are passed).
void storenotify_append(const mailbox* mailbox, uint32_t num_inserted, const uint32_t* uid, const char* const* header,
                        const uint32_t* header_length, const uint32_t* msg_length, const quotadata* qd);
// Messages expunged (exists already the new count).
void storenotify_expunge(const mailbox* mailbox, uint32_t num_expunged, const uint32_t* uid, const quotadata* pqd);
void storenotify_reconstruct(const mailbox* mailbox);
// Per-user flags of user changed; peruserflag[1..num_total] hold bit 0
// (seen) and bit 1 (deleted) per message (entry 0 is not used).
void storenotify_peruserflag(const mailbox* mailbox, const char* user, int flagchanged, const int* peruserflag,
                             uint32_t num_total);
void storenotify_loguser(const char* mechanism, const char* userid, const char* authid, const char* ip, long loggedtime,
                         int logtype);
// A quota root crossed its warning threshold ("OverQuota" / "UnderQuota").
void storenotify_quota(const char* mboxname, quotadata qd, const char* msg);

// Quota usage in KB as passed to the plug-in (0xFFFFFFFF when too large).
uint32_t storenotify_usage_kb(uint64_t bytes);
