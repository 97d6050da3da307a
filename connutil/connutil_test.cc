#include "connutil/connutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// Runs the parser on words, returning status and what went to stderr.
struct parsed {
  int status;
  std::string err;
  connutil_options opts;
};
parsed parse(std::vector<std::string> words) {
  words.insert(words.begin(), "orvconnutil");
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  char* buf = nullptr;
  size_t len = 0;
  FILE* err = open_memstream(&buf, &len);
  parsed p;
  p.status = connutil_parse(static_cast<int>(words.size()), argv.data(), &p.opts, err);
  fclose(err);
  p.err.assign(buf, len);
  free(buf);
  return p;
}

const char kUsageFirst[] = "Usage: orvconnutil -c | -a [-s <service>] [-u <uid>] [-f <filename>]\n\n";

TEST(ConnutilParse, UsageErrorsComeInTheirOrderBeforeTheUsageText) {
  parsed p = parse({"-s", "imaps", "-f", std::string(1025, 'f'), "-u", std::string(129, 'u')});
  EXPECT_EQ(p.status, 64);
  std::string want =
      std::string("USAGE ERROR: service specified is too long.\n") + "USAGE ERROR: input file name is too long.\n" +
      "USAGE ERROR: Must pass at least one of -c or -a. \n" + "USAGE ERROR: uid length is too long.\n" + kUsageFirst;
  EXPECT_EQ(p.err.substr(0, want.size()), want);
  EXPECT_NE(p.err.find("     --version     Gives version information.\n"), std::string::npos);

  p = parse({});
  EXPECT_EQ(p.status, 64);
  std::string first = std::string("USAGE ERROR: Must pass at least one of -c or -a. \n") + kUsageFirst;
  EXPECT_EQ(p.err.substr(0, first.size()), first);
  // Thirteen lines of usage, the first with an empty line after it.
  EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1 + 14);
}

TEST(ConnutilParse, LimitsAndServices) {
  EXPECT_EQ(parse({"-c", "-u", std::string(128, 'u'), "-f", std::string(1024, 'f')}).status, 0);
  EXPECT_EQ(parse({"-c", "-s", "imap"}).status, 0);
  EXPECT_EQ(parse({"-c", "-s", "http"}).status, 0);
  EXPECT_EQ(parse({"-c", "-s", "pop"}).status, 0);  // our POP server publishes its sessions
  parsed p = parse({"-c", "-s", "ftp"});
  EXPECT_EQ(p.status, 64);
  EXPECT_EQ(p.err.rfind(kUsageFirst, 0), 0u) << p.err;
  EXPECT_EQ(parse({"-a", "-x"}).status, 64);
  EXPECT_EQ(parse({"-a", "--bogus"}).status, 64);
  EXPECT_EQ(parse({"-a", "extra"}).status, 64);
  p = parse({"--help"});
  EXPECT_EQ(p.status, 0);
  EXPECT_TRUE(p.opts.help);
  p = parse({"--version"});
  EXPECT_EQ(p.status, 0);
  EXPECT_TRUE(p.opts.version);
  p = parse({"-a", "-c", "-u", "joe"});
  EXPECT_TRUE(p.opts.access && p.opts.connected);
  EXPECT_EQ(p.opts.uid, "joe");
}

class Utc : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_F(Utc, TimesInTheReportFormat) {
  EXPECT_EQ(connutil_time2str(1700000000), "14/Nov/2023:22:13:20");
  EXPECT_EQ(connutil_time2str(0), "----NOT-RECORDED----");
}

TEST_F(Utc, AccessLinesOnlyForUsers) {
  EXPECT_EQ(connutil_format_access("joe", 1700000100, 1700000000, 0),
            "joe               14/Nov/2023:22:13:20              ----NOT-RECORDED----               "
            "14/Nov/2023:22:15:00\n");
  std::string user;
  EXPECT_TRUE(connutil_user_of_root("user/joe", &user));
  EXPECT_EQ(user, "joe");
  // A shared folder's root would otherwise print as "ic/x".
  EXPECT_FALSE(connutil_user_of_root("public/x", &user));
  EXPECT_FALSE(connutil_user_of_root("user/", &user));
  EXPECT_FALSE(connutil_user_of_root("use", &user));
}

TEST(ConnutilSlots, HighWaterMarkIsClamped) {
  EXPECT_EQ(connutil_clamp_hiwater(-1, 6000), 6000u);
  EXPECT_EQ(connutil_clamp_hiwater(3, 6000), 3u);
  EXPECT_EQ(connutil_clamp_hiwater(6001, 6000), 6000u);
  EXPECT_EQ(connutil_clamp_hiwater(INT32_MAX, 10), 10u);
  EXPECT_EQ(connutil_clamp_hiwater(-7, 6000), 0u);
}

// A slot built byte by byte at the documented offsets.
struct alignas(4) slot_bytes {
  unsigned char b[LOGIN_RECORD_SIZE] = {};
  void text(size_t off, const char* s) { memcpy(b + off, s, strlen(s)); }
  void u32(size_t off, uint32_t v) { memcpy(b + off, &v, 4); }
};

slot_bytes sample_slot() {
  slot_bytes s;
  s.text(0, "joe");
  s.text(128, "admin");
  s.u32(384, 1700000000);
  s.text(388, "192.0.2.7");
  s.text(438, "198.51.100.1");
  s.u32(488, 40001);
  s.u32(492, 143);
  s.text(496, "plaintext");
  s.b[516] = 1;
  s.u32(520, 8);
  return s;
}

TEST(ConnutilSlots, FieldsWithoutNulAreCutAtTheirSize) {
  slot_bytes s = sample_slot();
  memset(s.b, 'u', 128);       // no NUL before auth_adm_uid
  memset(s.b + 496, 't', 20);  // nor before is_valid
  memset(s.b + 388, 'f', 50);
  login_slot out;
  ASSERT_TRUE(connutil_read_slot(s.b, &out));
  EXPECT_EQ(out.uid, std::string(128, 'u'));
  EXPECT_EQ(out.authtype, std::string(20, 't'));
  EXPECT_EQ(out.from_ip, std::string(50, 'f'));
  EXPECT_EQ(out.auth_adm_uid, "admin");
  EXPECT_EQ(out.to_ip, "198.51.100.1");
  EXPECT_EQ(out.login_time, 1700000000u);
  EXPECT_EQ(out.src_tcp_port, 40001);
  EXPECT_EQ(out.dest_tcp_port, 143);
}

struct rewrite {
  slot_bytes* s;
  bool clear_valid;
};
void rewrite_slot(void* arg) {
  auto* r = static_cast<rewrite*>(arg);
  if (r->clear_valid) {
    r->s->b[516] = 0;
    return;
  }
  r->s->u32(520, 9);  // the writer began a rewrite
  r->s->text(0, "ann");
}

TEST(ConnutilSlots, ARewrittenOrInvalidSlotIsNotTaken) {
  slot_bytes s = sample_slot();
  login_slot out;
  rewrite r{&s, false};
  EXPECT_FALSE(connutil_read_slot(s.b, &out, rewrite_slot, &r));
  s = sample_slot();
  r = {&s, true};
  EXPECT_FALSE(connutil_read_slot(s.b, &out, rewrite_slot, &r));
  s = sample_slot();
  s.b[516] = 0;
  EXPECT_FALSE(connutil_read_slot(s.b, &out));
  s.b[516] = 2;
  EXPECT_FALSE(connutil_read_slot(s.b, &out));
}

TEST_F(Utc, LoginLinesInBothFormats) {
  slot_bytes s = sample_slot();
  login_slot out;
  ASSERT_TRUE(connutil_read_slot(s.b, &out));
  EXPECT_EQ(connutil_format_login(out),
            "            joe 14/Nov/2023:22:13:20      plaintext          198.51.100.1:143                "
            "192.0.2.7:40001 \n");
  out.authtype = "proxyauth";
  EXPECT_EQ(connutil_format_login(out),
            "            joe 14/Nov/2023:22:13:20      proxyauth(admin)    198.51.100.1:143                  "
            "192.0.2.7:40001   \n");
  out.uid = std::string(20, 'x');
  out.authtype = "authenticate-longer-x";
  std::string line = connutil_format_login(out);
  EXPECT_EQ(line.substr(0, 16), std::string(15, 'x') + " ");                                     // %15.15s
  EXPECT_NE(line.find("     authentica          198.51.100.1:143"), std::string::npos) << line;  // %14.10s
}

std::string session_value(uint32_t login, const unsigned char addr[4], uint32_t port, const char* conn,
                          const char* uid) {
  std::string v(SESSION_RECORD_SIZE, '\0');
  memcpy(&v[0], &login, 4);
  memcpy(&v[12], addr, 4);
  memcpy(&v[16], &port, 4);
  memcpy(&v[20], conn, std::min<size_t>(strlen(conn), 20));
  v += uid;
  v.push_back('\0');
  return v;
}

TEST_F(Utc, SessionRecords) {
  const unsigned char addr[4] = {10, 1, 2, 3};
  std::string v = session_value(1700000000, addr, 5555, "mail.example.com", "joe");
  session_rec r;
  ASSERT_TRUE(connutil_decode_session(v.data(), v.size(), &r));
  EXPECT_EQ(r.uid, "joe");
  EXPECT_EQ(connutil_format_session(r, true, 80),
            "       joe   14/Nov/2023:22:13:20            mail.example.com:80                      10.1.2.3:5555  "
            "        \n");
  EXPECT_EQ(connutil_format_session(r, false, 8080),
            "       joe   14/Nov/2023:22:13:20            [mail.example.com]:8080                   [10.1.2.3]:5555"
            "         \n");

  // A server address filling its 20 bytes is cut there, not read onward.
  v = session_value(1, addr, 1, "aaaaaaaaaaaaaaaaaaaaaaaa", "joe");
  ASSERT_TRUE(connutil_decode_session(v.data(), v.size(), &r));
  EXPECT_EQ(r.conn_addr, std::string(20, 'a'));

  // Malformed: the record alone, a user id without its NUL, a short value.
  EXPECT_FALSE(connutil_decode_session(v.data(), SESSION_RECORD_SIZE, &r));
  EXPECT_FALSE(connutil_decode_session(v.data(), v.size() - 1, &r));
  EXPECT_FALSE(connutil_decode_session(v.data(), 40, &r));
  EXPECT_FALSE(connutil_decode_session(nullptr, 0, &r));
  // An empty user id followed by its NUL is still a record.
  std::string empty = session_value(1, addr, 1, "x", "");
  EXPECT_TRUE(connutil_decode_session(empty.data(), empty.size(), &r));
}

TEST(ConnutilUserFile, BlankCrlfAndOverlongLines) {
  std::string text = "joe\n\n" + std::string(129, 'x') + "\nann\r\n" + std::string(128, 'y') + "\nlast";
  FILE* f = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(f, nullptr);
  char* buf = nullptr;
  size_t len = 0;
  FILE* warn = open_memstream(&buf, &len);
  std::vector<std::string> names;
  std::string n;
  while (connutil_next_user(f, &n, warn)) names.push_back(n);
  fclose(f);
  fclose(warn);
  std::string warned(buf, len);
  free(buf);
  EXPECT_EQ(names, (std::vector<std::string>{"joe", "ann", std::string(128, 'y'), "last"}));
  EXPECT_NE(warned.find("more than 128 characters"), std::string::npos);
}

TEST(ConnutilProcesses, ScansProcWithoutAShell) {
  auto root = std::filesystem::temp_directory_path() / ("connutil_proc." + std::to_string(getpid()));
  std::filesystem::remove_all(root);
  auto add = [&root](int pid, const std::string& cmdline) {
    auto d = root / std::to_string(pid);
    std::filesystem::create_directories(d);
    std::ofstream(d / "cmdline") << cmdline;
  };
  add(300, std::string("/usr/sbin/fake_imapd\0-c\0x", 25));
  add(200, std::string("/bin/orvpopd\0", 13));
  add(100, std::string("bash\0-c\0grep imapd", 19));  // matches too: any word
  add(400, std::string("/usr/sbin/fake_imapd", 20));  // ourselves
  add(500, "");                                       // a zombie has no command line
  std::filesystem::create_directories(root / "self");
  std::vector<pid_t> pids;
  ASSERT_EQ(connutil_find_processes(root.c_str(), "imap", getuid(), 400, &pids), 0);
  EXPECT_EQ(pids, (std::vector<pid_t>{100, 300}));
  ASSERT_EQ(connutil_find_processes(root.c_str(), "pop", getuid(), 400, &pids), 0);
  EXPECT_EQ(pids, (std::vector<pid_t>{200}));
  // Another user's processes are not the server's.
  ASSERT_EQ(connutil_find_processes(root.c_str(), "imap", getuid() + 1, 400, &pids), 0);
  EXPECT_TRUE(pids.empty());
  // At most 64.
  for (int i = 1000; i < 1070; i++) add(i, "imapd");
  ASSERT_EQ(connutil_find_processes(root.c_str(), "imap", getuid(), 400, &pids), 0);
  EXPECT_EQ(pids.size(), 64u);
  EXPECT_EQ(pids.front(), 100);
  std::filesystem::remove_all(root);
  EXPECT_EQ(connutil_find_processes(root.c_str(), "imap", getuid(), 400, &pids), -1);
}

}  // namespace
