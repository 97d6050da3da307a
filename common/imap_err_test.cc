#include "common/imap_err.h"

#include <prerror.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

TEST(ImapErr, CodesSitAtTheTableBase) {
  EXPECT_EQ(IMAP_IOERROR, -1904809472);
  EXPECT_EQ(static_cast<unsigned>(IMAP_IOERROR), 0x8E76EA00u);
  EXPECT_EQ(IMAP_PREFIX_PUBLIC, -1904809472 + 43);
  EXPECT_EQ(IMAP_MAILBOX_NONEXISTENT, -1904809472 + 9);
  EXPECT_EQ(IMAP_NO_CLOSEQUOTA, -1904809472 + 32);
  // Codes of our own follow the shared ones.
  EXPECT_EQ(IMAP_MAILBOX_FULL, -1904809472 + 44);
}

TEST(ImapErr, TextsRoundTripThroughNspr) {
  ASSERT_EQ(imap_InitializePRErrorTable(), 0);
  ASSERT_EQ(imap_InitializePRErrorTable(), 0);  // a second call is harmless
  EXPECT_STREQ(PR_ErrorToString(IMAP_IOERROR, 0),
               "System I/O error.  Administrator, check server log for details.");
  EXPECT_STREQ(PR_ErrorToString(IMAP_MAILBOX_NONEXISTENT, 0), "Mailbox does not exist");
  EXPECT_STREQ(PR_ErrorToString(IMAP_PREFIX_PUBLIC, 0), "Shared Folders/Public");
  EXPECT_STREQ(PR_ErrorToString(IMAP_NO_CLOSEQUOTA, 0), "Mailbox is at %d%% of quota");
  // Two codes, one text.
  EXPECT_NE(IMAP_QUOTA_EXCEEDED, IMAP_QUOTA_EXCEEDED_PERSISTENT);
  EXPECT_STREQ(PR_ErrorToString(IMAP_QUOTA_EXCEEDED, 0), PR_ErrorToString(IMAP_QUOTA_EXCEEDED_PERSISTENT, 0));
  EXPECT_STREQ(error_message(IMAP_QUOTA_EXCEEDED), "Over quota");
  EXPECT_STREQ(error_message(IMAP_MAILBOX_FULL), "Mailbox is full: its message UIDs are used up");
}

TEST(ImapErr, ErrnoValuesGetSystemTexts) {
  EXPECT_STREQ(error_message(ENOENT), strerror(ENOENT));
  EXPECT_STREQ(error_message(ENOSPC), strerror(ENOSPC));
  // A code in no table still yields some text.
  EXPECT_NE(error_message(IMAP_ERR_BASE + IMAP_ERR_COUNT), nullptr);
}

TEST(ImapErr, TemporaryAndExitStatus) {
  EXPECT_TRUE(error_is_temporary(IMAP_MAILBOX_LOCKED));
  EXPECT_TRUE(error_is_temporary(ENOSPC));
  EXPECT_FALSE(error_is_temporary(IMAP_MAILBOX_BADNAME));
  EXPECT_EQ(error_exit_status(0), 0);
  EXPECT_EQ(error_exit_status(IMAP_MAILBOX_LOCKED), 75);
  EXPECT_EQ(error_exit_status(IMAP_MAILBOX_NONEXISTENT), 79);
  EXPECT_EQ(error_exit_status(IMAP_PERMISSION_DENIED), 77);
  EXPECT_EQ(error_exit_status(IMAP_CONFIG_ERROR), 78);
  EXPECT_EQ(error_exit_status(IMAP_MAILBOX_BADFORMAT), 65);
  EXPECT_FALSE(error_is_temporary(IMAP_MAILBOX_FULL));
  EXPECT_EQ(error_exit_status(IMAP_MAILBOX_FULL), 73);
}
