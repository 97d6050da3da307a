#include "backup/restore_batch.h"

#include <algorithm>

#include "common/bvlog.h"
#include "common/config.h"

RestoreBatch::RestoreBatch() {
  config_cache* c = config_getdefaultcache();
  max_folders_ = static_cast<size_t>(std::max(1, config_get_int(c, "local.restore.batchfolders", 64)));
  max_bytes_ = static_cast<uint64_t>(std::max(1, config_get_int(c, "local.restore.batchmb", 64))) << 20;
  max_wait_ = std::chrono::milliseconds(1000LL * std::max(0, config_get_int(c, "local.restore.batchseconds", 2)));
}

RestoreBatch::~RestoreBatch() { (void)flush(); }

bool RestoreBatch::due() const {
  if (pending_.empty()) return false;
  return pending_.size() >= max_folders_ || bytes_ >= max_bytes_ ||
         std::chrono::steady_clock::now() - oldest_ >= max_wait_;
}

int RestoreBatch::add(const std::string& iname, std::unique_ptr<appendmbox> amb) {
  if (!amb || !amb->mailbox) return 0;
  if (pending_.empty()) oldest_ = std::chrono::steady_clock::now();
  pending_.push_back(Entry{iname, std::move(amb)});
  return due() ? flush() : 0;
}

std::unique_ptr<appendmbox> RestoreBatch::take(const std::string& iname) {
  auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Entry& e) { return e.iname == iname; });
  if (it == pending_.end()) return nullptr;
  std::unique_ptr<appendmbox> amb = std::move(it->amb);
  pending_.erase(it);
  return amb;
}

mailbox* RestoreBatch::find(const std::string& iname) {
  for (Entry& e : pending_) {
    if (e.iname == iname) return e.amb->mailbox;
  }
  return nullptr;
}

int RestoreBatch::appended(uint64_t bytes) {
  bytes_ += bytes;
  return due() ? flush() : 0;
}

int RestoreBatch::flush() {
  bytes_ = 0;
  if (pending_.empty()) return 0;
  std::vector<mailbox*> ms;
  ms.reserve(pending_.size());
  for (Entry& e : pending_) ms.push_back(e.amb->mailbox);
  int r = mailbox_flush_many(ms.data(), ms.size());
  for (Entry& e : pending_) {
    if (r) bvlog(0, LOG_STORE_ERR, "%s: the restored messages may not be on disk\n", e.iname.c_str());
    append_finish(e.amb.get());
  }
  pending_.clear();
  if (r) failed_ = true;
  return r;
}
