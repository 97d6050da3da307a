#include "backup/backup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "backup/bkcontext.h"
#include "backup/bkobj.h"
#include "backup/bktape.h"
#include "backup/bktest_util.h"
#include "common/config.h"
#include "common/fileio.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Runs the option parser on a command line; returns its status and the
// text it printed.
struct Parsed {
  int rc;
  std::string err;
  backup_options o;
};
Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "orvbackup");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  CaptureStderr();
  p.rc = backup_parse_options(static_cast<int>(args.size()), argv.data(), &p.o);
  p.err = GetCapturedStderr();
  return p;
}

const char* const kUsage =
    "USAGE: orvbackup: -f device [-b blockfactor] [-d date] [-m link_count] [-e encoding] [-u file] [-ivlgx] "
    "[name ...]\n";

TEST(BackupOptions, UsageErrorsAndTheirStatus) {
  struct Case {
    std::vector<std::string> args;
    int rc;
  } cases[] = {
      {{"/"}, 64},                        // no -f
      {{"-f", "a", "-f", "b", "/"}, 64},  // second -f
      {{"-f", "a", "-x", "/"}, 64},       // unknown letter
      {{"-f", "a", "-?", "/"}, 64},
      {{"-f", "a", "-u", "x", "-u", "y"}, 64},  // second -u
      {{"-f", "a", "-e", "UTF-8", "-e", "UTF-8", "/"}, 64},
      {{"-f", "a", "-e", "NO-SUCH-SET", "/"}, 64},  // unknown character set
      {{"-f", "a", "-d", "19991231", "/"}, 64},     // before 2000
      {{"-f", "a", "-d", "20040101:24", "/"}, 64},  // neither 8 nor 15 characters
      {{"-f", "a", "-b", "-5", "/"}, 64},           // no negative block factor
      {{"-f", "a", "-b", "4097", "/"}, 64},
      {{"-f", "a", "-m", "x", "/"}, 64},
      {{"-f", "a", "-d"}, 64},  // missing argument
  };
  for (const Case& c : cases) {
    std::string line;
    for (auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    Parsed p = parse(c.args);
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_NE(p.err.find(kUsage), std::string::npos) << p.err;
  }
  Parsed none = parse({"-f", "a"});
  EXPECT_EQ(none.rc, 66);
  EXPECT_EQ(none.err, "Warning: Backup path is not provided. To perform a full backup, use / as the backup path.\n");
}

TEST(BackupOptions, ValuesAreTaken) {
  Parsed p = parse({"-f", "-", "-b", "0", "-v", "-i", "-l", "-g", "-m", "3", "-d", "20040230", "joe", "grp/ann"});
  ASSERT_EQ(p.rc, 0) << p.err;
  EXPECT_EQ(p.o.devname, "-");
  EXPECT_EQ(p.o.blkfactor, 20u);  // 0 is the default
  EXPECT_EQ(p.o.verbose, 1);
  EXPECT_EQ(p.o.usehash, 0);
  EXPECT_EQ(p.o.autochange, 1);
  EXPECT_EQ(p.o.debug, 1);
  EXPECT_EQ(p.o.minlink, 3u);
  EXPECT_EQ(p.o.names, (std::vector<std::string>{"joe", "grp/ann"}));
  Parsed b = parse({"-f", "x", "-b", "600", "-n", "/a/b/c/", "-u", "list"});
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(b.o.blkfactor, 600u);
  EXPECT_EQ(b.o.usehash, 0);  // -n turns links off
}

TEST(BackupOptions, Dates) {
  // 30 February is accepted and becomes 1 March.
  time_t t = atot("20040230");
  ASSERT_NE(t, 0);
  struct tm tm;
  localtime_r(&t, &tm);
  EXPECT_EQ(tm.tm_mon, 2);
  EXPECT_EQ(tm.tm_mday, 1);
  EXPECT_EQ(tm.tm_hour, 0);
  time_t l = atot("20040101:235959");
  localtime_r(&l, &tm);
  EXPECT_EQ(tm.tm_hour, 23);
  EXPECT_EQ(tm.tm_sec, 59);
  for (const char* bad :
       {"", "2004", "19991231", "20041301", "20040001", "20040132", "20040100", "2004010a", "20040101x235959",
        "20040101:240000", "20040101:236000", "20040101:235960", "20040101:24", "200401011"})
    EXPECT_EQ(atot(bad), 0) << bad;
  // A non-digit field reads as 0, which the range checks then judge.
  EXPECT_EQ(satoi("12a4", 0, 4), 0);
  EXPECT_EQ(satoi("x2004", 1, 4), 2004);
  EXPECT_NE(atot("20040101:00aa00"), 0);  // minutes read as 0
}

// A configuration in a temporary directory for tests that start the
// context (no partitions: the store is not looked at).
class WithConfig : public BkStoreTest {
 protected:
  WithConfig() : BkStoreTest("backup_test", false) {}
};

class MapPath : public WithConfig {
 protected:
  void SetUp() override {
    extra_ = "local.store.backupdir = /backups//\n";
    WithConfig::SetUp();
    ASSERT_EQ(configmsg_init(0, 16, "test"), 0);
  }
  void TearDown() override {
    configmsg_free();
    WithConfig::TearDown();
  }
};

TEST_F(MapPath, NamesUnderTheSavePath) {
  struct Case {
    const char* path;
    const char* name;
    const char* want;
  } cases[] = {
      {"/backups/primary/user/", "joe", "/primary/user/joe"},                  // under local.store.backupdir
      {"/nsr/x/primary/user/joe/", "INBOX", "/primary/user/joe/INBOX"},        // last three components
      {"/nsr/x/primary/user/joe/", "Sent%old", "/primary/user/joe/Sent/old"},  // four slashes: % is /
      {"/nsr/primary/user/joe", "/Sent/x%y", "/primary/user/joe/Sent/x%y"},    // five: kept
      {"/a/b/c", "", "/a/b/c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string out;
    ASSERT_EQ(backup_map_path(c.path, c.name, &out), 0);
    EXPECT_EQ(out, c.want);
  }
  std::string out;
  CaptureStderr();
  EXPECT_EQ(backup_map_path("a/b", "joe", &out), 64);
  EXPECT_EQ(GetCapturedStderr(), "Invalid backup path: a/b\n");
}

TEST(Header, LayoutAndListing) {
  Header h;
  memcpy(h.magicNum, HEADER_MAGIC, 4);
  h.version = 2;
  h.date = 0x01020304;
  h.startdate = 0;
  strcpy(h.storeid, "mailhost");
  h.blocksize = 10240;
  char b[HEADER_SIZE];
  header_encode(h, b);
  const unsigned char head[] = {'M', '_', 'b', 'k', 2, 1, 2, 3, 4, 0, 0, 0, 0, 'm', 'a', 'i', 'l'};
  EXPECT_EQ(0, memcmp(b, head, sizeof head));
  EXPECT_EQ(b[13 + 8], 0);
  const unsigned char tail[] = {0, 0, 0x28, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(b + 141, tail, sizeof tail));
  Header r;
  ASSERT_EQ(header_decode(b, sizeof b, &r), 1);
  EXPECT_EQ(r.date, 0x01020304);
  EXPECT_STREQ(r.storeid, "mailhost");
  b[0] = 'X';
  EXPECT_EQ(header_decode(b, sizeof b, &r), 0);

  char* text = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&text, &len);
  h.print(f);
  fclose(f);
  std::string s(text, len);
  free(text);
  char t[BK_TIMESTR];
  EXPECT_EQ(s, std::string("--------------------------------------------\n Tape Version  : 2\n Backup Date   : ") +
                   time2str(0x01020304, t) +
                   " Message Store : mailhost\n Block factor  : 20\n"
                   "--------------------------------------------\n");
  h.version = 1;  // older volumes list the version only
  f = open_memstream(&text, &len);
  h.print(f);
  fclose(f);
  s.assign(text, len);
  free(text);
  EXPECT_EQ(s.find("Backup Date"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Traversal over a tree of test objects.

struct Node {
  Node(const char* i, BkType t, time_t s, bool ok = true, std::vector<Node> c = {})
      : id(i), type(t), ts(s), data_ok(ok), children(std::move(c)) {}
  const char* id;
  BkType type;
  time_t ts;
  bool data_ok;
  std::vector<Node> children;
};

class TreeObj : public BkObj {
 public:
  TreeObj(BkSession* s, const Node& n) : BkObj(s, n.id, n.type), node_(n) {
    att.timestamp = n.ts;
    exist = 1;
  }
  const Vdata* backupData() override { return node_.data_ok ? &mydata : nullptr; }
  int restoreData(Vdata*) override { return 1; }
  std::unique_ptr<BkObj> getFirstChild() override {
    next_ = 0;
    return getNextChild();
  }
  std::unique_ptr<BkObj> getNextChild() override {
    if (next_ >= node_.children.size()) return nullptr;
    return std::make_unique<TreeObj>(bks, node_.children[next_++]);
  }

 private:
  const Node& node_;
  size_t next_ = 0;
};

class Traversal : public WithConfig {
 protected:
  // Writes the tree through backup_object; returns the ids of the records.
  std::vector<std::string> run(const Node& root, time_t cutoff, int* rc, std::string* err) {
    Startdate = cutoff;
    std::vector<std::string> ids;
    BkContext ctx("test", 0);
    EXPECT_TRUE(ctx.isvalid());
    BkSession* s = ctx.getSession(BkMode::Backup, 1, 1);
    std::string vol = write_stream(1, [&](BKDEV& d) {
      TreeObj top(s, root);
      CaptureStderr();
      *rc = backup_object(s, &d, &top);
      *err = GetCapturedStderr();
      backup_end(&d);
    });
    Startdate = 0;
    std::string stream = unblock(vol, 512);
    BkMemInput in(stream.data(), stream.size());
    BkRecord r;
    std::string e;
    int got;
    while ((got = bkobj_read_record(in, &r, &e)) == 1) ids.push_back(r.id);
    EXPECT_EQ(got, 0) << e;
    return ids;
  }
};

TEST_F(Traversal, CutOffSkipsOldFoldersButWalksTheLevelsAbove) {
  Node tree{"/",
            BkType::store,
            0,
            true,
            {{"/p",
              BkType::partition,
              0,
              true,
              {{"/p/user",
                BkType::group,
                0,
                true,
                {{"/p/user/joe",
                  BkType::user,
                  500,
                  true,
                  {{"/p/user/joe/Old", BkType::mailbox, 50, true, {{"/p/user/joe/Old/1", BkType::message, 400}}},
                   {"/p/user/joe/New",
                    BkType::mailbox,
                    300,
                    true,
                    {{"/p/user/joe/New/1", BkType::message, 100}, {"/p/user/joe/New/2", BkType::message, 200}}}}}}}}}}};
  int rc;
  std::string err;
  EXPECT_EQ(run(tree, 0, &rc, &err),
            (std::vector<std::string>{"/", "/p", "/p/user", "/p/user/joe", "/p/user/joe/Old", "/p/user/joe/Old/1",
                                      "/p/user/joe/New", "/p/user/joe/New/1", "/p/user/joe/New/2"}));
  EXPECT_EQ(rc, 1);
  // From 150: the old folder goes with its (newer) message, the levels
  // above are walked without records, and the old message is left out.
  EXPECT_EQ(run(tree, 150, &rc, &err),
            (std::vector<std::string>{"/p/user/joe", "/p/user/joe/New", "/p/user/joe/New/2"}));
  EXPECT_EQ(rc, 1);
}

TEST_F(Traversal, AFailedChildIsReportedAndTheWalkGoesOn) {
  Node tree{"/p/user/joe",
            BkType::user,
            5,
            true,
            {{"/p/user/joe/A", BkType::mailbox, 5, false, {{"/p/user/joe/A/1", BkType::message, 5}}},
             {"/p/user/joe/B", BkType::mailbox, 5, true}}};
  int rc;
  std::string err;
  // A's record is complete (data length 0) but A counts as failed and its
  // messages are not visited.
  EXPECT_EQ(run(tree, 0, &rc, &err), (std::vector<std::string>{"/p/user/joe", "/p/user/joe/A", "/p/user/joe/B"}));
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(err, "unable to backup: /p/user/joe/A\n");
}

// ---------------------------------------------------------------------------
// Whole runs.

class Run : public WithConfig {
 protected:
  int run(backup_options o, std::string* err) {
    CaptureStderr();
    int rc = backup_run(o, "orvbackup");
    *err = GetCapturedStderr();
    return rc;
  }
  backup_options opts(const std::string& target) {
    backup_options o;
    o.devname = target;
    return o;
  }
  // Options naming an empty name-list file.
  backup_options empty_list(const std::string& target) {
    names_ = path("names");
    write_text_file(names_, "");
    backup_options o = opts(target);
    o.userfile = names_.c_str();
    return o;
  }
  std::string names_;
};

TEST_F(Run, EmptyNameListWritesHeaderAndEndMarker) {
  backup_options o = empty_list(path("vol"));
  o.verbose = 1;
  std::string err;
  ASSERT_EQ(run(o, &err), 0) << err;
  EXPECT_NE(err.find(" Message Store : mailhost\n Block factor  : 20\n"), std::string::npos) << err;
  std::string vol = read_text_file(path("vol"));
  ASSERT_EQ(vol.size(), 10240u);
  const unsigned char first[17] = {0x5A, 0xBA, 0xCA, 0xB5, 0, 0, 0, 0, 0, 0, 0, 0, 'M', '_', 'b', 'k', 2};
  EXPECT_EQ(0, memcmp(vol.data(), first, 17));
  std::string stream = unblock(vol, 10240);
  Header h;
  ASSERT_EQ(header_decode(stream.data(), stream.size(), &h), 1);
  EXPECT_EQ(h.blocksize, 10240u);
  EXPECT_STREQ(h.storeid, "mailhost");
  BkMemInput in(stream.data() + HEADER_SIZE, stream.size() - HEADER_SIZE);
  BkRecord r;
  std::string e;
  EXPECT_EQ(bkobj_read_record(in, &r, &e), 0) << e;
}

TEST_F(Run, UnknownObjectsStopTheRun) {
  backup_options o = opts(path("vol"));
  o.names = {"joe", "/"};
  std::string err;
  EXPECT_EQ(run(o, &err), 79);
  // The first name fails; the second is not tried, and the volume this run
  // made is not left to pass for a backup.
  EXPECT_EQ(
      err, "/primary/user/joe does not exist\nError occured, see default logfile\nRemoved the incomplete backup file " +
               path("vol") + "\n");
  EXPECT_FALSE(std::filesystem::exists(path("vol")));
  // A file that was there before is the operator's: kept, said incomplete.
  write_text_file(path("vol"), "older volume");
  EXPECT_EQ(run(o, &err), 79);
  EXPECT_NE(err.find("The backup in " + path("vol") + " is incomplete\n"), std::string::npos) << err;
  EXPECT_EQ(read_text_file(path("vol")).size(), 10240u);
}

TEST_F(Run, EarlyExits) {
  std::string err;
  backup_options o = opts(path("no/such/dir/vol"));
  o.names = {"/"};
  EXPECT_EQ(run(o, &err), 73);
  EXPECT_NE(err.find("Cannot create backup file: No such file or directory"), std::string::npos) << err;

  o = opts(path("vol"));
  std::string missing = path("missing-list");
  o.userfile = missing.c_str();
  EXPECT_EQ(run(o, &err), 66);
  EXPECT_NE(err.find("Can't open file " + missing), std::string::npos) << err;

  setenv(ORV_CONFIG_ENV, path("no-config").c_str(), 1);
  o = opts(path("vol"));
  o.names = {"/"};
  EXPECT_EQ(run(o, &err), 69);
  EXPECT_NE(err.find("ERROR: Could not initialize config system"), std::string::npos) << err;
}

TEST_F(Run, AutochangeOnAPlainFileIsIgnored) {
  backup_options o = empty_list(path("vol"));
  o.autochange = 1;
  std::string err;
  EXPECT_EQ(run(o, &err), 0);
  EXPECT_EQ(err, "device is not a tape, autochange tapes flag ignored");
}

// The target behaves as a tape; the medium is full from the first write.
int ok_op(int) { return 0; }
int no_position(int, int64_t) { return -1; }
int ok_mark(int, int) { return 0; }
const BkTapeOps all_tapes = {[](int fd) { return fd > 2 ? 1 : 0; }, ok_op, no_position, ok_mark};
std::atomic<int> g_fail_writes{0};
int fail_first_writes(fs_op op, const char*, size_t*) {
  if (op == fs_op::write && g_fail_writes > 0) {
    g_fail_writes--;
    return ENOSPC;
  }
  return 0;
}

class TapeRun : public Run {
 protected:
  void SetUp() override {
    Run::SetUp();
    old_ops_ = bktape_set_ops(&all_tapes);
    old_hook_ = fs_set_fault_hook(fail_first_writes);
    g_fail_writes = 1;
  }
  void TearDown() override {
    fs_set_fault_hook(old_hook_);
    bktape_set_ops(old_ops_);
    g_fail_writes = 0;
    Run::TearDown();
  }
  const BkTapeOps* old_ops_ = nullptr;
  fs_fault_hook old_hook_ = nullptr;
};

TEST_F(TapeRun, CancelAtThePromptFailsTheBackup) {
  write_text_file(path("answers"), "$\n");
  backup_options o = empty_list(path("vol"));
  FILE* answers = fopen(path("answers").c_str(), "r");
  o.answers = answers;
  std::string err;
  EXPECT_EQ(run(o, &err), 74);
  fclose(answers);
  EXPECT_NE(err.find("Device full. Please insert a new blank tape.\nEnter new device name ($ to cancel)> "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Backup cancelled"), std::string::npos) << err;
  EXPECT_NE(err.find("Device error\nError occured, see default logfile\n"), std::string::npos) << err;
}

TEST_F(TapeRun, ANewVolumeFromThePromptTakesTheBlock) {
  // The first answer cannot be opened; the operator is asked again.
  write_text_file(path("answers"), path("no/such/vol") + "\n" + path("vol2") + "\n");
  backup_options o = empty_list(path("vol1"));
  FILE* answers = fopen(path("answers").c_str(), "r");
  o.answers = answers;
  std::string err;
  EXPECT_EQ(run(o, &err), 0) << err;
  fclose(answers);
  EXPECT_NE(err.find("Couldn't open file"), std::string::npos) << err;
  EXPECT_EQ(read_text_file(path("vol1")).size(), 0u);
  std::string v2 = read_text_file(path("vol2"));
  ASSERT_EQ(v2.size(), 10240u);
  EXPECT_EQ(readPRInt64(v2.data() + 4), 0u);
  EXPECT_EQ(v2.substr(12, 4), "M_bk");
}

TEST_F(TapeRun, EndOfInputAtThePromptCancels) {
  backup_options o = empty_list(path("vol"));
  FILE* answers = fopen("/dev/null", "r");
  o.answers = answers;
  std::string err;
  EXPECT_EQ(run(o, &err), 74);
  fclose(answers);
}

// ---------------------------------------------------------------------------
// Name list and context.

class Names : public WithConfig {};

TEST_F(Names, AddUserMakesObjectNames) {
  UserList l;
  CaptureStderr();
  EXPECT_EQ(l.adduser("joe", nullptr), 1);
  EXPECT_EQ(l.adduser("grp/joe", nullptr), 1);
  EXPECT_EQ(l.adduser("/primary/staff/ann/", nullptr), 1);
  EXPECT_EQ(l.adduser("", nullptr), 0);
  EXPECT_EQ(l.adduser("J\xf6rg", "ISO-8859-1"), 1);
  EXPECT_EQ(l.adduser(std::string(1100, 'x').c_str(), nullptr), 0);
  GetCapturedStderr();
  ASSERT_EQ(l.count(), 4);
  EXPECT_STREQ(l[0], "/primary/user/joe");
  EXPECT_STREQ(l[1], "/primary/grp/joe");
  EXPECT_STREQ(l[2], "/primary/staff/ann");
  EXPECT_STREQ(l[3], "/primary/user/J\xc3\xb6rg");
  EXPECT_EQ(l[4], nullptr);
}

TEST_F(Names, LoadReadsOneNamePerLine) {
  write_text_file(path("list"), "joe\n\n/primary/staff/ann/\n" + std::string(1500, 'y') + "\nlast");
  UserList l;
  CaptureStderr();
  ASSERT_EQ(l.load(path("list").c_str(), nullptr, 1), 1);
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("Username is too long: yyy"), std::string::npos) << err;
  ASSERT_EQ(l.count(), 3);
  EXPECT_STREQ(l[0], "/primary/user/joe");
  EXPECT_STREQ(l[1], "/primary/staff/ann");
  EXPECT_STREQ(l[2], "/primary/user/last");
  UserList raw;
  write_text_file(path("raw"), "a/b\n");
  ASSERT_EQ(raw.load(path("raw").c_str(), nullptr, 0), 1);
  EXPECT_STREQ(raw[0], "a/b");
}

TEST_F(Names, ContextExitCodeAndObjectNames) {
  BkContext ctx("test", 0);
  ASSERT_TRUE(ctx.isvalid());
  BkSession* a = ctx.getSession(BkMode::Backup, 1, 1);
  BkSession* b = ctx.getSession(BkMode::Backup, 1, 1);
  EXPECT_EQ(ctx.exitCode(), 0);
  a->errorcode = 70;
  EXPECT_EQ(ctx.exitCode(), 70);
  b->errorcode = 79;
  EXPECT_EQ(ctx.exitCode(), 79);  // the newest session first
  ctx.errorcode = 74;
  EXPECT_EQ(ctx.exitCode(), 74);
  ctx.errorcode = 0;
  CaptureStderr();
  char relative[] = "primary/user";
  EXPECT_EQ(a->createBkObj(relative, 0), nullptr);
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("Object name must begin with a /"), std::string::npos) << err;
  char joe[] = "/primary/user/joe/";
  BkObj* o = a->createBkObj(joe, 0);
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(o->getObjectId(), "/primary/user/joe");
  EXPECT_EQ(o->getAttr()->objectType, static_cast<uint16_t>(BkType::user));
  EXPECT_EQ(o->exists(), 0);
  a->deleteBkObj(o);
}

}  // namespace
