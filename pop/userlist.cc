#include "pop/userlist.h"

#include <dirent.h>
#include <prerror.h>
#include <prshm.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/loginslot.h"
#include "pop/access.h"

namespace {

struct Published {
  pid_t pid = 0;  // the process that made the segment (0: none yet)
  bool failed = false;
  std::string name;
  PRSharedMemory* shm = nullptr;
  unsigned char* seg = nullptr;
  size_t slots = 0;
  std::vector<bool> used;
  std::unordered_map<uint64_t, size_t> by_session;
  bool full_logged = false;
};

std::mutex g_mu;
Published g_list;

void put32(unsigned char* p, uint32_t v) { memcpy(p, &v, 4); }
void put_text(unsigned char* p, size_t n, const std::string& s) {
  memset(p, 0, n);
  memcpy(p, s.data(), std::min(n - 1, s.size()));  // always NUL-terminated
}

std::atomic_ref<uint32_t> counter_of(unsigned char* rec) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(rec + LOGIN_COUNTER_OFFSET));
}
std::atomic_ref<unsigned char> valid_of(unsigned char* rec) {
  return std::atomic_ref<unsigned char>(rec[LOGIN_VALID_OFFSET]);
}

// Address text and port of a socket's peer (getpeername) or own end
// (getsockname), in the server's usual form: an IPv4-mapped peer as IPv4.
void address(int (*get)(int, sockaddr*, socklen_t*), int fd, std::string* text, uint32_t* port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (get(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return;
  ClientAddr a = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  *text = a.to_string();
  *port = a.port;
}

// Deletes segments "pop.<pid>" under dir whose process is gone (killed
// before it could delete its own).
void sweep(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "pop.", 4) != 0) continue;
    const char* digits = e->d_name + 4;
    if (!*digits || strspn(digits, "0123456789") != strlen(digits) || strlen(digits) > 9) continue;
    pid_t pid = static_cast<pid_t>(atol(digits));
    if (pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) continue;
    PR_DeleteSharedMemory((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
}

void remove_at_exit() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_list.pid != getpid() || !g_list.shm) return;
  if (g_list.seg) PR_DetachSharedMemory(g_list.shm, g_list.seg);
  PR_CloseSharedMemory(g_list.shm);
  PR_DeleteSharedMemory(g_list.name.c_str());
  g_list.shm = nullptr;
  g_list.seg = nullptr;
}

// The segment of this process, made on first use.  Lock held.
bool ready() {
  if (g_list.pid == getpid()) return !g_list.failed;
  g_list = Published{};
  g_list.pid = getpid();
  config_cache* cfg = config_getdefaultcache();
  std::string dir = config_get_string(cfg, "local.tmpdir", "/tmp");
  int max = config_get_int(cfg, "service.pop.maxsessions", 1000);
  g_list.slots = static_cast<size_t>(std::clamp(max, 1, 1000000));
  g_list.name = dir + "/pop." + std::to_string(static_cast<unsigned long>(getpid()));
  sweep(dir);
  // Anything under our own process id is a dead process's.
  PR_DeleteSharedMemory(g_list.name.c_str());
  size_t size = g_list.slots * LOGIN_RECORD_SIZE + LOGIN_HEADER_SIZE;
  g_list.shm = PR_OpenSharedMemory(g_list.name.c_str(), size, PR_SHM_CREATE, 0600);
  if (g_list.shm) g_list.seg = static_cast<unsigned char*>(PR_AttachSharedMemory(g_list.shm, 0));
  if (!g_list.seg) {
    bvlog(0, LOG_SEV_ERR, "cannot publish the login list %s: NSPR error %d", g_list.name.c_str(),
          static_cast<int>(PR_GetError()));
    if (g_list.shm) {
      PR_CloseSharedMemory(g_list.shm);
      PR_DeleteSharedMemory(g_list.name.c_str());
      g_list.shm = nullptr;
    }
    g_list.failed = true;
    return false;
  }
  memset(g_list.seg, 0, size);
  g_list.used.assign(g_list.slots, false);
  static bool registered = false;
  if (!registered) {
    registered = true;
    atexit(remove_at_exit);
  }
  return true;
}

// The slots in use end below the highest used one.
void publish_hiwater() {
  size_t top = g_list.used.size();
  while (top > 0 && !g_list.used[top - 1]) top--;
  std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(g_list.seg))
      .store(static_cast<int32_t>(top), std::memory_order_release);
}

}  // namespace

void userlist_login(uint64_t session, const std::string& userid, const std::string& authtype, int fd) {
  if (!config_get_switch(config_getdefaultcache(), "local.pop.enableuserlist", 0)) return;
  std::string from, to;
  uint32_t from_port = 0, to_port = 0;
  address(getpeername, fd, &from, &from_port);
  address(getsockname, fd, &to, &to_port);

  std::lock_guard<std::mutex> lock(g_mu);
  if (!ready() || g_list.by_session.count(session)) return;
  size_t i = 0;
  while (i < g_list.slots && g_list.used[i]) i++;
  if (i == g_list.slots) {
    if (!g_list.full_logged) bvlog(0, LOG_SEV_WARNING, "the login list %s is full", g_list.name.c_str());
    g_list.full_logged = true;
    return;
  }
  unsigned char* rec = g_list.seg + LOGIN_HEADER_SIZE + LOGIN_RECORD_SIZE * i;
  // Invalid and counter moved before the fields change, counter moved
  // again and valid after: a reader that copied while the fields changed
  // sees a different counter or an invalid slot.
  valid_of(rec).store(0, std::memory_order_relaxed);
  uint32_t c = counter_of(rec).load(std::memory_order_relaxed);
  counter_of(rec).store(c + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  put_text(rec + LOGIN_UID_OFFSET, LOGIN_UID_SIZE, userid);
  put_text(rec + LOGIN_ADMUID_OFFSET, LOGIN_ADMUID_SIZE, "");
  put32(rec + LOGIN_TIME_OFFSET, static_cast<uint32_t>(time(nullptr)));
  put_text(rec + LOGIN_FROM_OFFSET, LOGIN_FROM_SIZE, from);
  put_text(rec + LOGIN_TO_OFFSET, LOGIN_TO_SIZE, to);
  put32(rec + LOGIN_FROMPORT_OFFSET, from_port);
  put32(rec + LOGIN_TOPORT_OFFSET, to_port);
  put_text(rec + LOGIN_AUTHTYPE_OFFSET, LOGIN_AUTHTYPE_SIZE, authtype);
  put32(rec + LOGIN_INDEX_OFFSET, static_cast<uint32_t>(i));
  put32(rec + LOGIN_INDEX_OFFSET + 4, 0);
  counter_of(rec).store(c + 2, std::memory_order_release);
  valid_of(rec).store(1, std::memory_order_release);
  g_list.used[i] = true;
  g_list.by_session[session] = i;
  publish_hiwater();
}

void userlist_logout(uint64_t session) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_list.pid != getpid() || g_list.failed) return;
  auto it = g_list.by_session.find(session);
  if (it == g_list.by_session.end()) return;
  unsigned char* rec = g_list.seg + LOGIN_HEADER_SIZE + LOGIN_RECORD_SIZE * it->second;
  valid_of(rec).store(0, std::memory_order_release);
  counter_of(rec).fetch_add(1, std::memory_order_release);
  g_list.used[it->second] = false;
  g_list.by_session.erase(it);
  publish_hiwater();
}
