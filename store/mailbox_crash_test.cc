// Crash safety and cross-process use of a folder's index.
//
// The databases are not needed: the list seam is replaced (mailbox_testutil.h)
// and no Berkeley DB environment is open when the tests fork.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/test_util.h"
#include "store/mailbox.h"
#include "store/mailbox_check.h"
#include "store/mailbox_testutil.h"

namespace {

using namespace mailbox_testutil;

class MailboxProcesses : public ::testing::Test {
 protected:
  // Made without the databases (seen_create would need them).
  void SetUp() override { ASSERT_TRUE(start_bare_folder(dir_.path(), "crashtest", &path_)); }
  void TearDown() override { configmsg_free(); }
  int open(mailbox* m) { return open_bare_folder(path_, m); }
  TempDir dir_;
  std::string path_;
};

// ---- The operation sequence and its model ------------------------------------------

struct Model {
  std::set<uint32_t> uids;
  uint32_t next_uid = 1;
  std::string acl;
  bool operator==(const Model&) const = default;
};

std::string acl_for(uint64_t round) {
  // Grows by ~500 bytes per header step, so most of them rewrite the file;
  // every 12th falls back to a short ACL (an in-place write).
  std::string acl;
  uint64_t n = round % 12;
  for (uint64_t i = 0; i < n; ++i) {
    acl += "someone.with.a.long.name" + std::to_string(i) + "@example.com\tlrswipcda\t";
    for (int k = 0; k < 8; ++k) acl += "g" + std::to_string(round % 97) + "-" + std::to_string(k) + "\tlr\t";
  }
  return acl;
}

bool expunge_this(uint64_t step, uint32_t uid) { return (uid + step) % 3 == 0; }

// Step s: 0-3 mod 6 append one message each, 4 expunges about a third of
// the folder, 5 rewrites the variable header.  Every 7th step then also
// cleans up the expunge log (which changes no state the model tracks).
void model_apply(Model& m, uint64_t s) {
  switch (s % 6) {
    case 4:
      for (auto it = m.uids.begin(); it != m.uids.end();) it = expunge_this(s, *it) ? m.uids.erase(it) : std::next(it);
      break;
    case 5:
      m.acl = acl_for(s / 6);
      break;
    default:
      m.uids.insert(m.next_uid++);
  }
}

uint64_t g_step;
int expunge_step(void*, const index_record* r) { return expunge_this(g_step, r->uid) ? 1 : 0; }

int run_step(mailbox* mb, Model& m, uint64_t s) {
  int r = 0;
  switch (s % 6) {
    case 4:
      g_step = s;
      r = mailbox_expunge(mb, EXPUNGE_NONOTIFY, 0, expunge_step, nullptr);
      break;
    case 5:
      if ((r = mailbox_lock_index(mb)) == 0) {
        free(mb->acl);
        mb->acl = strdup(acl_for(s / 6).c_str());
        r = mailbox_write_index_variable_header(mb);
        mailbox_unlock_index(mb);
      }
      break;
    default:
      r = append_message(mb, m.next_uid, message_text(m.next_uid, m.next_uid % 40));
      break;
  }
  model_apply(m, s);
  if (!r && s % 7 == 6) {
    r = mailbox_clean_expunge(mb->path, nullptr, time(nullptr));
    if (r == IMAP_MAILBOX_NONEXISTENT) r = 0;
  }
  return r;
}

std::vector<uint32_t> logged_uids(const std::string& path) {
  std::string log = read_text_file(path + "/store.exp");
  std::vector<uint32_t> out;
  for (size_t off = 8; off + 8 <= log.size(); off += 8) {
    const auto* p = reinterpret_cast<const unsigned char*>(log.data()) + off + 4;
    out.push_back(get_le32(p));
  }
  return out;
}

TEST_F(MailboxProcesses, KilledMidOperationLeavesOldOrNewState) {
  unsigned seed = static_cast<unsigned>(time(nullptr));
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  Model done;         // the folder's state after step next - 1
  uint64_t next = 0;  // first step not known to be in the folder
  int new_state = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int round = 0; round < 200; ++round) {
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(pipefd[0]);
      bvlog_to_stderr(LOG_SEV_EMERG);
      mailbox mb;
      if (open(&mb) != 0) _exit(2);
      Model m = done;
      for (uint64_t s = next;; ++s) {
        if (run_step(&mb, m, s) != 0) _exit(3);
        if (write(pipefd[1], &s, sizeof s) != sizeof s) _exit(4);
      }
    }
    close(pipefd[1]);
    usleep(std::uniform_int_distribution<unsigned>(0, 8000)(rng));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with " << WEXITSTATUS(status) << " at round " << round;
    uint64_t s;
    while (read(pipefd[0], &s, sizeof s) == sizeof s) {
      ASSERT_EQ(s, next);
      model_apply(done, s);
      next = s + 1;
    }
    close(pipefd[0]);

    mailbox_check_report rep;
    ASSERT_EQ(mailbox_check(path_.c_str(), nullptr, &rep), 0);
    ASSERT_TRUE(rep.problems.empty()) << "round " << round << ": " << rep.problems[0];
    Model found;
    for (const auto& r : rep.records) found.uids.insert(r.uid);
    found.acl = rep.acl;
    found.next_uid = rep.mbd.last_uid + 1;
    Model after = done;
    model_apply(after, next);
    if (found == done) {
      // killed before the step took effect
    } else if (found == after) {
      done = after;  // the step completed; its report was lost with the child
      next++;
      new_state++;
    } else {
      FAIL() << "round " << round << ": the folder is in neither the state before nor after step " << next << " ("
             << found.uids.size() << " messages, " << done.uids.size() << " before, " << after.uids.size() << " after)";
    }
    // No uid may be both in the index and in the expunge log: a clean-up
    // would remove a live message's file.
    for (uint32_t u : logged_uids(path_)) ASSERT_EQ(found.uids.count(u), 0u) << "uid " << u << " round " << round;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(secs, 50.0);
  EXPECT_GT(next, 100u) << "the children hardly ran";
  RecordProperty("steps", static_cast<int>(next));
  RecordProperty("killed_after_effect", new_state);
}

// ---- Readers and writers in several processes ----------------------------------------

TEST_F(MailboxProcesses, ReaderKeepsOldViewUntilItLocks) {
  mailbox w, r;
  ASSERT_EQ(open(&w), 0);
  for (uint32_t u = 1; u <= 6; ++u) ASSERT_EQ(append_message(&w, u, message_text(u)), 0);
  ASSERT_EQ(open(&r), 0);
  ASSERT_EQ(r.mbd.exists, 6u);
  ASSERT_EQ(mailbox_expunge(
                &w, 0, 0, [](void*, const index_record* x) { return x->uid % 2 == 0 ? 1 : 0; }, nullptr),
            0);
  // The reader's map is the old file: all six records and cache entries.
  for (unsigned i = 1; i <= 6; ++i) {
    index_record rec;
    ASSERT_EQ(mailbox_read_index_record(&r, i, &rec), 0);
    EXPECT_EQ(rec.uid, i);
    EXPECT_NE(mailbox_cache_item(r.index_map, "user/ann", i, CACHE_SUBJECT), nullptr);
  }
  // Taking the lock follows the replacement.
  ASSERT_EQ(mailbox_lock_index(&r), 0);
  EXPECT_EQ(r.mbd.exists, 3u);
  index_record rec;
  ASSERT_EQ(mailbox_read_index_record(&r, 2, &rec), 0);
  EXPECT_EQ(rec.uid, 3u);
  const unsigned char* subj = mailbox_cache_item(r.index_map, "user/ann", 2, CACHE_SUBJECT);
  ASSERT_NE(subj, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(subj) + 4, get_be32(subj)), "\"message 3\"");
  mailbox_unlock_index(&r);
  mailbox_close(&r);
  mailbox_close(&w);
}

TEST_F(MailboxProcesses, AppenderAndExpungerInTwoProcesses) {
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      bvlog_to_stderr(LOG_SEV_EMERG);
      mailbox mb;
      if (open(&mb) != 0) _exit(2);
      if (k == 0) {
        for (uint32_t u = 1; u <= 300; ++u) {
          if (append_message(&mb, u, message_text(u, u % 30)) != 0) _exit(3);
        }
      } else {
        for (int i = 0; i < 40; ++i) {
          if (mailbox_expunge(
                  &mb, 0, 0, [](void*, const index_record* x) { return x->uid % 2 == 0 ? 1 : 0; }, nullptr) != 0) {
            _exit(4);
          }
        }
      }
      mailbox_close(&mb);
      _exit(0);
    }
  }
  for (pid_t k : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(k, &status, 0), k);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  mailbox_check_report rep;
  ASSERT_EQ(mailbox_check(path_.c_str(), nullptr, &rep), 0);
  ASSERT_TRUE(rep.problems.empty()) << rep.problems[0];
  std::set<uint32_t> have;
  for (const auto& r : rep.records) have.insert(r.uid);
  for (uint32_t u = 1; u <= 300; u += 2) EXPECT_EQ(have.count(u), 1u) << u;  // odd uids are never expunged
  EXPECT_EQ(rep.mbd.last_uid, 300u);
  for (uint32_t u : logged_uids(path_)) EXPECT_EQ(u % 2, 0u);
}

// ---- Deferred appends ----------------------------------------------------------------

// The calls of interest, in order, seen through the file seam.
std::vector<std::string> g_calls;
int record_calls(fs_op op, const char*, size_t*) {
  if (op == fs_op::syncfs) g_calls.emplace_back("syncfs");
  if (op == fs_op::rename) g_calls.emplace_back("rename");
  if (op == fs_op::fdatasync || op == fs_op::fsync) g_calls.emplace_back("filesync");
  return 0;
}

// The message count of the header on disk.
uint32_t exists_on_disk(const std::string& path) {
  unsigned char head[INDEX_HEADER_SIZE] = {};
  UniqueFd fd(::open((path + "/store.idx").c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(fd);
  EXPECT_EQ(pread(fd.get(), head, sizeof head, 0), static_cast<ssize_t>(sizeof head));
  return mboxdata_decode(head).exists;
}

// Appends under MAILBOX_OPEN_DEFERSYNC are not counted by the header on
// disk until mailbox_flush has flushed their files, so a crash before
// never leaves a counted record without its message file.  An index that
// runs out of room is rewritten without a flush: the new file holds every
// record but counts, as the old one did, only the flushed ones, and the
// handle goes on counting the rest until its flush.  A header that may
// not be counted yet never reaches the disk.
TEST(MailboxDeferSync, TheHeaderCountsAppendsOnlyOnceTheirFilesAreFlushed) {
  TempDir dir;
  std::string path;
  ASSERT_TRUE(start_bare_folder(dir.path(), "defersync", &path, "local.store.synclevel = 1\n"));
  mailbox m;
  // Opened as append_setup opens a restore's folder.
  ASSERT_EQ(mailbox_open_path("user/ann", MAILBOX_OPEN_APPEND | MAILBOX_OPEN_DEFERSYNC, "p", path.c_str(), nullptr, "",
                              nullptr, &m),
            0);
  // Held across the appends, as a restore holds it: the deferred header
  // lives in the handle.
  ASSERT_EQ(mailbox_lock_index(&m), 0);
  g_calls.clear();
  fs_fault_hook old = fs_set_fault_hook(record_calls);
  for (uint32_t uid = 1; uid <= 3; ++uid) ASSERT_EQ(append_message(&m, uid, message_text(uid)), 0);
  EXPECT_EQ(exists_on_disk(path), 0u);
  EXPECT_TRUE(g_calls.empty());
  ASSERT_EQ(mailbox_flush(&m), 0);
  EXPECT_EQ(exists_on_disk(path), 3u);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"syncfs", "filesync"}));

  g_calls.clear();
  for (uint32_t uid = 4; uid <= INDEX_RESERVE_RECORDS + 1; ++uid)
    ASSERT_EQ(append_message(&m, uid, message_text(uid)), 0);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"filesync", "rename"}));
  EXPECT_EQ(exists_on_disk(path), 3u);
  EXPECT_TRUE(m.header_deferred);
  EXPECT_EQ(m.mbd.exists, INDEX_RESERVE_RECORDS + 1);
  {
    // Another process reads the flushed state from the new file.
    mailbox other;
    ASSERT_EQ(open_bare_folder(path, &other), 0);
    EXPECT_EQ(other.mbd.exists, 3u);
    index_record rec;
    ASSERT_EQ(mailbox_read_index_record(&other, 3, &rec), 0);
    EXPECT_EQ(rec.uid, 3u);
    mailbox_close(&other);
  }
  ASSERT_EQ(mailbox_flush(&m), 0);
  fs_set_fault_hook(old);
  EXPECT_EQ(exists_on_disk(path), INDEX_RESERVE_RECORDS + 1);
  mailbox_unlock_index(&m);
  mailbox_close(&m);
  mailbox_check_report rep;
  ASSERT_EQ(mailbox_check(path.c_str(), nullptr, &rep), 0);
  EXPECT_TRUE(rep.problems.empty()) << rep.problems[0];
  EXPECT_EQ(rep.mbd.last_uid, INDEX_RESERVE_RECORDS + 1);
  configmsg_free();
}

}  // namespace

namespace {

// The flush calls and header writes of a batch flush, in order; with
// g_fail_first_syncfs the first syncfs fails with EIO.
std::vector<std::string> g_batch_calls;
bool g_fail_first_syncfs = false;
int record_batch_calls(fs_op op, const char*, size_t* count) {
  if (op == fs_op::syncfs) {
    g_batch_calls.emplace_back("syncfs");
    if (g_fail_first_syncfs) {
      g_fail_first_syncfs = false;
      return EIO;
    }
  }
  if (op == fs_op::fdatasync || op == fs_op::fsync) g_batch_calls.emplace_back("filesync");
  if (op == fs_op::pwrite && count && *count == INDEX_HEADER_SIZE) g_batch_calls.emplace_back("header");
  return 0;
}

// A restore's batch of folders is flushed as a whole: the files of every
// folder first (one syncfs per file system, not one per folder), then the
// headers, then one more syncfs that makes the headers durable, with no
// flush of each index.  When the first flush fails no header is written:
// every folder stays as it was, and its handle no longer holds a header to
// write.
TEST(MailboxFlushMany, EveryFolderIsFlushedBeforeAnyHeaderAndAFailedFlushWritesNone) {
  TempDir dir;
  std::string ann;
  ASSERT_TRUE(start_bare_folder(dir.path(), "flushmany", &ann, "local.store.synclevel = 1\n"));
  std::vector<std::string> paths{ann};
  for (const char* u : {"bob", "cat"}) {
    paths.push_back(dir.path() + "/user/" + u);
    ASSERT_TRUE(write_empty_index(paths.back()));
  }
  std::vector<mailbox> ms(paths.size());
  std::vector<mailbox*> batch;
  for (size_t i = 0; i < paths.size(); ++i) {
    ASSERT_EQ(mailbox_open_path(("user/f" + std::to_string(i)).c_str(), MAILBOX_OPEN_APPEND | MAILBOX_OPEN_DEFERSYNC,
                                "p", paths[i].c_str(), nullptr, "", nullptr, &ms[i]),
              0);
    ASSERT_EQ(mailbox_lock_index(&ms[i]), 0);
    for (uint32_t uid = 1; uid <= 2; ++uid) ASSERT_EQ(append_message(&ms[i], uid, message_text(uid)), 0);
    batch.push_back(&ms[i]);
  }
  for (const auto& p : paths) EXPECT_EQ(exists_on_disk(p), 0u);

  g_batch_calls.clear();
  fs_fault_hook old = fs_set_fault_hook(record_batch_calls);
  ASSERT_EQ(mailbox_flush_many(batch.data(), batch.size()), 0);
  EXPECT_EQ(g_batch_calls, (std::vector<std::string>{"syncfs", "header", "header", "header", "syncfs"}));
  for (const auto& p : paths) EXPECT_EQ(exists_on_disk(p), 2u);

  // A failed first flush: no header is written, none is left to write.
  for (mailbox& m : ms) ASSERT_EQ(append_message(&m, 3, message_text(3)), 0);
  g_batch_calls.clear();
  g_fail_first_syncfs = true;
  EXPECT_EQ(mailbox_flush_many(batch.data(), batch.size()), IMAP_IOERROR);
  EXPECT_EQ(g_batch_calls, std::vector<std::string>{"syncfs"});
  fs_set_fault_hook(old);
  g_fail_first_syncfs = false;
  for (size_t i = 0; i < ms.size(); ++i) {
    EXPECT_EQ(exists_on_disk(paths[i]), 2u);
    EXPECT_FALSE(ms[i].header_deferred);
    mailbox_unlock_index(&ms[i]);
    mailbox_close(&ms[i]);
    mailbox_check_report rep;
    ASSERT_EQ(mailbox_check(paths[i].c_str(), nullptr, &rep), 0);
    EXPECT_TRUE(rep.problems.empty()) << rep.problems[0];
    EXPECT_EQ(rep.mbd.exists, 2u);
  }
  configmsg_free();
}

}  // namespace
