// The message-type plug-in.
//
// When "local.store.messagetypeplugin" is set, it names a plug-in library,
// optionally followed by '$' and the plug-in's argument string (split at the
// first '$').  The plug-in examines every message as it is parsed and may set
// the top 8 bits of the message's system flags; it names those 8 flags.  It
// must export (C linkage):
//
//   void bvplugin_msgtype_getFlagNames(void* context, int count, const char** names);
//       called once after loading with count 8 and an array of 8 null
//       pointers; names[n], when set, names system flag bit 24 + n and must be
//       an IMAP atom.  The strings are copied.
//   uint32_t bvplugin_msgtype_examineMessage(void* context, const char* base, size_t len,
//                                            const body* root);
//       called for every message parsed, with the message bytes and its
//       parsed tree (store/message.h, read-only, valid during the call); only
//       bits 24..31 of the result are used.
//
// `body` is a C++ type: plug-ins are built against store/message.h with the
// same compiler and standard library as the store.
//
// State is process-wide: msgtype_init runs once at process start before any
// parsing, msgtype_shutdown after the last; msgtype_examine and
// msgtype_flag_name may then be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct body;
struct config_cache;

inline constexpr const char* MSGTYPE_CONFIG_KEY = "local.store.messagetypeplugin";
inline constexpr int MSGTYPE_FLAG_COUNT = 8;

extern "C" {
using msgtype_getflagnames_fn = void (*)(void* context, int count, const char** names);
using msgtype_examine_fn = uint32_t (*)(void* context, const char* base, size_t len, const body* root);
}

// Loads the plug-in the configuration names (nothing when the key is unset
// or empty).  A plug-in that cannot be loaded or lacks an entry point is
// logged and left out: parsing runs without it, and 0 is returned.  A flag
// name that is not an IMAP atom is logged (priority 2) and returns
// IMAP_CONFIG_ERROR with nothing loaded; process start then exits with
// status 1.
[[nodiscard]] int msgtype_init(config_cache* config);

// The same from the setting's value ("path" or "path$args").
[[nodiscard]] int msgtype_load(const char* setting);

// The plug-in's verdict on a message, masked to 0xFF000000; 0 without one.
uint32_t msgtype_examine(const char* base, size_t len, const body* root);

// The name of flag bit 24 + n (0 <= n < 8), or null.  Borrowed until
// msgtype_shutdown.
const char* msgtype_flag_name(int n);

// Whether a plug-in is loaded.
bool msgtype_active();

// Unloads the plug-in and forgets its flag names.  Harmless when none.
void msgtype_shutdown();
