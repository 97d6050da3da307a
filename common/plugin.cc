#include "common/plugin.h"

#include <dlfcn.h>

#include <string>

#include "common/bvlog.h"

namespace {

struct DlClose {
  void operator()(void* h) const { dlclose(h); }
};

using init_fn = int (*)(const char* args, void** context);
using shutdown_fn = void (*)(void* context);

constexpr int kPriority = bvlog_priority(0, LOG_SEV_ERR);

}  // namespace

struct bvplugin {
  std::unique_ptr<void, DlClose> handle;
  void* context = nullptr;
  std::string name;
};

bvplugin* bvpluginload(const char* libname, const char* args) {
  if (!libname || !*libname) {
    bvlog(0, kPriority, "Unable to load plug-in: no library named");
    return nullptr;
  }
  auto p = std::make_unique<bvplugin>();
  p->name = libname;
  p->handle.reset(dlopen(libname, RTLD_NOW | RTLD_LOCAL));
  if (!p->handle) {
    const char* why = dlerror();
    bvlog(0, kPriority, "Unable to load plug-in %s: %s", libname, why ? why : "unknown error");
    return nullptr;
  }
  if (auto init = reinterpret_cast<init_fn>(dlsym(p->handle.get(), "bvplugin_init"))) {
    int r = init(args ? args : "", &p->context);
    if (r != 0) {
      bvlog(0, kPriority, "Unable to load plug-in %s: its initialisation failed (%d)", libname, r);
      return nullptr;
    }
  }
  return p.release();
}

void* bvpluginload_getfunc(bvplugin* plugin, const char* name) {
  if (!plugin || !name) return nullptr;
  return dlsym(plugin->handle.get(), name);
}

void* bvpluginload_context(bvplugin* plugin) { return plugin ? plugin->context : nullptr; }

void bvpluginload_shutdown(bvplugin* plugin) {
  std::unique_ptr<bvplugin> owner(plugin);
  if (!owner) return;
  if (auto fini = reinterpret_cast<shutdown_fn>(dlsym(owner->handle.get(), "bvplugin_shutdown"))) fini(owner->context);
}
