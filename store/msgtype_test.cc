#include "store/msgtype.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/config.h"
#include "common/imap_err.h"
#include "common/test_util.h"
#include "common/unique_fd.h"
#include "store/message.h"

namespace {

class Msgtype : public ::testing::Test {
 protected:
  void TearDown() override { msgtype_shutdown(); }

  // Parses m into a scratch cache file and returns the record's flags.
  uint32_t flags_for(const std::string& m) {
    UniqueFd fd(open((dir_ / "store.idx").c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    EXPECT_TRUE(fd);
    index_record r;
    EXPECT_EQ(message_parse_mapped(m.data(), m.size(), "user/joe", fd.get(), 0, nullptr, &r), 0);
    return r.system_flags;
  }

  TempDir dir_;
};

TEST_F(Msgtype, PluginFlagsMessagesAndNamesItsFlags) {
  ASSERT_EQ(msgtype_load(MSGTYPE_TEST_PLUGIN "$args"), 0);
  ASSERT_TRUE(msgtype_active());
  EXPECT_STREQ(msgtype_flag_name(0), "$Spam");
  EXPECT_EQ(msgtype_flag_name(1), nullptr);
  EXPECT_STREQ(msgtype_flag_name(2), "$Test");
  EXPECT_EQ(msgtype_flag_name(8), nullptr);
  EXPECT_EQ(msgtype_flag_name(-1), nullptr);
  // Bit 26 for every message, bit 24 for spam; the plug-in's low bits are
  // dropped, the parser's own bit 4 stays.
  EXPECT_EQ(flags_for("Subject: x\r\n\r\nhi\r\n"), 0x04000000u | INDEX_FLAG_CRLF_NODOT);
  EXPECT_EQ(flags_for("X-Test-Spam: yes\r\n\r\nhi"), 0x05000000u);

  msgtype_shutdown();
  EXPECT_FALSE(msgtype_active());
  EXPECT_EQ(msgtype_flag_name(0), nullptr);
  EXPECT_EQ(flags_for("X-Test-Spam: yes\r\n\r\nhi"), 0u);
  msgtype_shutdown();  // harmless twice
}

TEST_F(Msgtype, BrokenPluginsAreLeftOut) {
  struct {
    std::string setting;
    int want;
  } cases[] = {
      {"", 0},
      {"/nonexistent/msgtype.so", 0},
      {MSGTYPE_TEST_PLUGIN "$fail", 0},                 // initialisation refused
      {MSGTYPE_TEST_PLUGIN_NOEXAMINE, 0},               // missing entry point
      {MSGTYPE_TEST_PLUGIN "$bad", IMAP_CONFIG_ERROR},  // illegal flag name
  };
  for (const auto& c : cases) {
    EXPECT_EQ(msgtype_load(c.setting.c_str()), c.want) << c.setting;
    EXPECT_FALSE(msgtype_active()) << c.setting;
    EXPECT_EQ(msgtype_flag_name(0), nullptr) << c.setting;
  }
  EXPECT_EQ(msgtype_load(nullptr), 0);
}

TEST_F(Msgtype, LoadedFromTheConfiguration) {
  std::string text = std::string(MSGTYPE_CONFIG_KEY) + " = " MSGTYPE_TEST_PLUGIN "$x\n";
  ASSERT_EQ(configmsg_init_text(text, "test", "msgtype_test"), 0);
  EXPECT_EQ(msgtype_init(config_getdefaultcache()), 0);
  EXPECT_TRUE(msgtype_active());
  ASSERT_EQ(configmsg_init_text("", "test", "msgtype_test"), 0);
  EXPECT_EQ(msgtype_init(config_getdefaultcache()), 0);
  EXPECT_FALSE(msgtype_active());
  configmsg_free();
}

}  // namespace
