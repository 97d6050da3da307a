#include "store/storeutil.h"

#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/xmalloc.h"
#include "store/mboxname.h"

namespace {

constexpr char kNoPath[] = "<partition has no path defined>";

int clamp_kb(double kb) {
  if (!(kb > 0)) return 0;
  return kb >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(kb);
}

// a + b for non-negative b, held at INT_MAX instead of wrapping.
int saturating_add(int a, uint64_t b) {
  if (b >= static_cast<uint64_t>(INT_MAX) - static_cast<uint64_t>(std::max(a, 0))) return INT_MAX;
  return a + static_cast<int>(b);
}

struct free_deleter {
  void operator()(void* p) const { free(p); }
};

struct Summary {
  const store_partition_source* src;
  partition_info_t* list = nullptr;
  size_t count = 0;
  std::string last;  // the last matched part counted
};

partition_info_t* find_or_add(Summary& s, const char* partition) {
  for (size_t i = 0; i < s.count; ++i) {
    if (strcmp(s.list[i].partition, partition) == 0) return &s.list[i];
  }
  const size_t namelen = strlen(partition);
  if (namelen >= sizeof(s.list[0].partition)) {
    bvlog(0, LOG_STORE_ERR, "function=storeutil_getmboxinfo|partition name too long: %s", partition);
    return nullptr;
  }
  // One more entry and the terminator.
  s.list = static_cast<partition_info_t*>(xrealloc(s.list, (s.count + 2) * sizeof(partition_info_t)));
  partition_info_t* e = &s.list[s.count++];
  memset(e, 0, 2 * sizeof(partition_info_t));
  memcpy(e->partition, partition, namelen + 1);
  std::unique_ptr<char, free_deleter> dir(configmsg_partitiondir(partition));
  const size_t dirlen = dir ? strlen(dir.get()) : 0;
  if (dir && dirlen < sizeof(e->path)) {
    memcpy(e->path, dir.get(), dirlen + 1);
    (void)store_getpathinfo(e->path, &e->total, &e->avail);  // logged there
  } else {
    if (dir) bvlog(0, LOG_STORE_ERR, "function=storeutil_getmboxinfo|partition path too long: %s", partition);
    static_assert(sizeof(kNoPath) <= sizeof(e->path));
    memcpy(e->path, kNoPath, sizeof(kNoPath));
  }
  return e;
}

int count_folder(void* rock, const char* name, int matchlen, uint64_t qused) {
  Summary& s = *static_cast<Summary*>(rock);
  if (!name || matchlen < 0) return 0;
  const size_t len = strlen(name);
  const size_t m = std::min(static_cast<size_t>(matchlen), len);
  // A folder reached again as a partial match of the same leading part has
  // been counted already.
  if (m < len && s.last.size() == m && strncasecmp(s.last.c_str(), name, m) == 0) return 0;
  s.last.assign(name, m);

  char internal[MBOXNAME_BUF];
  int r = mboxname_tointernal(name, -1, nullptr, internal);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "function=storeutil_getmboxinfo|mboxname_tointernal(%s) return \"%s\"", name,
          error_message(r));
    return 0;
  }
  char* raw = nullptr;
  r = s.src->lookup_partition(s.src->ctx, internal, &raw);
  std::unique_ptr<char, free_deleter> partition(raw);
  if (r || !partition) {
    bvlog(0, LOG_STORE_ERR, "function=storeutil_getmboxinfo|mboxlist_lookup(%s) return \"%s\"", internal,
          error_message(r ? r : IMAP_MAILBOX_NONEXISTENT));
    return 0;
  }

  partition_info_t* e = find_or_add(s, partition.get());
  if (!e) return 0;
  e->numfolders = saturating_add(e->numfolders, 1);
  // The record's fields are plain ints; sums that do not fit stay at
  // INT_MAX rather than wrapping into nonsense.
  e->byteused = saturating_add(e->byteused, qused);
  if (store_isInbox(internal)) {
    e->numusers = saturating_add(e->numusers, 1);
    int64_t limit = 0;
    if (e->totalquota != -1 && s.src->quota_limit(s.src->ctx, internal, &limit) == 0) {
      e->totalquota = limit < 0 ? -1 : saturating_add(e->totalquota, static_cast<uint64_t>(limit));
    }
  }
  return 0;
}

}  // namespace

char* store_canonifyid(char* id) { return auth_canonifydomain(id); }

char* store_canonifymboxname(char* name) {
  if (strncmp(name, "user/", 5) != 0) return name;
  char* uid = name + 5;
  char* slash = strchr(uid, '/');
  if (!slash) {
    store_canonifyid(uid);
    return name;
  }
  *slash = '\0';
  store_canonifyid(uid);
  *slash = '/';
  size_t newlen = strlen(uid);
  if (uid + newlen < slash) memmove(uid + newlen, slash, strlen(slash) + 1);
  return name;
}

int store_isInbox(const char* name) {
  if (!name || strncmp(name, "user/", 5) != 0 || name[5] == '\0' || name[5] == '/') return 0;
  const char* slash = strchr(name + 5, '/');
  return !slash || strcmp(slash, "/INBOX") == 0;
}

int store_getpathinfo(const char* path, int* total, int* avail) {
  *total = 0;
  *avail = 0;
  if (!path) return -1;
  std::string p = path;
  struct stat st;
  // Partitions may be configured before their directories exist: measure
  // the nearest existing ancestor.
  while (stat(p.c_str(), &st) != 0) {
    size_t cut = p.find_last_of("/\\");
    if (cut == std::string::npos || p == "/") break;
    p.resize(cut == 0 ? 1 : cut);
  }
  struct statvfs vfs;
  if (statvfs(p.c_str(), &vfs) != 0) {
    bvlog(0, LOG_STORE_ERR, "function=storeutil_getpathinfo|statvfs(%s) return (%m)", path);
    return -1;
  }
  const double frsize = static_cast<double>(vfs.f_frsize);
  *total = clamp_kb(frsize * static_cast<double>(vfs.f_blocks) / 1024.0);
  *avail = clamp_kb(frsize * static_cast<double>(vfs.f_bavail) / 1024.0);
  return 0;
}

int store_getpartitions(const store_partition_source& src, partition_info_t** list) {
  *list = nullptr;
  Summary s;
  s.src = &src;
  int r = src.findall(src.ctx, count_folder, &s);
  if (!s.list) {
    // Callers walk to the terminator; give them one even for an empty store.
    s.list = static_cast<partition_info_t*>(xcalloc(1, sizeof(partition_info_t)));
  }
  *list = s.list;
  return r;
}
