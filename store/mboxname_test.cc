#include "store/mboxname.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/imap_err.h"
#include "common/test_util.h"

namespace {

namespace fs = std::filesystem;

// Names a hostile client may send.  Every conversion must refuse them or
// keep them inside the partition; none may crash or overrun a buffer.
const std::vector<std::string>& hostile_names() {
  static const std::vector<std::string> names = {
      "..",
      "../x",
      "user/../x",
      "user/..",
      "user/ann/../../../etc",
      "user/ann/..",
      "public/../../x",
      "public/.",
      "/etc/passwd",
      "user//x",
      "user/ann/",
      "user/ann/a\\..\\b",
      "user/ann/caf\xc3\xa9",
      "user/ann/\xff\xfe",
      "user/ann/&",
      "user/ann/&AGE-",
      "user/ann/a\nb",
      std::string(300, 'A'),
      "user/ann/" + std::string(2000, '.'),
      "user/" + std::string(500, 'x') + "/y",
  };
  return names;
}

// Output buffers on the heap, exactly as large as promised, so that the
// address sanitizer sees any write past them.
struct Buf {
  explicit Buf(size_t n) : bytes(n, '\x7f') {}
  char* data() { return bytes.data(); }
  std::string str() const { return bytes.data(); }
  std::vector<char> bytes;
};

class MboxnameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(configmsg_init_text("service.defaultdomain = example.com\n", "test", "orvtest"), 0);
  }
  void TearDown() override { configmsg_free(); }
};

constexpr const char* kBad = "!";

struct ToInternalCase {
  std::string name;
  int language;
  const char* userid;
  std::string want;  // kBad: IMAP_MAILBOX_BADNAME
};

TEST_F(MboxnameTest, ToInternal) {
  const std::string max_folder(246, 'f');  // "user/ann/" + 246 = 255 bytes
  const std::string max_user(250, 'u');    // "user/" + 250 = 255 bytes
  const std::string long_user = max_user + "u";
  const ToInternalCase cases[] = {
      {"INBOX", 0, "ann", "user/ann"},
      {"inbox", 0, "ann", "user/ann"},
      {"InBoX", -1, "ann", "user/ann"},
      {"INBOX", 0, nullptr, kBad},
      {"INBOX", 0, "a/b", kBad},
      {"INBOX", 0, max_user.c_str(), "user/" + max_user},
      {"INBOX", 0, long_user.c_str(), kBad},
      {"Shared Folders/User/bob/INBOX", 0, "ann", "user/bob"},
      {"Shared Folders/User/bob/inbox", 0, nullptr, "user/bob"},
      {"Shared Folders/User/bob/Sent", 0, "ann", "user/bob/Sent"},
      {"Shared Folders/User/bob/INBOX/x", 0, "ann", "user/bob/INBOX/x"},
      {"Shared Folders/User/bob@EXAMPLE.com/Sent", 0, "ann", "user/bob/Sent"},
      {"Shared Folders/User/bob@Other.ORG/Sent", 0, "ann", "user/bob@other.org/Sent"},
      {"Shared Folders/User/bob", 0, "ann", kBad},
      {"Shared Folders/User/", 0, "ann", kBad},
      {"Shared Folders/User", 0, "ann", kBad},
      {"Shared Folders", 0, "ann", kBad},
      {"Shared Folders/Other", 0, "ann", kBad},
      {"Shared Folders/Publicity", 0, "ann", kBad},
      {"Shared Folders/Public", 0, "ann", "public"},
      {"Shared Folders/Public/x", 0, "ann", "public/x"},
      {"Shared", 0, "ann", "user/ann/Shared"},
      {"Shared Folders/Users", 0, "ann", kBad},  // first component is shared
      {"Sent", 0, "ann", "user/ann/Sent"},
      {"Sent", 0, nullptr, kBad},
      {"Sent", 0, "a/b", kBad},
      {"#news", 0, "ann", kBad},
      {"~x", 0, "ann", kBad},
      {max_folder, 0, "ann", "user/ann/" + max_folder},
      {max_folder + "f", 0, "ann", kBad},
      {std::string(5000, 'x'), 0, "ann", kBad},
      {"Shared Folders/User/" + std::string(5000, 'x'), 0, "ann", kBad},
      {"Shared Folders/Public/" + std::string(5000, 'x'), 0, "ann", kBad},
      // The internal presentation.
      {"user/bob/Sent", -1, nullptr, "user/bob/Sent"},
      {"user/bob/INBOX", -1, nullptr, "user/bob"},
      {"user/bob", -1, nullptr, kBad},
      {"user", -1, nullptr, kBad},
      {"public/x", -1, nullptr, "public/x"},
      {"public", -1, nullptr, "public"},
      {"other", -1, nullptr, kBad},
      {"usera", -1, "ann", "user/ann/usera"},
  };
  for (const auto& c : cases) {
    Buf out(MBOXNAME_BUF);
    int rc = mboxname_tointernal(c.name.c_str(), c.language, c.userid, out.data());
    if (c.want != kBad) {
      EXPECT_EQ(rc, 0) << c.name.substr(0, 60);
      EXPECT_EQ(out.str(), c.want) << c.name.substr(0, 60);
    } else {
      EXPECT_EQ(rc, IMAP_MAILBOX_BADNAME) << c.name.substr(0, 60) << " gave " << out.str();
    }
  }
}

TEST_F(MboxnameTest, ToInternalOnHostileNames) {
  for (const auto& name : hostile_names()) {
    Buf out(MBOXNAME_BUF);
    int rc = mboxname_tointernal(name.c_str(), 0, "ann", out.data());
    if (rc == 0) {
      EXPECT_LT(out.str().size(), MBOXNAME_MAX) << name.substr(0, 60);
    }
  }
}

TEST_F(MboxnameTest, Hash) {
  // Worked by hand: h = ((65 * 31) + 110) * 31 + 110 = 65985 for "Ann".
  struct {
    std::string name;
    const char* want;
  } cases[] = {
      {"", "/00/00/"},
      {"Ann", "/14/30/"},
      {"joe", "/04/73/"},
      {"..", "/04/b0/"},
      {"\xc3\xa9", "/64/07/"},  // bytes above 0x7F count as negative
      {std::string(300, 'a'), "/04/54/"},
  };
  for (const auto& c : cases) {
    char out[MBOXNAME_HASH_BUF];
    mboxname_tohash(c.name.c_str(), 0, out);
    EXPECT_STREQ(out, c.want) << c.name.substr(0, 10);
  }
  char out[MBOXNAME_HASH_BUF];
  mboxname_tohash("Ann/Sent", 3, out);
  EXPECT_STREQ(out, "/14/30/");
}

TEST_F(MboxnameTest, GetPath) {
  struct {
    std::string name;
    const char* want;
  } cases[] = {
      {"user/Ann/Sent Items", "/store/primary/=user/14/30/=+Ann/=+Sent +Items"},
      {"user/joe", "/store/primary/=user/04/73/=joe"},
      {"public/Lists", "/store/primary/=public/=+Lists"},
      {"public/a.b+c:d\\e~f%g", "/store/primary/=public/=a%db%ac%cd%be%tf%pg"},
      {"user/../x", "/store/primary/=user/04/b0/=%d%d/=x"},
      {"user//x", "/store/primary/=user/00/00/=/=x"},
      {"../x", "/store/primary/=%d%d/=x"},
      {"/etc", "/store/primary/=/=etc"},
      {"", "/store/primary/="},
  };
  for (const auto& c : cases) {
    Buf out(MBOXNAME_PATH_BUF);
    ASSERT_EQ(mboxname_getpath(c.name.c_str(), "/store/primary", out.data()), 0) << c.name;
    EXPECT_EQ(out.str(), c.want);
  }
}

TEST_F(MboxnameTest, GetPathLengthLimit) {
  // "/r" + "/" + "=" is 4 bytes; a byte may still be encoded while the path
  // is shorter than 1000.
  Buf out(MBOXNAME_PATH_BUF);
  ASSERT_EQ(mboxname_getpath(std::string(996, 'a').c_str(), "/r", out.data()), 0);
  EXPECT_EQ(out.str().size(), 1000u);
  EXPECT_EQ(mboxname_getpath(std::string(997, 'a').c_str(), "/r", out.data()), IMAP_MAILBOX_BADNAME);
  // Escaped bytes take two: 498 capitals end at 4 + 996; one more is
  // refused, but one started at 999 may end at 1001.
  ASSERT_EQ(mboxname_getpath(std::string(498, 'A').c_str(), "/r", out.data()), 0);
  EXPECT_EQ(out.str().size(), 1000u);
  EXPECT_EQ(mboxname_getpath(std::string(499, 'A').c_str(), "/r", out.data()), IMAP_MAILBOX_BADNAME);
  ASSERT_EQ(mboxname_getpath((std::string(995, 'a') + "A").c_str(), "/r", out.data()), 0);
  EXPECT_EQ(out.str().size(), 1001u);
  // A long partition root leaves no room: refused, not overrun.
  EXPECT_EQ(mboxname_getpath("x", std::string(997, 'r').c_str(), out.data()), 0);
  EXPECT_EQ(out.str().size(), 1000u);
  EXPECT_EQ(mboxname_getpath("x", std::string(998, 'r').c_str(), out.data()), IMAP_MAILBOX_BADNAME);
  EXPECT_EQ(mboxname_getpath("user/x", std::string(985, 'r').c_str(), out.data()), 0);
  EXPECT_EQ(out.str().size(), 1000u);
  EXPECT_EQ(mboxname_getpath("user/x", std::string(986, 'r').c_str(), out.data()), IMAP_MAILBOX_BADNAME);
  EXPECT_EQ(mboxname_getpath("user/joe", std::string(998, 'r').c_str(), out.data()), IMAP_MAILBOX_BADNAME);
  EXPECT_EQ(mboxname_getpath("user/joe", std::string(5000, 'r').c_str(), out.data()), IMAP_MAILBOX_BADNAME);
}

// No name, however hostile, gives a directory outside its partition: the
// directories are really made and resolved.
TEST_F(MboxnameTest, HostileNamesStayInsideThePartition) {
  TempDir tmp;
  const std::string root = tmp / "part";
  fs::create_directories(root);
  const fs::path canonical_root = fs::canonical(root);
  for (const auto& name : hostile_names()) {
    Buf out(MBOXNAME_PATH_BUF);
    if (mboxname_getpath(name.c_str(), root.c_str(), out.data()) != 0) continue;
    const std::string path = out.str();
    ASSERT_EQ(path.compare(0, root.size() + 1, root + "/"), 0) << name.substr(0, 60);
    for (const auto& part : fs::path(path.substr(root.size() + 1))) {
      EXPECT_NE(part, ".") << name.substr(0, 60);
      EXPECT_NE(part, "..") << name.substr(0, 60);
      EXPECT_FALSE(part.empty()) << name.substr(0, 60);
    }
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) continue;  // a component over NAME_MAX
    const std::string made = fs::canonical(path).string();
    EXPECT_EQ(made.compare(0, canonical_root.string().size() + 1, canonical_root.string() + "/"), 0)
        << name.substr(0, 60) << " -> " << made;
  }
}

TEST_F(MboxnameTest, FromPath) {
  const std::string max_in = "=" + std::string(255, 'a');
  struct {
    std::string path;
    const char* want;  // null: IMAP_MAILBOX_BADNAME
  } cases[] = {
      {"=+Ann/=+Sent +Items", "Ann/Sent Items"},
      {"=+Ann/=+Sent", "Ann/Sent"},
      {"=a%db%ac%cd%be%tf%pg", "a.b+c:d\\e~f%g"},
      {"=+a", "A"},
      {"=+1", "+1"},
      {"=x+", "x+"},
      {"=", ""},
      {"=/=", "/"},
      {max_in, max_in.c_str() + 1},
      {max_in + "a", nullptr},
      {"x", nullptr},
      {"", nullptr},
      {"=a/b", nullptr},
      {"=a/", nullptr},
      {"=%x", nullptr},  // never written by the encoder
      {"=%A", nullptr},
      {"=%", nullptr},  // cut-off escape
      {"=a%", nullptr},
  };
  for (const auto& c : cases) {
    Buf out(MBOXNAME_MAX);
    int rc = mboxname_frompath(c.path.c_str(), out.data());
    if (c.want) {
      EXPECT_EQ(rc, 0) << c.path.substr(0, 40);
      EXPECT_EQ(out.str(), c.want);
    } else {
      EXPECT_EQ(rc, IMAP_MAILBOX_BADNAME) << c.path.substr(0, 40);
    }
  }
}

TEST_F(MboxnameTest, FromPathReadsWhatGetPathWrites) {
  const char* names[] = {"Sent Items", "A.b/C+d/e:f\\g~h%i", "R&AOk-sum&AOk-", "x/y/z"};
  for (const char* name : names) {
    Buf path(MBOXNAME_PATH_BUF);
    ASSERT_EQ(mboxname_getpath(name, "/p", path.data()), 0);
    Buf back(MBOXNAME_MAX);
    ASSERT_EQ(mboxname_frompath(path.str().c_str() + 3, back.data()), 0) << path.str();
    EXPECT_EQ(back.str(), name);
  }
}

TEST_F(MboxnameTest, Owner) {
  const std::string id127(127, 'j');
  struct {
    std::string name;
    const char* want;  // null: no owner
  } cases[] = {
      {"user/joe", "joe"},
      {"user/joe/Sent/x", "joe"},
      {"user/", ""},
      {"public/x", nullptr},
      {"user", nullptr},
      {"users/joe", nullptr},
      {"user/" + id127 + "/x", id127.c_str()},
      {"user/" + id127 + "j", nullptr},  // would be cut into someone else's id
  };
  for (const auto& c : cases) {
    char buf[MBOXNAME_OWNER_BUF];
    const char* got = mboxname_owner(c.name.c_str(), buf);
    if (c.want) {
      EXPECT_STREQ(got, c.want) << c.name;
    } else {
      EXPECT_EQ(got, nullptr) << c.name;
    }
  }
}

TEST_F(MboxnameTest, Ownership) {
  struct {
    const char* userid;
    const char* name;
    int want;
  } cases[] = {
      {"joe", "user/joe", 1}, {"joe", "user/joe/Sent", 1}, {"joe", "user/joey", 0},
      {"joe", "user/jo", 0},  {"joe", "public/joe", 0},    {"a/b", "user/a/b", 0},
      {"", "user/", 0},       {"", "user//x", 0},          {"joe", "user/joe/", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(mboxname_userownsmailbox(c.userid, c.name), c.want) << c.name;

  char buf[MBOXNAME_MAX];
  EXPECT_STREQ(mboxname_toownedmailbox("Sent", "joe", buf), "user/joe/Sent");
  EXPECT_STREQ(mboxname_toownedmailbox("", "joe", buf), "user/joe");
  EXPECT_STREQ(mboxname_toownedmailbox(nullptr, "joe", buf), "user/joe");
  EXPECT_EQ(std::string(mboxname_toownedmailbox(std::string(400, 'x').c_str(), "joe", buf)).size(), 255u);
}

TEST_F(MboxnameTest, PolicyCheck) {
  struct {
    std::string name;
    bool ok;
  } cases[] = {
      {"user/ann", true},
      {"user/ann/Sent", true},
      {"public/Lists", true},
      {"user/ann/R&AOk-sum&AOk-", true},
      {"user/ann/a&-b", true},
      {"user/ann/&AOk-&-&AOk-", true},  // a literal '&' separates the runs
      {"user/ann/&AOkA6Q-", true},
      {"user/ann/&AOkA6QDp-", true},
      {"user/ann/&U,BTFw-", true},
      {"user/ann/a b", true},
      {"user/ann/" + std::string(247, 'x'), true},  // 256 bytes
      {"user/ann/" + std::string(248, 'x'), false},
      {"user/ann/INBOX", false},
      {"user/ann/inbox/x", false},
      {"user/ann/Inboxes", true},
      {"other/x", false},
      {"public", false},
      {"user", false},
      {"", false},
      {"user/ann/", false},
      {"user//x", false},
      {"/user/ann", false},
      {"user/ann/a\tb", false},
      {"user/ann/a\nb", false},
      {"user/ann/a*b", false},
      {"user/ann/50%", false},
      {"user/ann/why?", false},
      {"user/ann/a\x7f", false},
      {"user/ann/caf\xc3\xa9", false},
      {"user/ann/\x01", false},
      {"user/ann/&AGE-", false},       // encodes the ASCII letter a
      {"user/ann/&AOk-&AOk-", false},  // abutting runs
      {"user/ann/&AOk", false},        // run cut off
      {"user/ann/&", false},
      {"user/ann/&AO-", false},  // ends inside a character
      {"user/ann/&AOkA-", false},
      {"user/ann/&AOl-", false},     // leftover bits set
      {"user/ann/&2D3eAA-", false},  // surrogates
      {"user/ann/&AO!-", false},
      // Dots are escaped in paths, so dot components are plain names.
      {"user/../x", true},
      {"user/..", true},
      {"user/./x", true},
      {"user/ann/..", true},
      {"public/./x", true},
      // An owner id fits in 127 bytes; a longer one would make a folder
      // without an owner, that is a shared one with no INBOX.
      {"user/" + std::string(127, 'a'), true},
      {"user/" + std::string(127, 'a') + "/Sub", true},
      {"user/" + std::string(128, 'a'), false},
      {"user/" + std::string(150, 'a') + "/Sub", false},
      {"public/...", true},
      {"user/ann/a\\..\\b", true},  // a backslash is no separator
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mboxname_policycheck(c.name.c_str()), c.ok ? 0 : IMAP_MAILBOX_BADNAME) << c.name.substr(0, 60);
  }
  EXPECT_EQ(mboxname_policycheck(nullptr), IMAP_MAILBOX_BADNAME);
  // The other hostile names are refused (the dotted ones are kept inside
  // the partition by the path escapes instead: see above).
  const std::set<std::string> accepted = {"user/../x", "user/..", "user/ann/../../../etc", "user/ann/..",
                                          "public/../../x", "public/.", "user/ann/a\\..\\b"};
  for (const auto& name : hostile_names()) {
    if (accepted.count(name)) continue;
    EXPECT_EQ(mboxname_policycheck(name.c_str()), IMAP_MAILBOX_BADNAME) << name.substr(0, 60);
  }
}

}  // namespace
