// Damaged index files.  Whatever the bytes of store.idx, opening the folder,
// reading its records and cache items, appending, expunging and the check
// tool end in an error or a sound result: no crash, no read outside the
// file, no append that the next open cannot read back.  Runs under the
// sanitizers with the databases replaced (mailbox_testutil.h).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <random>
#include <string>

#include "common/config.h"
#include "common/test_util.h"
#include "store/byteorder.h"
#include "store/mailbox.h"
#include "store/mailbox_check.h"
#include "store/mailbox_testutil.h"

namespace {

using namespace mailbox_testutil;

int expunge_odd(void*, const index_record* r) { return r->uid % 2; }

class MailboxDamage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(start_bare_folder(dir_.path(), "damagetest", &path_, "local.log.level = 0\n")); }
  void TearDown() override { configmsg_free(); }
  int open(mailbox* m) { return open_bare_folder(path_, m); }
  std::string index() const { return path_ + "/store.idx"; }
  TempDir dir_;
  std::string path_;
};

// Changes a copy of the file in one of the ways disks and bugs do: a few
// bytes flipped, the tail cut off, or a 32-bit field set to an extreme.
std::string damage(const std::string& good, std::mt19937& rng) {
  std::string b = good;
  auto at = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  switch (at(3)) {
    case 0:
      for (size_t i = 0, n = 1 + at(8); i < n; ++i) b[at(b.size())] ^= static_cast<char>(1 + at(255));
      break;
    case 1:
      b.resize(at(b.size()));
      break;
    default: {
      // The header and the records hold the offsets and counts.
      size_t off = at(std::min<size_t>(b.size(), INDEX_NEW_START + 40 * INDEX_RECORD_SIZE) / 4) * 4;
      const uint32_t extremes[] = {
          0, 1, 0x7fffffff, 0xffffffff, static_cast<uint32_t>(good.size()), static_cast<uint32_t>(good.size() + 4)};
      uint32_t v = extremes[at(std::size(extremes))];
      if (off + 4 <= b.size()) std::memcpy(&b[off], &v, 4);
      break;
    }
  }
  return b;
}

TEST_F(MailboxDamage, ADamagedIndexGivesAnErrorOrASoundFolder) {
  {
    mailbox m;
    ASSERT_EQ(open(&m), 0);
    for (uint32_t uid = 1; uid <= 30; ++uid) ASSERT_EQ(append_message(&m, uid, message_text(uid, uid % 7)), 0);
    ASSERT_EQ(mailbox_lock_index(&m), 0);
    free(m.acl);
    m.acl = strdup("ann\tlrswipcda\tbob\tlr\t");
    ASSERT_EQ(mailbox_write_index_variable_header(&m), 0);
    mailbox_unlock_index(&m);
    mailbox_close(&m);
  }
  const std::string good = read_text_file(index());
  std::mt19937 rng(20261206);
  int opened = 0;
  for (int round = 0; round < 1500; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    write_text_file(index(), damage(good, rng));
    mailbox m;
    if (open(&m) == 0) {
      opened++;
      const auto* base = reinterpret_cast<const unsigned char*>(m.index_map->base);
      for (unsigned n = 1; n <= m.mbd.exists; ++n) {
        index_record rec;
        if (mailbox_read_index_record(&m, n, &rec) != 0) break;
        for (int item = 0; item < static_cast<int>(CACHE_ITEM_COUNT); ++item) {
          const unsigned char* p = mailbox_cache_item(m.index_map, m.name, n, item);
          if (!p) break;
          uint32_t len = get_be32(p);
          ASSERT_LE(static_cast<size_t>(p - base) + 4 + len, m.index_map->length) << "item outside the map";
        }
      }
      // Whatever is accepted can be written to: what an append or an
      // expunge leaves is read back, or the change is refused.
      if (round % 2 == 0 && m.mbd.last_uid < 0xfffffff0) {
        (void)append_message(&m, m.mbd.last_uid + 1, message_text(0, 2));
      } else {
        (void)mailbox_expunge(&m, EXPUNGE_NONOTIFY, 0, expunge_odd, nullptr);
      }
      mailbox_close(&m);
      mailbox again;
      if (open(&again) == 0) {
        for (unsigned n = 1; n <= again.mbd.exists; ++n) {
          index_record rec;
          ASSERT_EQ(mailbox_read_index_record(&again, n, &rec), 0) << "record " << n << " of " << again.mbd.exists;
        }
        mailbox_close(&again);
      }
    }
    mailbox_check_report report;
    (void)mailbox_check(path_.c_str(), nullptr, &report);
  }
  // Enough of the damage is survivable for the write paths to be exercised.
  EXPECT_GT(opened, 150) << opened;
}

}  // namespace
