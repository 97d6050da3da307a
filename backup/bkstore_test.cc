// Backups of real stores: a store built in a temporary directory is saved
// with backup_run, the volume is read back through a reading BKDEV, and
// every record is checked against the store (ids and order, folder
// attributes, ACL and expire rule, message attributes and bytes, links).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup/backup.h"
#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bkmailbox.h"
#include "backup/bkobj.h"
#include "backup/bktest_store.h"
#include "backup/bktest_util.h"
#include "common/fileio.h"
#include "common/test_util.h"
#include "store/mboxname.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class StoreBackup : public BkStoreTest {
 protected:
  StoreBackup() : BkStoreTest("bkstore_test") {}

  // Runs a backup of names into "vol"; the configuration is read again
  // afterwards (the context frees it).
  int run(std::vector<std::string> names, std::string* err, backup_options o = backup_options()) {
    o.devname = path("vol");
    o.names = std::move(names);
    CaptureStderr();
    int rc = backup_run(o, "orvbackup");
    *err = GetCapturedStderr();
    reinit();
    return rc;
  }

  // The standard store: two partitions, a group file, nested folders, an
  // ACL entry, an expire rule, seen and deleted marks and message files
  // shared between folders and users.
  void build_standard() {
    write_text_file(path("config/backup-groups.conf"), "  staff = s[0-9]+\nuser = .*\nbroken=\n=x\n");
    for (const char* f : {"user/joe", "user/joe/Sent", "user/joe/Drafts", "user/joe/Drafts/old", "user/ann",
                          "user/s12", "user/s12x"})
      ASSERT_EQ(bkt_create(f, "primary"), 0) << f;
    ASSERT_EQ(bkt_create("user/bob", "second"), 0);
    add("user/joe", msg_text("one"), 1700000001, 0x2);
    add("user/joe", msg_text("two", 300), 1700000002);
    add("user/joe", msg_text("three"), 1700000003);
    add("user/joe/Sent", msg_text("sent"), 1700000010);
    add("user/joe/Drafts/old", "", 1700000011, 0, file("user/joe", 1));  // shared with joe's INBOX/1
    add("user/ann", "", 1700000012, 0, file("user/joe", 2));             // shared across users
    add("user/ann", msg_text("ann's own"), 1700000013);
    add("user/bob", msg_text("bob"), 1700000014);
    add("user/s12", msg_text("staff"), 1700000015);
    add("user/s12x", msg_text("not staff"), 1700000016);
    ASSERT_EQ(mboxlist_setacl("user/joe", "ann", "lr", nullptr, auth_dontCheckAcl), 0);
    ASSERT_EQ(mboxlist_changesub("user/joe/Sent", "joe", auth_dontCheckAcl, 1), 0);
    write_text_file(bkt_path("user/joe/Sent") + "/store.expirerule", "days=30\n");
    write_text_file(bkt_path("user/joe/Drafts") + "/store.expirerule", "");
    ASSERT_EQ(bkt_seen("user/joe", "joe", 2, "1:2 2"), 0);
  }

  // Checks every record of v against the store: folder attributes, ACL and
  // expire rule, message attributes and bytes, and that the first record
  // of a shared file holds it whole and later ones refer to it.
  void check_against_store(const Volume& v, bool expect_links, const std::string& seen_folder = "user/joe",
                           const std::map<uint32_t, uint32_t>& seen_flags = {{1, 1}, {2, 3}}) {
    std::map<std::pair<dev_t, ino_t>, std::pair<std::string, uint32_t>> first;
    for (const BkRecord& r : v.records) {
      SCOPED_TRACE(r.id);
      // Components: part, group, user, folder..., [uid].
      std::vector<std::string> c;
      for (size_t pos = 1; pos <= r.id.size();) {
        size_t e = r.id.find('/', pos);
        if (e == std::string::npos) e = r.id.size();
        c.push_back(r.id.substr(pos, e - pos));
        pos = e + 1;
      }
      if (r.type <= static_cast<uint16_t>(BkType::user)) {
        EXPECT_EQ(c.size(), r.type == 0 ? 1u : r.type);
        EXPECT_TRUE(r.info.empty() || r.type == static_cast<uint16_t>(BkType::group));
        EXPECT_TRUE(r.data.empty());
        continue;
      }
      bool is_msg = r.type != static_cast<uint16_t>(BkType::mailbox);
      std::string folder;
      for (size_t i = 3; i < c.size() - (is_msg ? 1 : 0); i++) folder += (folder.empty() ? "" : "/") + c[i];
      std::string intname = folder == "INBOX" ? "user/" + c[2] : "user/" + c[2] + "/" + folder;
      mailbox m;
      ASSERT_EQ(mailbox_open(intname.c_str(), 0, nullptr, &m), 0) << intname;
      if (!is_msg) {
        MbxInfo mi;
        ASSERT_EQ(mbxinfo_decode(r.info.data(), r.info.size(), &mi), 1);
        EXPECT_EQ(mi.uid_validity, m.mbd.uid_validity);
        EXPECT_EQ(mi.sub, intname == "user/joe/Sent" ? 1 : 0);
        EXPECT_EQ(mi.last_uid, intname == seen_folder ? 2u : 0u);
        EXPECT_EQ(r.timestamp, static_cast<uint32_t>(m.index_mtime));
        Vdata d(static_cast<uint32_t>(r.data.size()), r.data.data(), 0), p0, p1;
        ASSERT_EQ(d.part(0, p0), 1);
        EXPECT_EQ(std::string(p0.bytes(), p0.length()), m.acl);
        std::string rule = read_text_file(std::string(m.path) + "/store.expirerule");
        bool has_rule = access((std::string(m.path) + "/store.expirerule").c_str(), F_OK) == 0;
        EXPECT_EQ(d.part(1, p1), has_rule ? 1 : 0);
        if (has_rule) {
          EXPECT_EQ(std::string(p1.bytes(), p1.length()), rule);
        }
      } else {
        uint32_t uid = static_cast<uint32_t>(std::stoul(c.back()));
        index_record rec;
        bool found = false;
        for (uint32_t n = 1; n <= m.mbd.exists && !found; n++)
          found = mailbox_read_index_record(&m, n, &rec) == 0 && rec.uid == uid;
        ASSERT_TRUE(found);
        MsgInfo mi;
        ASSERT_EQ(msginfo_decode(r.info.data(), r.info.size(), &mi), 1);
        EXPECT_EQ(mi.uid, uid);
        EXPECT_EQ(mi.internaldate, rec.internaldate);
        EXPECT_EQ(r.timestamp, rec.internaldate);
        EXPECT_EQ(mi.sentdate, rec.sentdate);
        EXPECT_EQ(mi.size, rec.size);
        EXPECT_EQ(mi.system_flags, rec.system_flags);
        uint32_t want_flags = 0;
        if (intname == seen_folder && seen_flags.count(uid)) want_flags = seen_flags.at(uid);
        EXPECT_EQ(mi.peruser_flags, want_flags);
        std::string fpath = bkt_msgfile(&m, uid);
        struct stat st;
        ASSERT_EQ(stat(fpath.c_str(), &st), 0);
        auto key = std::make_pair(st.st_dev, st.st_ino);
        auto it = first.find(key);
        if (it != first.end() && expect_links && st.st_nlink > 1) {
          ASSERT_EQ(r.type, static_cast<uint16_t>(BkType::link));
          Reference ref;
          ASSERT_EQ(reference_decode(r.data.data(), r.data.size(), &ref), 1);
          EXPECT_EQ(ref.iname, it->second.first);
          EXPECT_EQ(ref.uid, it->second.second);
        } else {
          ASSERT_EQ(r.type, static_cast<uint16_t>(BkType::message));
          EXPECT_EQ(r.data, read_text_file(fpath));
          first.emplace(key, std::make_pair(intname, uid));
        }
      }
      mailbox_close(&m);
    }
  }
};

// The ids the standard store gives, with the users of one group in the
// order the volume shows them (directory order is the file system's).
std::vector<std::string> standard_ids(const std::vector<std::string>& got) {
  std::vector<std::string> joe = {"/primary/user/joe",           "/primary/user/joe/INBOX",
                                  "/primary/user/joe/INBOX/1",   "/primary/user/joe/INBOX/2",
                                  "/primary/user/joe/INBOX/3",   "/primary/user/joe/Drafts",
                                  "/primary/user/joe/Drafts/old", "/primary/user/joe/Drafts/old/1",
                                  "/primary/user/joe/Sent",      "/primary/user/joe/Sent/1"};
  std::vector<std::string> ann = {"/primary/user/ann", "/primary/user/ann/INBOX", "/primary/user/ann/INBOX/1",
                                  "/primary/user/ann/INBOX/2"};
  std::vector<std::string> x = {"/primary/user/s12x", "/primary/user/s12x/INBOX", "/primary/user/s12x/INBOX/1"};
  std::vector<std::vector<std::string>> users = {joe, ann, x};
  std::vector<std::string> ids = {"/", "/primary", "/primary/staff", "/primary/staff/s12",
                                  "/primary/staff/s12/INBOX", "/primary/staff/s12/INBOX/1", "/primary/user"};
  // Users of /primary/user in the volume's order.
  for (const std::string& id : got) {
    for (auto& u : users)
      if (!u.empty() && id == u[0]) {
        ids.insert(ids.end(), u.begin(), u.end());
        u.clear();
      }
  }
  for (const char* s : {"/second", "/second/staff", "/second/user", "/second/user/bob", "/second/user/bob/INBOX",
                        "/second/user/bob/INBOX/1"})
    ids.push_back(s);
  return ids;
}

TEST_F(StoreBackup, FullBackupWritesEveryRecordInOrderAndMatchesTheStore) {
  build_standard();
  std::string err;
  ASSERT_EQ(run({"/"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  EXPECT_TRUE(v.ended);
  EXPECT_STREQ(v.header.storeid, "mailhost");
  std::vector<std::string> got = ids_of(v);
  EXPECT_EQ(got, standard_ids(got));
  check_against_store(v, true);
  // The group record carries its pattern.
  for (const BkRecord& r : v.records)
    if (r.id == "/primary/staff") {
      EXPECT_EQ(r.info, "s[0-9]+");
    }
  // Exactly the second occurrences of the two shared files are links.
  int links = 0;
  for (const BkRecord& r : v.records) links += r.type == static_cast<uint16_t>(BkType::link);
  EXPECT_EQ(links, 2);
}

TEST_F(StoreBackup, WithoutLinkDetectionOrWithAHighLinkCountEveryMessageIsWhole) {
  build_standard();
  for (int variant = 0; variant < 2; variant++) {
    SCOPED_TRACE(variant);
    backup_options o;
    if (variant == 0)
      o.usehash = 0;  // -i
    else
      o.minlink = 2;  // -m 2: files of two links stay whole
    std::string err;
    ASSERT_EQ(run({"/"}, &err, o), 0) << err;
    Volume v = read_volume(path("vol"));
    check_against_store(v, false);
    for (const BkRecord& r : v.records) EXPECT_NE(r.type, static_cast<uint16_t>(BkType::link)) << r.id;
  }
}

TEST_F(StoreBackup, IncrementalWritesUsersAlwaysAndOnlyNewerFoldersAndMessages) {
  build_standard();
  // Every folder's index is older than the cut-off except bob's, which
  // gets a message dated after it.  User records carry the time they are
  // made, so a cut-off in the past keeps them all.
  time_t cut = time(nullptr) - 1000;
  for (const char* f : {"user/joe", "user/joe/Sent", "user/joe/Drafts", "user/joe/Drafts/old", "user/ann",
                        "user/s12", "user/s12x"}) {
    std::string idx = bkt_path(f) + "/store.idx";
    struct timespec ts[2] = {{cut - 100, 0}, {cut - 100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, idx.c_str(), ts, 0), 0);
  }
  add("user/bob", msg_text("new"), cut + 10);
  // A new message sharing the file of an old one: the old copy is not in
  // this volume, so the new one is saved whole.
  uint32_t shared = add("user/ann", "", cut + 20, 0, file("user/joe", 3));
  backup_options o;
  o.startdate = cut;
  std::string err;
  ASSERT_EQ(run({"/"}, &err, o), 0) << err;
  Volume v = read_volume(path("vol"));
  std::set<std::string> got;
  for (const std::string& id : ids_of(v)) got.insert(id);
  std::string ann_new = "/primary/user/ann/INBOX/" + std::to_string(shared);
  EXPECT_EQ(got, (std::set<std::string>{"/primary/staff/s12", "/primary/user/joe", "/primary/user/ann",
                                        "/primary/user/ann/INBOX", ann_new, "/primary/user/s12x",
                                        "/second/user/bob", "/second/user/bob/INBOX", "/second/user/bob/INBOX/2"}));
  for (const BkRecord& r : v.records)
    if (r.id == ann_new) {
      EXPECT_EQ(r.type, static_cast<uint16_t>(BkType::message));
      EXPECT_EQ(r.data, read_text_file(file("user/joe", 3)));
    }
}

TEST_F(StoreBackup, MessagesOfEverySizeAreSavedByteForByte) {
  // Small files are read into a buffer the session reuses, large ones are
  // mapped: a short message after a long one must not carry its tail, and
  // the sizes around the switch and around block boundaries come out whole.
  ASSERT_EQ(bkt_create("user/joe", "primary"), 0);
  for (size_t body : {size_t(3) << 20, size_t(10), (size_t(1) << 20) - 120, size_t(1) << 20, size_t(10228),
                      size_t(200000), size_t(0)})
    add("user/joe", msg_text("size " + std::to_string(body), body));
  std::string err;
  ASSERT_EQ(run({"/"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  EXPECT_TRUE(v.ended);
  int messages = 0;
  for (const BkRecord& r : v.records) messages += r.type == static_cast<uint16_t>(BkType::message);
  EXPECT_EQ(messages, 7);
  check_against_store(v, true, "");
}

TEST_F(StoreBackup, NamedObjectsAndTheirErrors) {
  build_standard();
  struct Case {
    std::vector<std::string> names;
    int rc;
    std::vector<std::string> ids;  // empty: not checked
    const char* err;
    bool ended;
  } cases[] = {
      {{"joe"}, 0, {}, "", true},
      {{"/primary/user/joe/INBOX/2"}, 0, {"/primary/user/joe/INBOX/2"}, "", true},
      {{"/primary/user/joe/Drafts/old"}, 0, {"/primary/user/joe/Drafts/old", "/primary/user/joe/Drafts/old/1"}, "",
       true},
      {{"nobody", "/"}, 79, {}, "/primary/user/nobody does not exist\n", false},
      {{"/primary/nogroup"}, 79, {}, "/primary/nogroup does not exist\n", false},
      {{"/primary/user/joe/INBOX/99"}, 79, {}, "does not exist", false},
      {{"/primary/user/joe/Nope"}, 79, {}, "does not exist", false},
      {{"/primary/user/joe/INBOX/x1"}, 79, {}, "does not exist", false},  // not a uid: an absent folder
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names[0]);
    std::string err;
    EXPECT_EQ(run(c.names, &err), c.rc) << err;
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
    Volume v = read_volume(path("vol"));
    // After a failed name the volume ends without the marker; the zero
    // filler of the block reads like one, so only records are checked.
    EXPECT_TRUE(c.ended ? v.ended : v.records.empty());
    if (!c.ids.empty()) {
      EXPECT_EQ(ids_of(v), c.ids);
    }
    if (c.rc == 0) check_against_store(v, true);
  }
  // A directly named user: its record and its folders, nothing above.
  std::string err;
  ASSERT_EQ(run({"/primary/user/joe"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  ASSERT_FALSE(v.records.empty());
  EXPECT_EQ(v.records[0].id, "/primary/user/joe");
  EXPECT_EQ(v.records.size(), 10u);
  // joe's INBOX/1 and Drafts/old/1 share a file, so the second is a link
  // even here.
  check_against_store(v, true);
}

TEST_F(StoreBackup, ExcludedFolderNamesAreSkippedForEveryUser) {
  extra_ = "local.store.backup.exclude = Sent%%Drafts/old\n";
  SetUp();  // again, with the exclusion list
  build_standard();
  std::string err;
  ASSERT_EQ(run({"/primary/user/joe"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  EXPECT_EQ(ids_of(v), (std::vector<std::string>{"/primary/user/joe", "/primary/user/joe/INBOX",
                                                  "/primary/user/joe/INBOX/1", "/primary/user/joe/INBOX/2",
                                                  "/primary/user/joe/INBOX/3", "/primary/user/joe/Drafts"}));
}

TEST_F(StoreBackup, GroupsAndPartitionsSplitTheUsers) {
  build_standard();
  std::string err;
  ASSERT_EQ(run({"/second/user"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  EXPECT_EQ(ids_of(v), (std::vector<std::string>{"/second/user", "/second/user/bob", "/second/user/bob/INBOX",
                                                  "/second/user/bob/INBOX/1"}));
  ASSERT_EQ(run({"/primary/staff"}, &err), 0) << err;
  v = read_volume(path("vol"));
  EXPECT_EQ(ids_of(v), (std::vector<std::string>{"/primary/staff", "/primary/staff/s12", "/primary/staff/s12/INBOX",
                                                  "/primary/staff/s12/INBOX/1"}));
}

TEST_F(StoreBackup, InterruptStopsAfterTheChildInProgressAndEndsTheVolume) {
  build_standard();
  // The signal arrives before the traversal starts: the context records it
  // (its handler is set by then), every loop ends after its first child.
  backup_options o;
  o.devname = path("vol");
  o.names = {"/primary/user/joe"};
  std::string err;
  {
    BkContext ctx("orvbackup", 0);
    ASSERT_TRUE(ctx.isvalid());
    raise(SIGINT);
    EXPECT_EQ(ctx.interrupted(), 1);
    int fd = open(path("vol").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    {
      BKDEV dev(fd, O_RDWR, 20, nullptr, nullptr);
      BkSession* s = ctx.getSession(BkMode::Backup, 1, 1);
      ASSERT_EQ(backup_start(&dev), 1);
      EXPECT_EQ(backup_path(s, &dev, "/primary/user/joe"), 1);
      EXPECT_EQ(backup_end(&dev), 1);
      EXPECT_EQ(dev.finish(), 1);
    }
    close(fd);
    EXPECT_EQ(ctx.exitCode(), 0);
  }
  ASSERT_NO_FATAL_FAILURE(reinit());
  Volume v = read_volume(path("vol"));
  EXPECT_TRUE(v.ended);
  EXPECT_EQ(ids_of(v), (std::vector<std::string>{"/primary/user/joe", "/primary/user/joe/INBOX",
                                                  "/primary/user/joe/INBOX/1"}));
}

TEST_F(StoreBackup, AnOwnerWithoutSeenStateHasNoFlags) {
  build_standard();
  std::string err;
  ASSERT_EQ(run({"/primary/user/ann"}, &err), 0) << err;
  Volume v = read_volume(path("vol"));
  check_against_store(v, true);  // peruser_flags 0 for ann's messages
}

// ---------------------------------------------------------------------------
// Who writes the blocks: a file or a pipe is written by the traversal thread
// itself, a writer thread can still be asked for.  The volume and the
// outcome must not depend on it.

// The folders of the standard store with three large messages in joe's
// INBOX, so the stream runs several times round the ring of 25 blocks.
// Folder and message records carry the index and arrival times, so two
// backups of them differ only in the header's date (user records would
// carry the time of the run).
class WriterBackup : public StoreBackup {
 protected:
  void SetUp() override {
    StoreBackup::SetUp();
    ASSERT_NO_FATAL_FAILURE(build_standard());
    for (size_t body : {size_t(400000), size_t(123457), size_t(300001)})
      add("user/joe", msg_text("large " + std::to_string(body), body), 1700000100);
  }
  static std::vector<std::string> folders() {
    return {"/primary/user/joe/INBOX", "/primary/user/joe/Drafts/old", "/primary/user/joe/Sent",
            "/primary/user/ann/INBOX", "/second/user/bob/INBOX"};
  }
  // A backup of the folders into target with writer; its status and text.
  int save(const std::string& target, BkWriter writer, std::string* err) {
    backup_options o;
    o.devname = target;
    o.names = folders();
    o.writer = writer;
    CaptureStderr();
    int rc = backup_run(o, "orvbackup");
    *err = GetCapturedStderr();
    reinit();
    return rc;
  }
  // The same with standard output on a pipe ("-f -"); the bytes that came
  // through it.  reader false: the reading end is closed before the run.
  std::string save_to_pipe(BkWriter writer, bool reader, int* rc, std::string* err) {
    fflush(stdout);
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    std::string got;
    std::thread t;
    if (reader) {
      t = std::thread([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
      });
    } else {
      close(p[0]);
    }
    int saved = dup(1);
    dup2(p[1], 1);
    close(p[1]);
    *rc = save("-", writer, err);
    dup2(saved, 1);  // the last writing end goes: the reader sees the end
    close(saved);
    if (reader) {
      t.join();
      close(p[0]);
    }
    return got;
  }
};

// The volume with the header's date (stream bytes 5 to 8, in the first
// block after its 12-byte prefix) cleared.
std::string without_date(std::string vol) {
  if (vol.size() >= 21) vol.replace(17, 4, 4, '\0');
  return vol;
}

// Standard error without the lines that name objects the traversal gave
// up on (how many there are depends on when a writer thread's failure is
// seen), and log lines without their time and process.
std::string without_unsaved(const std::string& err) {
  std::istringstream in(err);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.rfind("unable to backup: ", 0) == 0) continue;
    size_t tag = line.find(" orvbackup[");
    if (tag != std::string::npos && line.find("] ", tag) != std::string::npos) line = line.substr(line.find("] ", tag) + 2);
    out += line + "\n";
  }
  return out;
}

TEST_F(WriterBackup, FileAndPipeTargetsGetTheBytesOfTheWriterThread) {
  std::string err;
  ASSERT_EQ(save(path("threaded"), BkWriter::thread, &err), 0) << err;
  std::string want = without_date(read_text_file(path("threaded")));
  // Several rings' worth, ending part-way into a slot used before.
  ASSERT_GT(want.size(), 3 * BK_RING_BYTES);
  ASSERT_NE(want.size() / 10240 % 25, 0u);
  Volume v = read_volume(path("threaded"));
  EXPECT_TRUE(v.ended);
  check_against_store(v, true);

  ASSERT_EQ(save(path("file"), BkWriter::automatic, &err), 0) << err;
  EXPECT_TRUE(without_date(read_text_file(path("file"))) == want) << "a file target differs";
  int rc;
  std::string piped = save_to_pipe(BkWriter::automatic, true, &rc, &err);
  ASSERT_EQ(rc, 0) << err;
  EXPECT_TRUE(without_date(piped) == want) << "a pipe target differs";
  piped = save_to_pipe(BkWriter::thread, true, &rc, &err);
  ASSERT_EQ(rc, 0) << err;
  EXPECT_TRUE(without_date(piped) == want) << "the threaded writer on a pipe differs";
}

// The medium fails after its first write.
std::atomic<int> g_writes_left{-1};
int fail_after_first_write(fs_op op, const char*, size_t*) {
  if (op != fs_op::write || g_writes_left < 0) return 0;
  if (g_writes_left == 0) return EIO;
  g_writes_left--;
  return 0;
}

TEST_F(WriterBackup, WriteErrorsEndTheRunAsWithTheWriterThread) {
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);  // as orvbackup does
  for (BkWriter writer : {BkWriter::automatic, BkWriter::thread}) {
    SCOPED_TRACE(writer == BkWriter::thread ? "writer thread" : "traversal thread");
    // A file that fails with EIO: device error, and the file this run made
    // is removed.
    fs_fault_hook old_hook = fs_set_fault_hook(fail_after_first_write);
    g_writes_left = 1;
    std::string err;
    int rc = save(path("vol"), writer, &err);
    g_writes_left = -1;
    fs_set_fault_hook(old_hook);
    EXPECT_EQ(rc, 74);
    EXPECT_EQ(without_unsaved(err),
              "error: Error writing block: Input/output error\nDevice error\nError occured, see default "
              "logfile\nRemoved the incomplete backup file " + path("vol") + "\n");
    EXPECT_FALSE(std::filesystem::exists(path("vol")));
    // Standard output on a pipe nobody reads.
    (void)save_to_pipe(writer, false, &rc, &err);
    EXPECT_EQ(rc, 74);
    EXPECT_EQ(without_unsaved(err),
              "error: Error writing block: Broken pipe\nDevice error\nError occured, see default logfile\n");
  }
  sigaction(SIGPIPE, &old, nullptr);
}

// ---------------------------------------------------------------------------
// Per-user flags.

TEST(FlagsCacheTest, RangesListsAndCursorsInBothDirections) {
  FlagsCache f;
  f.parse("1:3,5,,9:7 2,20:30", 10, "user/joe");
  struct {
    uint32_t uid, want;
  } seq[] = {{1, 1}, {2, 3}, {3, 1}, {4, 0}, {5, 1}, {6, 0}, {7, 1}, {8, 1}, {9, 1}, {10, 0},
             {25, 2}, {31, 0}, {2, 3}, {1, 1}, {30, 2}, {4, 0}, {0, 0}, {4000000000u, 0}};
  for (auto& s : seq) EXPECT_EQ(f.getflag(s.uid), s.want) << s.uid;
  // A bad character ends its list; the other list still counts.
  CaptureStderr();
  FlagsCache g;
  g.parse("1:2x,5 3", 10, "user/joe");
  std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("user/joe invalid peruser flags: x,5"), std::string::npos) << log;
  EXPECT_EQ(g.getflag(1), 1u);
  EXPECT_EQ(g.getflag(5), 0u);
  EXPECT_EQ(g.getflag(3), 2u);
  FlagsCache e;
  e.parse(" ", 0, "x");
  EXPECT_EQ(e.getflag(1), 0u);
}

}  // namespace
