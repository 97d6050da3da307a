// Restores of real backups: a store is built, saved with backup_run, wiped
// (databases and partitions) and restored; the two stores are compared
// folder by folder and message by message.  Also: restoring twice, into
// existing folders, and streams that are cut, damaged or carry a bad link.
#include "backup/restore.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backup/backup.h"
#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bklist.h"
#include "backup/bkmailbox.h"
#include "backup/bkobj.h"
#include "backup/bktape.h"
#include "backup/bktest_store.h"
#include "backup/bktest_util.h"
#include "common/bvlog.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/test_util.h"
#include "store/mailbox_check.h"
#include "store/quota.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const char* const kFolders[] = {"user/joe", "user/joe/Sent", "user/joe/Drafts", "user/joe/Drafts/old",
                                "user/ann", "user/bob"};

std::string seen_text(const char* folder, const char* user, uint32_t* lastuid) {
  mailbox m;
  if (mailbox_open(folder, 0, nullptr, &m) != 0) return "?";
  seen* s = nullptr;
  std::string out = "?";
  if (seen_open(&m, user, &s) == 0) {
    time_t lr, lc;
    char* uids = nullptr;
    if (seen_lockread(s, &lr, lastuid, &lc, &uids) == 0) out = uids ? uids : "";
    free(uids);
    seen_close(s);
  }
  mailbox_close(&m);
  return out;
}

class Restore : public BkStoreTest {
 protected:
  Restore() : BkStoreTest("restore_test") {}

  void build() {
    for (const char* f : {"user/joe", "user/joe/Sent", "user/joe/Drafts", "user/joe/Drafts/old", "user/ann"})
      ASSERT_EQ(bkt_create(f, "primary"), 0) << f;
    ASSERT_EQ(bkt_create("user/bob", "second"), 0);
    add("user/joe", msg_text("one"), 1700000001, 0x2);
    add("user/joe", msg_text("two", 300), 1700000002, 0x1 | 0x8);
    add("user/joe", msg_text("three"), 1700000003);
    add("user/joe/Sent", msg_text("sent"), 1700000010);
    add("user/joe/Drafts/old", "", 1700000011, 0, file("user/joe", 1));  // shared with INBOX/1
    add("user/ann", "", 1700000012, 0, file("user/joe", 2));             // shared across users
    add("user/ann", msg_text("ann's own"), 1700000013);
    add("user/bob", msg_text("bob"), 1700000014);
    ASSERT_EQ(mboxlist_setacl("user/joe", "ann", "lr", nullptr, auth_dontCheckAcl), 0);
    ASSERT_EQ(mboxlist_changesub("user/joe/Sent", "joe", auth_dontCheckAcl, 1), 0);
    write_text_file(bkt_path("user/joe/Sent") + "/store.expirerule", "days=30\n");
    ASSERT_EQ(bkt_seen("user/joe", "joe", 2, "1:2 2"), 0);
  }

  int backup(std::vector<std::string> names = {"/"}, unsigned factor = 0) {
    backup_options o;
    if (factor) o.blkfactor = factor;
    o.devname = path("vol");
    o.names = std::move(names);
    CaptureStderr();
    int rc = backup_run(o, "orvbackup");
    std::string err = GetCapturedStderr();
    reinit();
    EXPECT_EQ(rc, 0) << err;
    return rc;
  }

  // Databases and partitions gone; an empty store started again.
  void wipe() {
    mboxlist_close();
    for (const char* d : {"store", "p1", "p2"}) ASSERT_EQ(system(("rm -rf '" + path(d) + "'").c_str()), 0);
    ASSERT_EQ(mboxlist_recover(), 0);
  }

  // hook, when given, sees every file operation of the restore.
  int restore(const std::string& vol, RestoreCounts* n, std::string* err, RestoreOptions opt = RestoreOptions(),
              fs_fault_hook hook = nullptr) {
    fs_fault_hook old = hook ? fs_set_fault_hook(hook) : nullptr;
    int fd = open(vol.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    int rc;
    CaptureStderr();
    {
      BkContext ctx("orvrestore", 0, 1);
      EXPECT_TRUE(ctx.isvalid());
      BkSession* bks = ctx.getSession(BkMode::Restore, 1, 0);
      BKDEV dev(fd, O_RDONLY, bklist_probe_factor(fd), nullptr, nullptr);
      rc = dev.error() ? 74 : restore_stream(dev, bks, opt, stdout, stderr, n);
    }
    *err = GetCapturedStderr();
    close(fd);
    reinit();
    if (hook) fs_set_fault_hook(old);
    return rc;
  }

  // Everything a user sees of a folder, one line per fact.
  std::string dump(const char* folder) {
    mailbox m;
    if (mailbox_open(folder, 0, nullptr, &m) != 0) return "missing";
    std::string out = "uidvalidity " + std::to_string(m.mbd.uid_validity) + "\nacl " + m.acl + "\n";
    char* part = nullptr;
    EXPECT_EQ(mboxlist_lookup(folder, nullptr, &part, nullptr, nullptr, nullptr), 0);
    out += std::string("partition ") + (part ? part : "?") + "\n";
    free(part);
    out += "sub " + std::to_string(mboxlist_lookup_subs(owner(folder).c_str(), folder) == 0) + "\n";
    out += "rule " + read_text_file(std::string(m.path) + "/store.expirerule") + "\n";
    for (uint32_t n = 1; n <= m.mbd.exists; n++) {
      index_record r;
      EXPECT_EQ(mailbox_read_index_record(&m, n, &r), 0);
      map_handle* mp = nullptr;
      EXPECT_EQ(mailbox_map_message(&m, r.uid, nullptr, &mp), 0);
      MapPtr map(mp);
      uint32_t ou = r.orig_uid ? r.orig_uid : r.uid;
      uint32_t ov = r.orig_uidvalidity ? r.orig_uidvalidity : m.mbd.uid_validity;
      out += "msg " + std::to_string(r.uid) + " date " + std::to_string(r.internaldate) + " flags " +
             std::to_string(r.system_flags) + " size " + std::to_string(r.size) + " pop " + std::to_string(ou) + "." +
             std::to_string(ov) + " body " + (map ? std::string(map->base, map->length) : "?") + "\n";
    }
    uint32_t lastuid = 0;
    std::string seen = seen_text(folder, owner(folder).c_str(), &lastuid);
    out += "seen " + seen + " last " + std::to_string(lastuid) + "\n";
    mailbox_close(&m);
    return out;
  }
  static std::string owner(const char* folder) {
    std::string f = folder + 5;
    return f.substr(0, f.find('/'));
  }
  std::map<std::string, std::string> dump_all() {
    std::map<std::string, std::string> d;
    for (const char* f : kFolders) d[f] = dump(f);
    return d;
  }
  ino_t inode(const char* folder, uint32_t uid) {
    mailbox m;
    EXPECT_EQ(mailbox_open(folder, 0, nullptr, &m), 0);
    struct stat st {};
    EXPECT_EQ(stat(bkt_msgfile(&m, uid).c_str(), &st), 0);
    mailbox_close(&m);
    return st.st_ino;
  }
  // The check tool finds nothing in any folder that exists.
  void expect_consistent() {
    for (const char* f : kFolders) {
      char* p = nullptr;
      char* mp = nullptr;
      if (mboxlist_lookup(f, nullptr, nullptr, &p, &mp, nullptr) != 0) continue;
      mailbox_check_report rep;
      EXPECT_EQ(mailbox_check(p, mp, &rep), 0) << f;
      EXPECT_TRUE(rep.problems.empty()) << f << ": " << (rep.problems.empty() ? "" : rep.problems[0]);
      free(p);
      free(mp);
    }
  }
};

TEST_F(Restore, RoundTripBringsBackTheWholeStore) {
  build();
  auto before = dump_all();
  ASSERT_EQ(backup(), 0);
  wipe();
  for (const char* f : kFolders) EXPECT_EQ(dump(f), "missing");
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.folders, 6u);
  EXPECT_EQ(n.messages + n.links, 8u);
  EXPECT_EQ(n.links, 2u);
  EXPECT_EQ(n.failed, 0u);
  auto after = dump_all();
  for (const char* f : kFolders) EXPECT_EQ(after[f], before[f]) << f;
  // Shared files stay shared on one partition.
  EXPECT_EQ(inode("user/joe", 1), inode("user/joe/Drafts/old", 1));
  EXPECT_EQ(inode("user/joe", 2), inode("user/ann", 1));
  expect_consistent();

  // A second restore finds every message present and changes nothing.
  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.messages + n.links, 0u);
  EXPECT_EQ(n.skipped, 8u);
  for (const char* f : kFolders) EXPECT_EQ(dump(f), before[f]) << f;
}

// The flushes a restore makes: counted (and failed on demand) through the
// file seam.
std::atomic<int> g_syncfs{0}, g_filesyncs{0};
std::atomic<int> g_fail_syncfs{0};
int count_flushes(fs_op op, const char*, size_t*) {
  if (op == fs_op::fdatasync || op == fs_op::fsync) g_filesyncs++;
  if (op != fs_op::syncfs) return 0;
  g_syncfs++;
  return g_fail_syncfs ? EIO : 0;
}

// Messages are not flushed one by one, nor folders: the folders the
// restore leaves are flushed together, here all in one batch (one syncfs
// for their files, one for their headers, the two partitions sharing a
// file system).  A failed flush fails the restore with the I/O status, and
// what was appended stays consistent.
TEST_F(Restore, FlushesFoldersTogetherAndAFailedFlushFailsTheRestore) {
  build();
  auto before = dump_all();
  ASSERT_EQ(backup(), 0);
  wipe();
  g_syncfs = g_filesyncs = g_fail_syncfs = 0;
  RestoreCounts n;
  std::string err;
  int rc = restore(path("vol"), &n, &err, RestoreOptions(), count_flushes);
  ASSERT_EQ(rc, 0) << err;
  ASSERT_EQ(n.messages + n.links, 8u);
  // Five folders hold messages (joe, Sent, Drafts/old, ann, bob): one
  // flush each would be five, and five more flushes of their headers.
  EXPECT_EQ(g_syncfs.load(), 2);
  // Nothing is flushed file by file but the ACLs the backup carries (three
  // folders here): not a new folder's index, nor its rewrite for room,
  // where a flush of each message and index write would add 24.
  EXPECT_LE(g_filesyncs.load(), 3);
  for (const char* f : kFolders) EXPECT_EQ(dump(f), before[f]) << f;
}

// A restore holds the index locks of the folders in its batch, so it may
// not wait for another folder's lock while holding them: a process that
// holds that lock could be waiting for one of them.  Here a second process
// holds bob's index lock while the restore reaches bob (the last folder;
// the batch's bounds are far away): the restore must first let joe's lock
// go by flushing its batch, and may only then wait.  The holder sees joe's
// lock taken by the restore, then free, and only then lets bob go; were
// joe held on, it would give up after 20 s and say so.
class RestoreBatchLocks : public Restore {
 protected:
  RestoreBatchLocks() { extra_ = "local.restore.batchseconds = 600\n"; }
};

TEST_F(RestoreBatchLocks, AFolderLockedElsewhereIsWaitedForOnlyAfterTheBatchIsFlushed) {
  build();
  ASSERT_EQ(backup(), 0);
  // Restored over the store itself: the folders exist, their messages are
  // skipped, and each is still set up for appending in stream order.
  const std::string joe = bkt_path("user/joe") + "/store.idx";
  const std::string bob = bkt_path("user/bob") + "/store.idx";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    int bfd = open(bob.c_str(), O_RDWR | O_CLOEXEC);
    int jfd = open(joe.c_str(), O_RDWR | O_CLOEXEC);
    if (bfd < 0 || jfd < 0 || lock_nonblocking(bfd) != 0) _exit(10);
    (void)!write(ready[1], "x", 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto joe_free = [&] {
      if (lock_nonblocking(jfd) != 0) return false;
      (void)lock_unlock(jfd);
      return true;
    };
    bool taken = false, released = false;
    while (std::chrono::steady_clock::now() < deadline && !released) {
      if (!taken)
        taken = !joe_free();
      else
        released = joe_free();
      if (!released) usleep(2000);
    }
    (void)lock_unlock(bfd);
    _exit(!taken ? 11 : !released ? 12 : 0);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  RestoreCounts n;
  std::string err;
  int rc = restore(path("vol"), &n, &err);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 11: the restore never held joe; 12: it held joe while waiting for bob.
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(rc, 0) << err;
  EXPECT_EQ(n.skipped, 8u);
}

// The batch is flushed on a thread of its own while the restore goes on,
// and a link may point into a folder being flushed.  Here joe's folders
// with mail (three) make a batch.  Its flush is held in its first syncfs,
// and ann's first message, shared with joe's INBOX, is linked meanwhile
// (each waits for the other at most 5 s): read through the handle the
// flush holds.  The store must come out whole.
std::thread::id g_restore_thread;
std::atomic<bool> g_flush_held{false}, g_flush_let_go{false}, g_linked_meanwhile{false};
int hold_flush_for_a_link(fs_op op, const char* file, size_t*) {
  auto wait_for = [](const std::atomic<bool>& flag) {
    for (int i = 0; i < 500 && !flag; ++i) usleep(10000);
  };
  if (std::this_thread::get_id() == g_restore_thread) {
    if (op == fs_op::link && std::string(file).ends_with("=joe/00/2.msg")) {
      wait_for(g_flush_held);
      if (g_flush_held && !g_flush_let_go) g_linked_meanwhile = true;
    }
  } else if (op == fs_op::syncfs && !g_flush_held) {
    g_flush_held = true;
    wait_for(g_linked_meanwhile);
    g_flush_let_go = true;
  }
  return 0;
}

class RestoreBatchOfThree : public Restore {
 protected:
  RestoreBatchOfThree() { extra_ = "local.restore.batchfolders = 3\nlocal.restore.batchseconds = 600\n"; }
};

TEST_F(RestoreBatchOfThree, ALinkIntoAFolderBeingFlushedIsRestored) {
  build();
  auto before = dump_all();
  ASSERT_EQ(backup(), 0);
  wipe();
  g_restore_thread = std::this_thread::get_id();
  g_flush_held = g_flush_let_go = g_linked_meanwhile = false;
  RestoreCounts n;
  std::string err;
  int rc = restore(path("vol"), &n, &err, RestoreOptions(), hold_flush_for_a_link);
  ASSERT_EQ(rc, 0) << err;
  EXPECT_TRUE(g_flush_held);
  EXPECT_TRUE(g_linked_meanwhile);
  EXPECT_EQ(n.links, 2u);
  EXPECT_EQ(n.pending, 0u);
  for (const char* f : kFolders) EXPECT_EQ(dump(f), before[f]) << f;
}

// The messages joe's INBOX counts on disk when the operator is asked for
// the next volume: read by the answers stream as the question is read.
std::string g_joe_index;
long g_joe_at_prompt = -1;
ssize_t answer_cancel(void*, char* buf, size_t size) {
  if (g_joe_at_prompt >= 0 || size < 2) return 0;
  unsigned char head[INDEX_HEADER_SIZE] = {};
  int fd = open(g_joe_index.c_str(), O_RDONLY | O_CLOEXEC);
  g_joe_at_prompt = fd >= 0 && pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head)
                        ? mboxdata_decode(head).exists
                        : -2;
  if (fd >= 0) close(fd);
  std::memcpy(buf, "$\n", 2);  // cancels the restore
  return 2;
}

// A tape stand-in, so a plain file takes the medium-change path.
int always_tape(int) { return 1; }
int tape_ok(int) { return 0; }
int tape_no_position(int, int64_t) { return -1; }
int tape_mark(int, int) { return 0; }
const BkTapeOps kFakeTape = {always_tape, tape_ok, tape_no_position, tape_mark};

// A volume that ends before its stream does makes the restore ask for the
// next one, and the operator may take his time: the folders held in the
// batch are flushed, counted and let go before the question.
TEST_F(RestoreBatchLocks, TheBatchIsFlushedBeforeTheNextVolumeIsAskedFor) {
  build();
  ASSERT_EQ(backup({"/"}, 1), 0);
  g_joe_index = bkt_path("user/joe") + "/store.idx";
  wipe();
  // The volume cut a block before its end: joe's folders, first in the
  // stream, are restored whole before the cut.
  std::string vol = read_text_file(path("vol"));
  ASSERT_GT(vol.size(), 4 * 512u);
  write_text_file(path("cut"), vol.substr(0, vol.size() / 512 * 512 - 512));
  int fd = open(path("cut").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  cookie_io_functions_t io = {answer_cancel, nullptr, nullptr, nullptr};
  FILE* answers = fopencookie(nullptr, "r", io);
  ASSERT_NE(answers, nullptr);
  g_joe_at_prompt = -1;
  int rc;
  CaptureStderr();
  {
    BkContext ctx("orvrestore", 0, 1);
    BkSession* bks = ctx.getSession(BkMode::Restore, 1, 0);
    RestorePrompt prompt{bks, answers};
    const BkTapeOps* old_ops = bktape_set_ops(&kFakeTape);
    {
      BKDEV dev(fd, O_RDONLY, 1, restore_prompt_flushing, &prompt);
      rc = restore_stream(dev, bks, RestoreOptions(), stdout, stderr, nullptr);
    }
    bktape_set_ops(old_ops);
  }
  std::string err = GetCapturedStderr();
  fclose(answers);
  close(fd);
  reinit();
  EXPECT_NE(rc, 0) << err;
  EXPECT_EQ(g_joe_at_prompt, 3) << err;
  expect_consistent();
}

bool in_set(const std::string& set, uint32_t uid) {
  size_t pos = 0;
  while (pos < set.size()) {
    size_t comma = set.find(',', pos);
    std::string item = set.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    size_t colon = item.find(':');
    uint32_t lo = static_cast<uint32_t>(std::stoul(item));
    uint32_t hi = colon == std::string::npos ? lo : static_cast<uint32_t>(std::stoul(item.substr(colon + 1)));
    if (uid >= lo && uid <= hi) return true;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return false;
}

// What the owner sees of a folder, uids aside (a restore run again after
// a crash gives new ones): each message in order with its date, flags,
// POP3 identity, bytes and the owner's seen and deleted marks.
std::string user_view(const char* folder) {
  mailbox m;
  if (mailbox_open(folder, 0, nullptr, &m) != 0) return "missing";
  std::string owner = std::string(folder + 5).substr(0, std::string(folder + 5).find('/'));
  uint32_t lastuid = 0;
  std::string seen = seen_text(folder, owner.c_str(), &lastuid);
  size_t sp = seen.find(' ');
  std::string seen_set = seen.substr(0, sp), del_set = sp == std::string::npos ? "" : seen.substr(sp + 1);
  std::string out;
  for (uint32_t n = 1; n <= m.mbd.exists; n++) {
    index_record r;
    EXPECT_EQ(mailbox_read_index_record(&m, n, &r), 0);
    map_handle* mp = nullptr;
    std::string body = mailbox_map_message(&m, r.uid, nullptr, &mp) == 0 ? std::string(mp->base, mp->length) : "?";
    map_free(mp);
    out += "date " + std::to_string(r.internaldate) + " flags " + std::to_string(r.system_flags) + " pop " +
           std::to_string(r.orig_uid ? r.orig_uid : r.uid) + "." +
           std::to_string(r.orig_uidvalidity ? r.orig_uidvalidity : m.mbd.uid_validity) + " seen " +
           std::to_string(in_set(seen_set, r.uid)) + " deleted " + std::to_string(in_set(del_set, r.uid)) + " body " +
           body + "\n";
  }
  // A mark of a uid no message has yet would fall on the next one.
  if (m.mbd.last_uid < UINT32_MAX && (in_set(seen_set, m.mbd.last_uid + 1) || in_set(del_set, m.mbd.last_uid + 1)))
    out += "mark above the last uid\n";
  mailbox_close(&m);
  return out;
}

// A machine that crashes while a restore is inside folders loses what was
// not yet flushed: here every flush fails (nothing appended ever counts as
// on disk) and then each message file is taken away or cut short, while
// the index keeps whatever it was given, or the index of a folder the
// restore made is left empty.  The restore run again must bring every
// message back, readable, with its flags and marks: the index on disk
// never counted a message before its file was flushed.  One folder
// has a gap in its uids, so messages restored again get other uids than
// the first run gave them, and the marks the first run wrote for those
// uids must not stick to other messages.
TEST_F(Restore, RunAgainAfterACrashBeforeTheFolderFlushesRestoresEveryMessage) {
  build();
  ASSERT_EQ(bkt_create("user/bob/Gap", "second"), 0);
  add("user/bob/Gap", msg_text("expunged"), 1700000020);
  add("user/bob/Gap", msg_text("seen"), 1700000021);
  add("user/bob/Gap", msg_text("not seen"), 1700000022);
  {
    mailbox m;
    ASSERT_EQ(mailbox_open("user/bob/Gap", 0, nullptr, &m), 0);
    auto first = [](void*, const index_record* r) { return r->uid == 1 ? 1 : 0; };
    ASSERT_EQ(mailbox_expunge(&m, 0, 0, first, nullptr), 0);
    mailbox_close(&m);
  }
  ASSERT_EQ(bkt_seen("user/bob/Gap", "bob", 3, "2 "), 0);
  std::vector<std::string> folders(std::begin(kFolders), std::end(kFolders));
  folders.push_back("user/bob/Gap");
  std::map<std::string, std::string> before;
  for (const auto& f : folders) before[f] = user_view(f.c_str());
  ASSERT_NE(before["user/bob/Gap"].find("seen 1 deleted 0 body " + msg_text("seen")), std::string::npos);
  ASSERT_EQ(backup(), 0);
  wipe();

  g_fail_syncfs = 1;
  RestoreCounts n;
  std::string err;
  int rc = restore(path("vol"), &n, &err, RestoreOptions(), count_flushes);
  g_fail_syncfs = 0;
  ASSERT_EQ(rc, 74) << err;
  EXPECT_NE(err.find("may not be on disk"), std::string::npos) << err;
  // No header counts a message whose flush failed, and neither does the
  // quota usage of its owner.
  for (const char* f : kFolders) {
    mailbox m;
    if (mailbox_open(f, 0, nullptr, &m) != 0) continue;
    EXPECT_EQ(m.mbd.exists, 0u) << f;
    mailbox_close(&m);
  }
  for (const char* user : {"user/joe", "user/ann", "user/bob"}) {
    quotadata qd;
    if (mboxlist_getquotaroot(user, &qd, nullptr) != 0) continue;
    EXPECT_EQ(qd.msgqrused, 0u) << user;
    EXPECT_EQ(qd.qrused, 0u) << user;
  }
  // The files never reached the disk: gone, or cut short.
  int k = 0;
  for (const char* part : {"p1", "p2"}) {
    for (const auto& e : std::filesystem::recursive_directory_iterator(path(part))) {
      if (e.path().extension() != ".msg") continue;
      if (k++ % 2)
        std::filesystem::remove(e.path());
      else
        std::filesystem::resize_file(e.path(), 10);
    }
  }
  ASSERT_GT(k, 4);
  expect_consistent();
  // Nor did the folders the restore made, which it flushes only with their
  // batch: some index files are left with nothing in them.
  k = 0;
  for (const auto& f : folders) {
    if (k++ % 2 == 0) std::filesystem::resize_file(bkt_path(f.c_str()) + "/store.idx", 0);
  }

  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.failed, 0u);
  for (const auto& f : folders) EXPECT_EQ(user_view(f.c_str()), before[f]) << f;
  expect_consistent();
}

TEST_F(Restore, IntoExistingFolderGivesNewUidsAndKeepsItsAttributes) {
  build();
  ASSERT_EQ(backup({"/primary/user/bob"}), 0);
  // bob's INBOX exists again with other mail and another UID validity.
  wipe();
  ASSERT_EQ(bkt_create("user/bob", "second", 77), 0);
  add("user/bob", msg_text("new one"), 1700000100);
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.messages, 1u);
  mailbox m;
  ASSERT_EQ(mailbox_open("user/bob", 0, nullptr, &m), 0);
  EXPECT_EQ(m.mbd.uid_validity, 77u);
  EXPECT_EQ(m.mbd.exists, 2u);
  index_record r;
  ASSERT_EQ(mailbox_read_index_record(&m, 2, &r), 0);
  EXPECT_EQ(r.uid, 2u);
  EXPECT_EQ(r.orig_uid, 1u);           // the message's uid in the backup
  EXPECT_NE(r.orig_uidvalidity, 77u);  // and its folder's UID validity there
  mailbox_close(&m);
  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.messages, 0u);
  EXPECT_EQ(n.skipped, 1u);
  expect_consistent();
}

// Links into a folder that exists again under another UID validity: the
// uid they name means nothing there, so the message is found by its
// origin, in a folder the restore still holds in its batch when the links
// come (joe's INBOX, for ann's link and for joe's own Drafts/old).
TEST_F(Restore, LinksIntoAFolderWithAnotherUidValidityFindTheirMessage) {
  build();
  ASSERT_EQ(backup(), 0);
  wipe();
  ASSERT_EQ(bkt_create("user/joe", "primary", 77), 0);
  add("user/joe", msg_text("new one"), 1700000100);
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err), 0) << err;
  EXPECT_EQ(n.links, 2u);
  EXPECT_EQ(n.failed, 0u);
  expect_consistent();
}

// Streams damaged in several ways: what came before the fault is restored
// and consistent, the run fails.
TEST_F(Restore, DamagedStreamsStopWithAnErrorAndLeaveAConsistentStore) {
  build();
  ASSERT_EQ(backup({"/"}, 1), 0);  // 512-byte blocks: several of them
  std::string vol = read_text_file(path("vol"));
  // Where joe's second message's text begins: a cut there ends the stream
  // inside a record.
  size_t cut = vol.find("Subject: two");
  ASSERT_NE(cut, std::string::npos);
  struct Case {
    const char* name;
    std::string bytes;
  };
  // The second block's prefix damaged: the reader finds no block there.
  const size_t block = BK_BLOCK_UNIT;
  ASSERT_GT(vol.size(), 2 * block);
  std::string flipped = vol;
  flipped[block + 1] ^= 0x5a;
  // The data length of joe's second message made impossibly large.
  std::string huge = vol;
  size_t body = vol.rfind("From: a@example.com", cut);
  ASSERT_GE(body, 4u);
  ASSERT_EQ(huge.substr(body - 4, 4),
            std::string("\0\0\x01", 3) + static_cast<char>(0x8c));  // 94 header bytes + 300 + CRLF
  huge[body - 4] = 0x7f;
  std::vector<Case> cases = {{"cut", vol.substr(0, cut)}, {"flipped", flipped}, {"huge", huge}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wipe();
    write_text_file(path("bad"), c.bytes);
    RestoreCounts n;
    std::string err;
    EXPECT_NE(restore(path("bad"), &n, &err), 0);
    EXPECT_FALSE(err.empty());
    EXPECT_GE(n.folders, 1u);  // what came before the fault is there
    if (std::string(c.name) == "huge") {
      EXPECT_GE(n.messages, 1u);  // joe's first message came before the fault
      EXPECT_NE(dump("user/joe").find("Subject: one"), std::string::npos);
    }
    expect_consistent();
  }
}

// A hand-built stream: a folder, then a link whose data is 300 bytes.
TEST_F(Restore, LinkOfWrongSizeIsRefused) {
  int fd = open(path("bad").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  {
    BKDEV dev(fd, O_RDWR, 20, nullptr, nullptr);
    ASSERT_EQ(backup_start(&dev), 1);
    BkAttr mb;
    mb.objectId = "/primary/user/zed/INBOX";
    mb.objectType = static_cast<uint16_t>(BkType::mailbox);
    char info[MBXINFO_SIZE] = {0, 0, 0, 9};  // UID validity 9
    mb.info.set(MBXINFO_SIZE, info, 0);
    Vdata acl;
    acl += Vdata("zed\tlrswipcda\t");
    ASSERT_EQ(bkobj_write_record(dev, mb, &acl), 1);
    BkAttr ln;
    ln.objectId = "/primary/user/zed/INBOX/1";
    ln.objectType = static_cast<uint16_t>(BkType::link);
    char minfo[MSGINFO_SIZE] = {0, 0, 0, 1};
    ln.info.set(MSGINFO_SIZE, minfo, 0);
    std::string junk(300, 'x');
    Vdata d(300, junk.data(), 0);
    ASSERT_EQ(bkobj_write_record(dev, ln, &d), 1);
    ASSERT_EQ(backup_end(&dev), 1);
    ASSERT_EQ(dev.finish(), 1);
  }
  close(fd);
  bvlog_to_stderr(LOG_SEV_DEBUG);
  RestoreCounts n;
  std::string err;
  int rc = restore(path("bad"), &n, &err);
  EXPECT_EQ(rc, 70);
  EXPECT_NE(err.find("Invalid datasize 300"), std::string::npos) << err;
  EXPECT_EQ(n.folders, 1u);
  EXPECT_EQ(n.failed, 1u);
  mailbox m;
  ASSERT_EQ(mailbox_open("user/zed", 0, nullptr, &m), 0);
  EXPECT_EQ(m.mbd.uid_validity, 9u);
  EXPECT_EQ(m.mbd.exists, 0u);
  mailbox_close(&m);
}

// Only ann restored: her first message is a link to joe's INBOX/2, which
// the selection leaves out.  With joe's mail still in the store the link is
// restored from it at the end (sharing the file); without, it is reported.
TEST_F(Restore, LinkWhoseMessageIsNotInTheStreamIsTakenFromTheStoreOrReported) {
  build();
  const std::string before = dump("user/ann");
  ASSERT_EQ(backup(), 0);
  UserList only;
  ASSERT_EQ(only.adduser("ann", nullptr), 1);
  RestoreOptions opt;
  opt.names = &only;
  ASSERT_EQ(mboxlist_deletemailbox("user/ann", nullptr, auth_dontCheckAcl), 0);
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err, opt), 0) << err;
  EXPECT_EQ(n.messages, 1u);
  EXPECT_EQ(n.links, 1u);
  EXPECT_EQ(n.pending, 0u);  // joe's copy was found in the store at once
  EXPECT_EQ(dump("user/ann"), before);
  EXPECT_EQ(inode("user/ann", 1), inode("user/joe", 2));

  wipe();
  ASSERT_EQ(restore(path("vol"), &n, &err, opt), 70);
  EXPECT_NE(err.find("Link /primary/user/ann/INBOX/1: message user/joe/2 is not in the store"), std::string::npos)
      << err;
  EXPECT_EQ(n.messages, 1u);
  EXPECT_EQ(n.failed, 1u);
  expect_consistent();
}

// ann's records moved in front of joe's: her link comes before the message
// it refers to, waits, and is restored when that message has arrived.
TEST_F(Restore, LinkBeforeItsMessageWaitsForIt) {
  build();
  const auto before = dump_all();
  ASSERT_EQ(backup(), 0);
  std::vector<BkRecord> ann, rest;
  for (const BkRecord& r : read_volume(path("vol")).records)
    (r.id.find("/user/ann") != std::string::npos ? ann : rest).push_back(r);
  ASSERT_FALSE(ann.empty());
  int fd = open(path("moved").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  {
    BKDEV dev(fd, O_RDWR, 20, nullptr, nullptr);
    ASSERT_EQ(backup_start(&dev), 1);
    ann.insert(ann.end(), rest.begin(), rest.end());
    for (const BkRecord& r : ann) {
      BkAttr a;
      a.objectId = r.id;
      a.objectType = r.type;
      a.timestamp = r.timestamp;
      a.info.set(static_cast<uint32_t>(r.info.size()), r.info.data(), 0);
      Vdata d(static_cast<uint32_t>(r.data.size()), r.data.data(), 0);
      ASSERT_EQ(bkobj_write_record(dev, a, &d), 1);
    }
    ASSERT_EQ(backup_end(&dev), 1);
    ASSERT_EQ(dev.finish(), 1);
  }
  close(fd);
  wipe();
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("moved"), &n, &err), 0) << err;
  EXPECT_EQ(n.pending, 0u);  // every waiting link was restored
  EXPECT_EQ(n.links, 2u);
  EXPECT_EQ(n.failed, 0u);
  for (const char* f : kFolders) {
    if (std::string(f) != "user/ann") {
      EXPECT_EQ(dump(f), before.at(f)) << f;
    }
  }
  // ann's own message came first and kept its uid; the link that waited
  // got the next one and kept its identity.
  auto without_uids = [](std::string d) {
    std::vector<std::string> lines;
    for (size_t p = 0, e; p < d.size(); p = e + 1) {
      e = d.find("\n", p);
      if (e == std::string::npos) e = d.size();
      std::string l = d.substr(p, e - p);
      if (l.compare(0, 4, "msg ") == 0) l = l.substr(l.find(' ', 4));
      lines.push_back(l);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(without_uids(dump("user/ann")), without_uids(before.at("user/ann")));
  EXPECT_EQ(inode("user/joe", 2), inode("user/ann", 3));
  expect_consistent();
}

// A sub-folder whose user has no INBOX: the INBOX is made first.
TEST_F(Restore, SubFolderOfAUserWithoutInboxCreatesTheInbox) {
  build();
  ASSERT_EQ(backup(), 0);
  wipe();
  UserList only;
  ASSERT_EQ(only.adduser("/primary/user/joe/Sent", nullptr), 1);
  RestoreOptions opt;
  opt.names = &only;
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err, opt), 0) << err;
  EXPECT_EQ(n.folders, 1u);
  EXPECT_EQ(n.messages, 1u);
  mailbox m;
  ASSERT_EQ(mailbox_open("user/joe", 0, nullptr, &m), 0);
  EXPECT_EQ(m.mbd.exists, 0u);
  mailbox_close(&m);
  EXPECT_NE(dump("user/joe/Sent").find("rule days=30"), std::string::npos);
  EXPECT_EQ(dump("user/joe/Drafts"), "missing");
}

// Users renamed through the map, links following them; and every folder
// restored into one other folder.
TEST_F(Restore, RenamedUsersAndRestoreIntoAnotherFolder) {
  build();
  ASSERT_EQ(backup(), 0);
  write_text_file(path("map"), "joe=jim\n");
  UserHash users;
  ASSERT_EQ(users.load(path("map").c_str()), 1);
  RestoreOptions opt;
  opt.users = &users;
  RestoreCounts n;
  std::string err;
  ASSERT_EQ(restore(path("vol"), &n, &err, opt), 0) << err;
  EXPECT_EQ(n.failed, 0u);
  EXPECT_EQ(n.folders, 6u);
  EXPECT_EQ(n.skipped, 3u);  // ann's and bob's mail is there already
  mailbox m;
  ASSERT_EQ(mailbox_open("user/jim/Drafts/old", 0, nullptr, &m), 0);
  EXPECT_EQ(m.mbd.exists, 1u);
  mailbox_close(&m);
  EXPECT_EQ(inode("user/jim/Drafts/old", 1), inode("user/jim", 1));
  std::string jim = dump("user/jim");
  EXPECT_NE(jim.find("Subject: three"), std::string::npos);
  EXPECT_NE(jim.find("seen 1:2 2 last 2"), std::string::npos) << jim;
  // The saved ACLs named joe as owner: the entries follow the rename, and
  // the old name is given nothing on jim's folders.
  for (const char* f : {"user/jim", "user/jim/Sent", "user/jim/Drafts/old"}) {
    char* acl = nullptr;
    ASSERT_EQ(mboxlist_lookup(f, nullptr, nullptr, nullptr, nullptr, &acl), 0) << f;
    std::string a = acl ? acl : "";
    std::free(acl);
    EXPECT_EQ(("\t" + a).find("\tjoe\t"), std::string::npos) << f << ": " << a;
    EXPECT_EQ(a.rfind("jim\t", 0), 0u) << f << ": " << a;
    if (std::string(f) == "user/jim") {
      EXPECT_NE(a.find("ann\tlr\t"), std::string::npos) << a;
    }
  }

  RestoreOptions into;
  into.into = "/primary/user/bob/Restored";
  UserList only;
  ASSERT_EQ(only.adduser("joe", nullptr), 1);
  into.names = &only;
  ASSERT_EQ(restore(path("vol"), &n, &err, into), 0) << err;
  ASSERT_EQ(mailbox_open("user/bob/Restored", 0, nullptr, &m), 0);
  EXPECT_EQ(m.mbd.exists, 5u);  // joe's five messages, in one folder
  mailbox_close(&m);
  expect_consistent();
}

// Well-framed streams whose records say anything: odd types, ids with
// empty, dot and over-long components, unknown partitions, info blocks of
// every length, data that is not a part list, messages of random bytes,
// references to nothing.  Whatever the restore reports, it never crashes,
// writes nothing outside the store's directories, and leaves every folder
// it made consistent.
TEST_F(Restore, HostileRecordsNeverCorruptTheStore) {
  std::mt19937 rng(4242);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  auto bytes = [&](size_t n) {
    std::string b(n, '\0');
    for (char& c : b) c = static_cast<char>(pick(256));
    return b;
  };
  const std::vector<std::string> parts = {"primary", "second", "nosuch", "", ".."};
  const std::vector<std::string> groups = {"user", "staff", ""};
  const std::vector<std::string> users = {"joe", "ann", "..", "", "a b", "zed", "x\xff", std::string(200, 'u')};
  const std::vector<std::string> comps = {
      "INBOX", "Sent", "..", ".", "", "&AMk-", "&bad", "x\ty", std::string(300, 'f')};
  const std::vector<std::string> uids = {"1", "2", "0", "4294967295", "99999999999", "abc", "7"};
  int restored = 0;
  for (int stream = 0; stream < 60; stream++) {
    SCOPED_TRACE("stream " + std::to_string(stream));
    wipe();
    int fd = open(path("bad").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    {
      BKDEV dev(fd, O_RDWR, 20, nullptr, nullptr);
      ASSERT_EQ(backup_start(&dev), 1);
      for (int rec = 0; rec < 25; rec++) {
        BkAttr a;
        uint16_t type = pick(50) ? static_cast<uint16_t>(4 + pick(3)) : static_cast<uint16_t>(pick(12));
        a.objectType = type;
        a.timestamp = static_cast<time_t>(rng());
        std::string id =
            "/" + parts[pick(parts.size())] + "/" + groups[pick(groups.size())] + "/" + users[pick(users.size())];
        for (size_t i = 0, n = pick(3) + (type == 4 ? 1 : 0); i < n; i++) id += "/" + comps[pick(comps.size())];
        if (type != 4 || pick(8) == 0) id += "/" + uids[pick(uids.size())];
        a.objectId = id;
        const size_t want = type == 4 ? MBXINFO_SIZE : MSGINFO_SIZE;
        std::string info;
        if (pick(4) == 0) {
          info = bytes(pick(3) ? want : pick(64));
        } else if (type == 4) {
          MbxInfo m;
          m.uid_validity = pick(3) ? static_cast<uint32_t>(1 + pick(1000)) : static_cast<uint32_t>(rng());
          m.sub = static_cast<uint8_t>(pick(3));
          m.last_uid = static_cast<uint32_t>(pick(4) ? pick(10) : rng());
          info.resize(MBXINFO_SIZE);
          mbxinfo_encode(m, info.data());
        } else {
          MsgInfo m;
          m.uid = pick(4) ? static_cast<uint32_t>(pick(10)) : static_cast<uint32_t>(rng());
          m.internaldate = static_cast<uint32_t>(rng());
          m.size = static_cast<uint32_t>(pick(4) ? pick(100) : rng());
          m.system_flags = static_cast<uint32_t>(rng());
          m.peruser_flags = static_cast<uint32_t>(rng());
          m.orig_uid = static_cast<uint32_t>(pick(2) ? 0 : rng());
          info.resize(MSGINFO_SIZE);
          msginfo_encode(m, info.data());
        }
        a.info.set(static_cast<uint32_t>(info.size()), info.data(), 0);
        std::string data;
        switch (pick(4)) {
          case 0:
            data = bytes(pick(400));
            break;
          case 1:
            if (type == 4) {
              Vdata list;
              list += Vdata(pick(2) ? "joe\tlrswipcda\tann\tlr\t" : "\t\t-x\tq\t\t");
              if (pick(2)) list += Vdata("days=1\n");
              data.assign(list.bytes(), list.length());
            } else {
              data = "Subject: s\r\n\r\n" + bytes(pick(200));
            }
            break;
          case 2: {
            Reference r;
            r.iname = pick(2) ? "user/joe" : "user/" + users[pick(users.size())] + "/" + comps[pick(comps.size())];
            if (r.iname.size() > 256) r.iname.resize(256);
            r.uid = static_cast<uint32_t>(pick(4) ? pick(10) : rng());
            data.resize(REFERENCE_SIZE);
            ASSERT_EQ(reference_encode(r, data.data()), 1);
            break;
          }
          default:
            data = msg_text("m" + std::to_string(rec));
        }
        Vdata d(static_cast<uint32_t>(data.size()), data.data(), 0);
        (void)bkobj_write_record(dev, a, &d);
      }
      ASSERT_EQ(backup_end(&dev), 1);
      ASSERT_EQ(dev.finish(), 1);
    }
    close(fd);
    RestoreCounts n;
    std::string err;
    (void)restore(path("bad"), &n, &err);
    restored += static_cast<int>(n.folders + n.messages + n.links);
    // Every folder on disk passes the check tool.
    for (const char* partition : {"p1", "p2"}) {
      std::error_code ec;
      for (auto it = std::filesystem::recursive_directory_iterator(path(partition), ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename() != "store.idx") continue;
        std::string dir = it->path().parent_path().string();
        mailbox_check_report rep;
        EXPECT_EQ(mailbox_check(dir.c_str(), nullptr, &rep), 0) << dir;
        EXPECT_TRUE(rep.problems.empty()) << dir << ": " << (rep.problems.empty() ? "" : rep.problems[0]);
      }
    }
    // Nothing beside the store's own directories and the test's files.
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      std::string f = e.path().filename().string();
      EXPECT_TRUE(f == "store" || f == "p1" || f == "p2" || f == "config" || f == "orv.conf" || f == "bad" ||
                  f == "vol")
          << f;
    }
  }
  // Enough of it is plausible for the write paths to be exercised.
  EXPECT_GT(restored, 150) << restored;
}

TEST(RestoreNames, RefKeysAndUserRenaming) {
  EXPECT_EQ(restore_refkey("user/joe", 17), "joe/INBOX/17");
  EXPECT_EQ(restore_refkey("user/joe/Sent", 3), "joe/Sent/3");
  EXPECT_EQ(restore_refkey("user/joe/a/b", 1), "joe/a/b/1");
  char map[] = "/tmp/restore_test_mapXXXXXX";
  int fd = mkstemp(map);
  ASSERT_GE(fd, 0);
  const char text[] = "joe=jim\na\\=b=c\n=x\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  close(fd);
  UserHash users;
  ASSERT_EQ(users.load(map), 1);
  unlink(map);
  struct {
    const char* in;
    const char* out;
  } ids[] = {{"/primary/user/joe", "/primary/user/jim"},
             {"/primary/user/joe/INBOX/3", "/primary/user/jim/INBOX/3"},
             {"/primary/user/a=b/Sent", "/primary/user/c/Sent"},
             {"/primary/user/joey/INBOX", "/primary/user/joey/INBOX"},
             {"/primary/user", "/primary/user"}};
  for (const auto& c : ids) EXPECT_EQ(restore_rename_id(c.in, &users), c.out) << c.in;
  EXPECT_EQ(restore_rename_iname("user/joe/Sent", &users), "user/jim/Sent");
  EXPECT_EQ(restore_rename_iname("user/joe", &users), "user/jim");
  EXPECT_EQ(restore_rename_iname("user/joey", &users), "user/joey");
  EXPECT_EQ(restore_rename_acl("joe\tlrswipcda\tann\tlr\t-joe\tw\tjoey\tl\tanyone\tl\t", &users),
            "jim\tlrswipcda\tann\tlr\t-jim\tw\tjoey\tl\tanyone\tl\t");
  EXPECT_EQ(restore_rename_acl("joe\tlr", &users), "jim\tlr");  // no final tab
  EXPECT_EQ(restore_rename_acl("", &users), "");
}

}  // namespace
