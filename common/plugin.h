// Loading of plug-in libraries (dlopen).
//
// A plug-in is a shared library named by a path from the configuration.
// Besides the entry points its user looks up with bvpluginload_getfunc, it
// may export
//     int  bvplugin_init(const char* args, void** context);   // 0 = ready
//     void bvplugin_shutdown(void* context);
// bvpluginload calls the first after loading (a non-zero result makes the
// load fail) and bvpluginload_shutdown the second before unloading.  The
// context is handed back to the plug-in with every call its user makes.
//
// The library is opened with RTLD_NOW | RTLD_LOCAL, so a plug-in with
// unresolved symbols fails at load time, not in the middle of a message.
// Failures are logged once here (priority 3, with the loader's reason) and
// reported as null.  Load and shutdown are not thread-safe with respect to
// calls into the same plug-in: callers load before starting work and unload
// after it ends.
#pragma once

#include <memory>

struct bvplugin;

// Loads libname and initialises it with args (null taken as "").  The
// handle belongs to the caller until bvpluginload_shutdown; null on failure.
bvplugin* bvpluginload(const char* libname, const char* args);

// The address of the exported symbol name, or null when the library does not
// export it.
void* bvpluginload_getfunc(bvplugin* plugin, const char* name);

// The context the plug-in's bvplugin_init produced (null without one).
void* bvpluginload_context(bvplugin* plugin);

// Shuts the plug-in down and unloads it; null is ignored.
void bvpluginload_shutdown(bvplugin* plugin);

struct PluginShutdown {
  void operator()(bvplugin* p) const { bvpluginload_shutdown(p); }
};
using PluginPtr = std::unique_ptr<bvplugin, PluginShutdown>;
