#include "store/userscan.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/config.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"

namespace {

bool is_hex2(const char* s) {
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  return hex(s[0]) && hex(s[1]) && s[2] == '\0';
}

// Entries of path in directory order ("." and ".." left out); empty when
// it cannot be read.
std::vector<std::string> dir_entries(const std::string& path) {
  std::vector<std::string> out;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
  if (!d) return out;
  while (dirent* e = readdir(d.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  return out;
}

}  // namespace

int userscan_partition(const char* partition, const userscan_proc& proc) {
  char* rootp = configmsg_partitiondir(partition);
  if (!rootp) return 0;
  std::string root = std::string(rootp) + "/=user/";
  free(rootp);
  for (const std::string& h1 : dir_entries(root)) {
    if (!is_hex2(h1.c_str())) continue;
    for (const std::string& h2 : dir_entries(root + h1)) {
      if (!is_hex2(h2.c_str())) continue;
      std::string hashdir = root + h1 + "/" + h2 + "/";
      for (const std::string& e : dir_entries(hashdir)) {
        char user[MBOXNAME_MAX];
        // A user directory is one encoded component: a '/' in the decoded
        // name cannot be a user id.
        if (mboxname_frompath(e.c_str(), user) != 0 || strchr(user, '/')) continue;
        if (int r = proc(user, hashdir + e)) return r;
      }
    }
  }
  return 0;
}

std::vector<std::string> userscan_partitions() {
  std::vector<std::string> names;
  configmsg_scanpartition(
      [](const char* name, void* arg) {
        static_cast<std::vector<std::string>*>(arg)->push_back(name);
        return 0;
      },
      &names);
  return names;
}

bool userscan_inbox_on_disk(const char* userid, std::string* partition, std::string* path) {
  char inbox[MBOXNAME_MAX];
  mboxname_toownedmailbox(nullptr, userid, inbox);
  for (const std::string& part : userscan_partitions()) {
    char p[MBOXNAME_PATH_BUF];
    if (mboxlist_getpath(inbox, part.c_str(), p, nullptr) != 0) continue;
    if (access((std::string(p) + "/store.idx").c_str(), F_OK) != 0) continue;
    if (partition) *partition = part;
    if (path) *path = p;
    return true;
  }
  return false;
}
