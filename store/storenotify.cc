#include "store/storenotify.h"

#include <unistd.h>

#include <string>

#include "common/config.h"
#include "common/plugin.h"
#include "store/mailbox.h"

namespace {

struct State {
  PluginPtr plugin;
  void* ctx = nullptr;
  storenotify_append_fn append = nullptr;
  storenotify_expunge_fn expunge = nullptr;
  storenotify_reconstruct_fn reconstruct = nullptr;
  storenotify_peruserflag_fn peruserflag = nullptr;
  storenotify_loguser_fn loguser = nullptr;
  storenotify_quota_fn quota = nullptr;
  std::string procname;
};
State g_notify;

// Stand-ins for arrays a caller did not give.
const uint32_t kZeroWord = 0;
const char* const kEmptyHeader = "";

template <typename Fn>
Fn lookup(bvplugin* plugin, const char* name) {
  return reinterpret_cast<Fn>(bvpluginload_getfunc(plugin, name));
}

}  // namespace

uint32_t storenotify_usage_kb(uint64_t bytes) {
  uint64_t kb = bytes >> 10;
  return kb > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(kb);
}

void storenotify_init(const char* proname) {
  storenotify_shutdown();
  const char* pn = config_processname();
  // config_processname() answers "unknown" before configmsg_init.
  if ((!pn || !*pn || std::string(pn) == "unknown") && proname) pn = proname;
  g_notify.procname = pn ? pn : "";

  const char* setting = config_get_string(config_getdefaultcache(), "local.store.notifyplugin", nullptr);
  if (!setting || !*setting) return;
  std::string lib(setting), args;
  if (size_t dollar = lib.find('$'); dollar != std::string::npos) {
    args = lib.substr(dollar + 1);
    lib.resize(dollar);
  }
  PluginPtr plugin(bvpluginload(lib.c_str(), args.c_str()));
  if (!plugin) return;  // logged by the loader; events stay off
  bvplugin* p = plugin.get();
  g_notify.append = lookup<storenotify_append_fn>(p, "bvplugin_notify_append");
  g_notify.expunge = lookup<storenotify_expunge_fn>(p, "bvplugin_notify_expunge");
  g_notify.reconstruct = lookup<storenotify_reconstruct_fn>(p, "bvplugin_notify_reconstruct");
  g_notify.peruserflag = lookup<storenotify_peruserflag_fn>(p, "bvplugin_notify_peruserflag");
  g_notify.loguser = lookup<storenotify_loguser_fn>(p, "bvplugin_notify_loguser");
  g_notify.quota = lookup<storenotify_quota_fn>(p, "bvplugin_notify_quota");
  g_notify.ctx = bvpluginload_context(p);
  g_notify.plugin = std::move(plugin);
}

void storenotify_shutdown() {
  std::string procname = std::move(g_notify.procname);
  g_notify = State{};
  g_notify.procname = std::move(procname);
}

int storenotify_need_peruserflag() { return g_notify.peruserflag != nullptr; }

void storenotify_append(const mailbox* mailbox, uint32_t num_inserted, const uint32_t* uid, const char* const* header,
                        const uint32_t* header_length, const uint32_t* msg_length, const quotadata* qd) {
  if (!g_notify.append) return;
  quotadata none;
  if (!qd) qd = &none;
  g_notify.append(g_notify.ctx, mailbox->name, mailbox->mbd.uid_validity, mailbox->mbd.exists, num_inserted,
                  uid ? uid : &kZeroWord, header ? header : &kEmptyHeader, header_length ? header_length : &kZeroWord,
                  msg_length ? msg_length : &kZeroWord, qd->qmax, storenotify_usage_kb(qd->qrused), qd->msgqmax,
                  qd->msgqrused, g_notify.procname.c_str(), static_cast<int>(getpid()));
}

void storenotify_expunge(const mailbox* mailbox, uint32_t num_expunged, const uint32_t* uid, const quotadata* pqd) {
  if (!g_notify.expunge) return;
  quotadata none;
  if (!pqd) pqd = &none;
  g_notify.expunge(g_notify.ctx, mailbox->name, mailbox->mbd.uid_validity, mailbox->mbd.exists, num_expunged,
                   uid ? uid : &kZeroWord, mailbox->mbd.last_uid, pqd->qmax, storenotify_usage_kb(pqd->qrused),
                   pqd->msgqmax, pqd->msgqrused, g_notify.procname.c_str(), static_cast<int>(getpid()));
}

void storenotify_reconstruct(const mailbox* mailbox) {
  if (!g_notify.reconstruct) return;
  g_notify.reconstruct(g_notify.ctx, mailbox->name, mailbox->mbd.uid_validity, mailbox->mbd.exists,
                       mailbox->mbd.last_uid, g_notify.procname.c_str(), static_cast<int>(getpid()));
}

void storenotify_peruserflag(const mailbox* mailbox, const char* user, int flagchanged, const int* peruserflag,
                             uint32_t num_total) {
  if (!g_notify.peruserflag) return;
  uint32_t seen = 0, deleted = 0;
  for (uint32_t i = 1; peruserflag && i <= num_total; ++i) {
    if (peruserflag[i] & 1) ++seen;
    if (peruserflag[i] & 2) ++deleted;
  }
  g_notify.peruserflag(g_notify.ctx, mailbox->name, mailbox->mbd.uid_validity, user, flagchanged, seen, deleted,
                       num_total, g_notify.procname.c_str(), static_cast<int>(getpid()));
}

void storenotify_loguser(const char* mechanism, const char* userid, const char* authid, const char* ip, long loggedtime,
                         int logtype) {
  if (!g_notify.loguser) return;
  g_notify.loguser(g_notify.ctx, mechanism, userid, authid, ip, loggedtime, logtype, g_notify.procname.c_str(),
                   static_cast<int>(getpid()));
}

void storenotify_quota(const char* mboxname, quotadata qd, const char* msg) {
  if (!g_notify.quota) return;
  g_notify.quota(g_notify.ctx, mboxname, qd.qmax, storenotify_usage_kb(qd.qrused), qd.msgqmax, qd.msgqrused, msg,
                 g_notify.procname.c_str(), static_cast<int>(getpid()));
}
