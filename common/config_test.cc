#include "common/config.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/bvlog.h"
#include "common/imap_err.h"
#include "common/test_util.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override {
    configmsg_free();
    unsetenv(ORV_CONFIG_ENV);
  }
  int load(const std::string& text) {
    write_text_file(dir_ / "corvane.conf", text);
    setenv(ORV_CONFIG_ENV, (dir_ / "corvane.conf").c_str(), 1);
    return configmsg_init(0, 0, "/usr/sbin/orvtest");
  }
  TempDir dir_;
};

TEST_F(ConfigTest, ReadsKeysCommentsAndBlanks) {
  ASSERT_EQ(load("# a comment\n"
                 "   \n"
                 "local.store.dir = /srv/store\n"
                 "  spaced.key   =   value with  inner  blanks   \n"
                 "empty.key =\n"
                 "eq.in.value = a=b#c\n"
                 "crlf.key = x\r\n"),
            0);
  config_cache* h = config_getdefaultcache();
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(configmsg_get_storedir(), "/srv/store");
  EXPECT_STREQ(config_get_string(h, "spaced.key", nullptr), "value with  inner  blanks");
  EXPECT_STREQ(config_get_string(h, "empty.key", "d"), "");
  EXPECT_STREQ(config_get_string(h, "eq.in.value", nullptr), "a=b#c");
  EXPECT_STREQ(config_get_string(h, "crlf.key", nullptr), "x");
  EXPECT_STREQ(config_get_string(h, "unknown.key", "fallback"), "fallback");
  EXPECT_EQ(config_get_string(h, "unknown.key", nullptr), nullptr);
  EXPECT_STREQ(config_processname(), "orvtest");
}

TEST_F(ConfigTest, DuplicateKeysKeepTheLastValue) {
  ASSERT_EQ(load("a.b = 1\na.b = 2\n"), 0);
  EXPECT_EQ(config_get_int(config_getdefaultcache(), "a.b", 0), 2);
}

TEST_F(ConfigTest, TypedGettersFallBackOnBadValues) {
  ASSERT_EQ(load("n = 42\nneg = -7\nbad = 12x\nhuge = 99999999999\non = Yes\noff = off\nodd = maybe\n"), 0);
  bvlog_to_stderr(LOG_SEV_EMERG);  // the warnings about bad values are expected
  config_cache* h = config_getdefaultcache();
  EXPECT_EQ(config_get_int(h, "n", 0), 42);
  EXPECT_EQ(config_get_int(h, "neg", 0), -7);
  EXPECT_EQ(config_get_int(h, "bad", 5), 5);
  EXPECT_EQ(config_get_int(h, "huge", 5), 5);
  EXPECT_EQ(config_get_int(h, "missing", -1), -1);
  EXPECT_EQ(config_get_switch(h, "on", 0), 1);
  EXPECT_EQ(config_get_switch(h, "off", 1), 0);
  EXPECT_EQ(config_get_switch(h, "odd", 1), 1);
  char* copy = config_get_stringcopy(h, "missing", nullptr);
  EXPECT_EQ(copy, nullptr);
  copy = config_get_stringcopy(h, "missing", "dflt");
  EXPECT_STREQ(copy, "dflt");
  free(copy);
  bvlog_to_stderr(LOG_SEV_DEBUG);
}

TEST_F(ConfigTest, PartitionsInFileOrder) {
  ASSERT_EQ(load("store.partition.primary.path = /p1/\n"
                 "store.partition.second.path = /p2\n"
                 "store.partition.second.messagepath = /m2\n"),
            0);
  std::string names;
  configmsg_scanpartition(
      [](const char* name, void* arg) {
        *static_cast<std::string*>(arg) += std::string(name) + ",";
        return 0;
      },
      &names);
  EXPECT_EQ(names, "primary,second,");
  char* d = configmsg_partitiondir("primary");
  EXPECT_STREQ(d, "/p1");  // trailing slash dropped
  free(d);
  d = configmsg_partitionmsgdir("primary");
  EXPECT_STREQ(d, "/p1");  // message root defaults to the index root
  free(d);
  d = configmsg_partitionmsgdir("second");
  EXPECT_STREQ(d, "/m2");
  free(d);
  EXPECT_EQ(configmsg_partitiondir("nope"), nullptr);
  // A non-zero callback result stops the scan and is returned.
  int calls = 0;
  EXPECT_EQ(configmsg_scanpartition(
                [](const char*, void* arg) {
                  ++*static_cast<int*>(arg);
                  return 7;
                },
                &calls),
            7);
  EXPECT_EQ(calls, 1);
}

TEST_F(ConfigTest, MalformedFilesNameFileAndLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"good = 1\nno equals sign here\n", ":2: expected \"key = value\""},
      {"bad key = 1\n", ":1: invalid key"},
      {" = value\n", ":1: invalid key"},
      {"store.partition.x.path = relative\n", ":1: partition directory must be an absolute path"},
      {"store.partition.x = /p\n", ":1: partition keys end in"},
      {"store.partition.x.messagepath = /m\n", "has a message path but no"},
      // Binary junk, also where it happens to look like a comment or a value.
      {"a = 1\n\x01\x7f\xff\xfe\x02\n", ":2: binary data"},
      {"a = 1\n#\x01\x02\x03junk\n", ":2: binary data"},
      {"a = 1\nb = 2\nk = v\x1b[0m\n", ":3: binary data"},
      {"a = x\ry\n", ":1: binary data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    testing::internal::CaptureStderr();
    int r = load(c.text);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, IMAP_CONFIG_ERROR);
    EXPECT_NE(err.find("corvane.conf"), std::string::npos) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
}

TEST_F(ConfigTest, NulInsideTheFileIsRefusedWithItsLine) {
  write_text_file(dir_ / "corvane.conf", std::string("a = 1\nb\0 = 2\n", 13));
  setenv(ORV_CONFIG_ENV, (dir_ / "corvane.conf").c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(configmsg_init(0, 0, "t"), IMAP_CONFIG_ERROR);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("corvane.conf:2: binary data (byte 0x00 at column 2)"),
            std::string::npos);
}

TEST_F(ConfigTest, ADirectoryIsNotAConfiguration) {
  setenv(ORV_CONFIG_ENV, dir_.path().c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(configmsg_init(0, 0, "t"), EISDIR);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(dir_.path() + ": cannot read configuration: it is a directory"), std::string::npos) << err;
  EXPECT_EQ(config_getdefaultcache(), nullptr);
}

// configmsg_check is the one judge of whether a store can run: the daemon
// and "orvadm config" both ask it.
TEST_F(ConfigTest, CheckNamesWhatAStoreCannotRunWith) {
  const std::string base = "local.store.dir = /srv/store\nstore.partition.p.path = /srv/p\n";
  struct Case {
    std::string text;
    const char* message;  // null: accepted
  } cases[] = {
      {base, nullptr},
      {base + "local.serveruser = root\nlocal.log.target = syslog\nlocal.log.level = 0\n", nullptr},
      {"store.partition.p.path = /srv/p\n", "The configuration sets no store directory (local.store.dir)"},
      {"local.store.dir = store\nstore.partition.p.path = /srv/p\n",
       "The store directory must be an absolute path (local.store.dir = store)"},
      {"local.store.dir = /srv/store\n", "The configuration names no partition (store.partition.NAME.path)"},
      {base + "local.serveruser = no-such-user-here\n",
       "The server user no-such-user-here does not exist (local.serveruser)"},
      {base + "local.log.target = console\n", "local.log.target must be file, syslog or stderr, not \"console\""},
      {base + "local.log.level = 8\n", "local.log.level must be 0 to 7, not \"8\""},
      {base + "local.log.level = high\n", "local.log.level must be 0 to 7, not \"high\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(load(c.text), 0);
    char* buf = nullptr;
    size_t len = 0;
    FILE* err = open_memstream(&buf, &len);
    ASSERT_NE(err, nullptr);
    int r = configmsg_check(err);
    fclose(err);
    std::string text(buf, len);
    free(buf);
    if (c.message) {
      EXPECT_EQ(r, IMAP_CONFIG_ERROR);
      EXPECT_EQ(text, std::string(c.message) + "\n");
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(text, "");
    }
  }
}

TEST_F(ConfigTest, MissingFileAndVeryLongLines) {
  setenv(ORV_CONFIG_ENV, (dir_ / "absent.conf").c_str(), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(configmsg_init(0, 0, "t"), ENOENT);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("absent.conf"), std::string::npos);
  EXPECT_EQ(config_getdefaultcache(), nullptr);
  EXPECT_STREQ(config_get_string(config_getdefaultcache(), "x", "d"), "d");

  std::string longval(200000, 'v');
  ASSERT_EQ(load("long.key = " + longval + "\nafter = 1\n"), 0);
  EXPECT_EQ(std::string(config_get_string(config_getdefaultcache(), "long.key", "")), longval);
  EXPECT_EQ(config_get_int(config_getdefaultcache(), "after", 0), 1);
}

TEST_F(ConfigTest, RefreshKeepsOldSettingsOnFailure) {
  ASSERT_EQ(load("k = 1\n"), 0);
  const char* borrowed = config_get_string(config_getdefaultcache(), "k", nullptr);
  write_text_file(dir_ / "corvane.conf", "k = 2\n");
  ASSERT_EQ(configmsg_refresh(), 0);
  EXPECT_EQ(config_get_int(config_getdefaultcache(), "k", 0), 2);
  EXPECT_STREQ(borrowed, "1");  // strings handed out earlier stay valid
  write_text_file(dir_ / "corvane.conf", "broken line\n");
  testing::internal::CaptureStderr();
  EXPECT_NE(configmsg_refresh(), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(config_get_int(config_getdefaultcache(), "k", 0), 2);
}

TEST_F(ConfigTest, StoredFiles) {
  ASSERT_EQ(load("local.store.dir = " + dir_.path() + "/store\n"), 0);
  long v = 0;
  EXPECT_EQ(configmsg_readstoredfile("eve", &v), ENOENT);
  ASSERT_EQ(configmsg_writestoredfile("eve", 1733500000L), 0);
  ASSERT_EQ(configmsg_readstoredfile("eve", &v), 0);
  EXPECT_EQ(v, 1733500000L);
  ASSERT_EQ(configmsg_writestoredfile("eve", -3), 0);
  ASSERT_EQ(configmsg_readstoredfile("eve", &v), 0);
  EXPECT_EQ(v, -3);
  EXPECT_EQ(configmsg_writestoredfile("../escape", 1), EINVAL);
  write_text_file(dir_.path() + "/store/stored/eve", "garbage");
  bvlog_to_stderr(LOG_SEV_EMERG);
  EXPECT_EQ(configmsg_readstoredfile("eve", &v), IMAP_CONFIG_ERROR);
  bvlog_to_stderr(LOG_SEV_DEBUG);
}

TEST_F(ConfigTest, SetuidIsANoOpWithoutOrAsTheServerUser) {
  ASSERT_EQ(load("x = 1\n"), 0);
  EXPECT_EQ(configmsg_setuid(), 0);
  struct passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  ASSERT_EQ(load(std::string("local.serveruser = ") + pw->pw_name + "\n"), 0);
  EXPECT_EQ(configmsg_setuid(), 0);
  EXPECT_EQ(geteuid(), pw->pw_uid);
}

}  // namespace

namespace {

class ConfigLang : public ::testing::Test {
 protected:
  void TearDown() override { configmsg_free(); }
  std::string get(const char* langs, std::string* found) {
    char* v = configmsg_getstringcopywlang("gen.newuserforms", 0, langs, found);
    std::string out = v ? v : "(none)";
    free(v);
    return out;
  }
};

TEST_F(ConfigLang, LocalizedKeysAreChosenByLanguageList) {
  ASSERT_EQ(configmsg_init_text("gen.newuserforms = Welcome\n"
                                "gen.newuserforms;lang-fr = Bienvenue\n"
                                "gen.newuserforms;LANG-DE = Willkommen\n"
                                "gen.newuserforms;lang-pt-br = Bem-vindo\n",
                                "test", "langtest"),
            0);
  const struct {
    const char* langs;
    const char* text;
    const char* found;
  } cases[] = {
      {"fr", "Bienvenue", "fr"},
      {"DE", "Willkommen", "de"},         // tags compare without case
      {"it,de", "Willkommen", "de"},      // the first language that has a text
      {"fr-CA", "Bienvenue", "fr"},       // a region falls back to its language
      {"pt-br", "Bem-vindo", "pt-br"},
      {"fr;binary", "Welcome", "en"},     // not a tag: ignored
      {" de ,fr", "Willkommen", "de"},
      {"", "Welcome", "en"},
      {nullptr, "Welcome", "en"},
      {"it", "Welcome", "en"},
  };
  for (const auto& c : cases) {
    std::string found = "?";
    EXPECT_EQ(get(c.langs, &found), c.text) << (c.langs ? c.langs : "(null)");
    EXPECT_EQ(found, c.found) << (c.langs ? c.langs : "(null)");
  }
}

TEST_F(ConfigLang, PlainTextTakesTheSiteLanguageAndMalformedOptionsAreRefused) {
  ASSERT_EQ(configmsg_init_text("gen.sitelanguage = FR\ngen.newuserforms = Bonjour\n", "test", "langtest"), 0);
  std::string found;
  EXPECT_EQ(get("de", &found), "Bonjour");
  EXPECT_EQ(found, "fr");
  EXPECT_EQ(configmsg_getstringcopywlang("gen.unset", 0, "fr", &found), nullptr);
  for (const char* bad : {"a;b = 1\n", "a;lang- = 1\n", "a;lang-f_r = 1\n", ";lang-fr = 1\n", "a;lang-fr;x = 1\n"}) {
    EXPECT_EQ(configmsg_init_text(bad, "test", "langtest"), IMAP_CONFIG_ERROR) << bad;
  }
}

}  // namespace
