#include "backup/restore_batch.h"

#include <algorithm>
#include <system_error>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/signals.h"

RestoreBatch::RestoreBatch() {
  config_cache* c = config_getdefaultcache();
  max_folders_ = static_cast<size_t>(std::max(1, config_get_int(c, "local.restore.batchfolders", 64)));
  max_bytes_ = static_cast<uint64_t>(std::max(1, config_get_int(c, "local.restore.batchmb", 64))) << 20;
  max_wait_ = std::chrono::milliseconds(1000LL * std::max(0, config_get_int(c, "local.restore.batchseconds", 2)));
}

RestoreBatch::~RestoreBatch() {
  (void)flush();
  if (!flusher_.joinable()) return;
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  flusher_.join();
}

bool RestoreBatch::due() const {
  if (pending_.empty()) return false;
  return pending_.size() >= max_folders_ || bytes_ >= max_bytes_ ||
         std::chrono::steady_clock::now() - oldest_ >= max_wait_;
}

int RestoreBatch::add(const std::string& iname, std::unique_ptr<appendmbox> amb) {
  if (!amb || !amb->mailbox) return 0;
  if (pending_.empty()) oldest_ = std::chrono::steady_clock::now();
  pending_.push_back(Entry{iname, std::move(amb)});
  return due() ? hand_over() : 0;
}

std::unique_ptr<appendmbox> RestoreBatch::take(const std::string& iname) {
  auto named = [&](const Entry& e) { return e.iname == iname; };
  bool in_flight;
  {
    std::lock_guard<std::mutex> g(mu_);
    in_flight = busy_ && std::any_of(handed_.begin(), handed_.end(), named);
  }
  // Its flush ends its append context; the caller opens it again.
  if (in_flight) (void)wait_flushed();
  auto it = std::find_if(pending_.begin(), pending_.end(), named);
  if (it == pending_.end()) return nullptr;
  std::unique_ptr<appendmbox> amb = std::move(it->amb);
  pending_.erase(it);
  return amb;
}

RestoreBatch::Held RestoreBatch::find(const std::string& iname) {
  for (Entry& e : pending_) {
    if (e.iname == iname) return Held{e.amb->mailbox, {}};
  }
  std::unique_lock<std::mutex> g(mu_);
  if (!busy_) return {};
  for (Entry& e : handed_) {
    if (e.iname == iname) return Held{e.amb->mailbox, std::move(g)};
  }
  return {};
}

int RestoreBatch::appended(uint64_t bytes) {
  bytes_ += bytes;
  return due() ? hand_over() : 0;
}

int RestoreBatch::flush() {
  int r = hand_over();
  int w = wait_flushed();
  return r ? r : w;
}

int RestoreBatch::wait_flushed() {
  int r;
  {
    std::unique_lock<std::mutex> g(mu_);
    cv_.wait(g, [this] { return !busy_; });
    r = result_;
    result_ = 0;
  }
  if (r) failed_ = true;
  return r;
}

int RestoreBatch::hand_over() {
  bytes_ = 0;
  int r = wait_flushed();
  if (pending_.empty()) return r;
  if (!flusher_.joinable()) {
    try {
      // Signals stay with the restore's thread, which polls for them.
      SignalsBlocked blocked;
      flusher_ = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
      bvlog(0, LOG_STORE_WARNING, "Restore flushes its folders itself: no thread for it (%s)", e.what());
    }
  }
  std::unique_lock<std::mutex> g(mu_);
  handed_ = std::move(pending_);
  pending_.clear();
  busy_ = true;
  if (!flusher_.joinable()) {
    flush_handed(g);
    return r;
  }
  g.unlock();
  cv_.notify_all();
  return r;
}

void RestoreBatch::flush_handed(std::unique_lock<std::mutex>& g) {
  std::vector<mailbox*> ms;
  ms.reserve(handed_.size());
  for (Entry& e : handed_) ms.push_back(e.amb->mailbox);
  g.unlock();
  // The restore may read these handles (find) while the disk works.
  int r = mailbox_flush_many(ms.data(), ms.size(), &mu_);
  g.lock();
  for (Entry& e : handed_) {
    if (r) bvlog(0, LOG_STORE_ERR, "%s: the restored messages may not be on disk\n", e.iname.c_str());
    append_finish(e.amb.get());
  }
  handed_.clear();
  result_ = r;
  busy_ = false;
  cv_.notify_all();
}

void RestoreBatch::run() {
  std::unique_lock<std::mutex> g(mu_);
  for (;;) {
    cv_.wait(g, [this] { return busy_ || stop_; });
    if (!busy_) return;
    flush_handed(g);
  }
}
