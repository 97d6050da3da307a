#include "store/msgtype.h"

#include <cstring>
#include <string>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/plugin.h"
#include "store/index_record.h"

namespace {

struct State {
  PluginPtr plugin;
  msgtype_examine_fn examine = nullptr;
  std::string names[MSGTYPE_FLAG_COUNT];
  bool has_name[MSGTYPE_FLAG_COUNT] = {};
};
State g_state;

// An IMAP atom (RFC 3501): one or more ASCII characters other than
// controls, space and ( ) { % * " \ ].
bool is_atom(const char* s) {
  if (!*s) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) {
    if (*p <= 32 || *p >= 127 || strchr("(){%*\"\\]", *p)) return false;
  }
  return true;
}

}  // namespace

int msgtype_load(const char* setting) {
  msgtype_shutdown();
  if (!setting || !*setting) return 0;
  std::string lib(setting), args;
  if (size_t dollar = lib.find('$'); dollar != std::string::npos) {
    args = lib.substr(dollar + 1);
    lib.resize(dollar);
  }
  PluginPtr plugin(bvpluginload(lib.c_str(), args.c_str()));
  if (!plugin) return 0;  // logged by the loader
  auto getnames =
      reinterpret_cast<msgtype_getflagnames_fn>(bvpluginload_getfunc(plugin.get(), "bvplugin_msgtype_getFlagNames"));
  auto examine =
      reinterpret_cast<msgtype_examine_fn>(bvpluginload_getfunc(plugin.get(), "bvplugin_msgtype_examineMessage"));
  if (!getnames || !examine) {
    bvlog(0, LOG_SEV_ERR, "Msgtype plugin missing required function %s",
          !getnames ? "plugin_msgtype_getFlagNames()" : "plugin_msgtype_examineMessage()");
    return 0;
  }
  const char* names[MSGTYPE_FLAG_COUNT] = {};
  getnames(bvpluginload_context(plugin.get()), MSGTYPE_FLAG_COUNT, names);
  for (const char* name : names) {
    if (name && !is_atom(name)) {
      bvlog(0, LOG_SEV_CRIT, "Msgtype plugin flag name \"%s\" is syntactically illegal", name);
      return IMAP_CONFIG_ERROR;
    }
  }
  for (int i = 0; i < MSGTYPE_FLAG_COUNT; ++i) {
    g_state.has_name[i] = names[i] != nullptr;
    g_state.names[i] = names[i] ? names[i] : "";
  }
  g_state.examine = examine;
  g_state.plugin = std::move(plugin);
  return 0;
}

int msgtype_init(config_cache* config) { return msgtype_load(config_get_string(config, MSGTYPE_CONFIG_KEY, nullptr)); }

uint32_t msgtype_examine(const char* base, size_t len, const body* root) {
  if (!g_state.examine) return 0;
  return g_state.examine(bvpluginload_context(g_state.plugin.get()), base, len, root) & INDEX_FLAG_MSGTYPE_MASK;
}

const char* msgtype_flag_name(int n) {
  if (n < 0 || n >= MSGTYPE_FLAG_COUNT || !g_state.has_name[n]) return nullptr;
  return g_state.names[n].c_str();
}

bool msgtype_active() { return g_state.examine != nullptr; }

void msgtype_shutdown() {
  g_state.examine = nullptr;
  g_state.plugin.reset();
  for (int i = 0; i < MSGTYPE_FLAG_COUNT; ++i) {
    g_state.has_name[i] = false;
    g_state.names[i].clear();
  }
}
