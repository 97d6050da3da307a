// The message table: numbers parsed without wrapping, marks and totals,
// unique ids, the expunge decision.
#include "pop/maildrop.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(ParseDecimal, TableOfArguments) {
  EXPECT_EQ(parse_decimal("1"), 1u);
  EXPECT_EQ(parse_decimal("01"), 1u);
  EXPECT_EQ(parse_decimal("4294967297"), 4294967297u);  // never wraps to 1
  EXPECT_EQ(parse_decimal("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_decimal("18446744073709551616"), UINT64_MAX);
  EXPECT_EQ(parse_decimal("99999999999999999999999"), UINT64_MAX);
  for (const char* bad : {"", "-1", "+1", "1x", "x", " 1", "1 ", "0x10", "１"})
    EXPECT_EQ(parse_decimal(bad), std::nullopt) << bad;
}

TEST(SplitArguments, Blanks) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_arguments(""), V{});
  EXPECT_EQ(split_arguments("1"), V{"1"});
  EXPECT_EQ(split_arguments("1  2\t3"), (V{"1", "2", "3"}));
}

Maildrop table(std::vector<uint32_t> sizes) {
  Maildrop d;
  uint32_t uid = 10;
  for (uint32_t s : sizes) {
    MaildropMessage m;
    m.uid = uid;
    uid += 3;
    m.size = s;
    d.messages.push_back(m);
    d.octets += s;
  }
  return d;
}

TEST(Maildrop, MarksTotalsAndReset) {
  // Totals past 4 GiB stay exact.
  Maildrop d = table({4000000000u, 4000000000u, 5});
  EXPECT_EQ(d.live_octets(), 8000000005ull);
  EXPECT_EQ(d.find(0), nullptr);
  EXPECT_EQ(d.find(4), nullptr);
  EXPECT_EQ(d.find(4294967297ull), nullptr);
  ASSERT_NE(d.find(2), nullptr);
  d.mark_deleted(2);
  d.mark_deleted(2);  // twice changes nothing
  EXPECT_EQ(d.find(2), nullptr);
  EXPECT_EQ(d.live_count(), 2u);
  EXPECT_EQ(d.live_octets(), 4000000005ull);
  EXPECT_EQ(d.highest, 2u);
  EXPECT_EQ(d.deleted_uids(), std::vector<uint32_t>{13});
  d.mark_deleted(1);
  EXPECT_EQ(d.highest, 2u);
  d.reset();
  EXPECT_EQ(d.live_count(), 3u);
  EXPECT_EQ(d.live_octets(), 8000000005ull);
  EXPECT_EQ(d.highest, 0u);
  EXPECT_NE(d.find(2), nullptr);
  EXPECT_TRUE(d.deleted_uids().empty());
}

TEST(Maildrop, StatusOptionSizesAndLines) {
  Maildrop d = table({100, 4000000000u, 7});
  EXPECT_EQ(d.status_line(1), "");  // option off: nothing added, sizes as stored
  EXPECT_EQ(d.reported_size(d.messages[0]), 100u);
  d.status_octets = kStatusLineOctets;
  EXPECT_EQ(d.reported_size(d.messages[1]), 4000000011ull);
  EXPECT_EQ(d.reported_live_octets(), 4000000107ull + 33);
  d.mark_deleted(3);
  EXPECT_EQ(d.reported_live_octets(), 4000000100ull + 22);
  EXPECT_EQ(d.highest, 3u);
  d.highest = 2;
  EXPECT_EQ(d.status_line(1), "Status: R\r\n");
  EXPECT_EQ(d.status_line(2), "Status: R\r\n");
  EXPECT_EQ(d.status_line(3), "Status: U\r\n");
  EXPECT_EQ(d.status_line(2).size(), kStatusLineOctets);
  d.reset();
  EXPECT_EQ(d.status_line(1), "Status: U\r\n");
}

TEST(Maildrop, LastPositionUnderTheSameUidValidity) {
  Maildrop d = table({1, 1, 1, 1});  // uids 10, 13, 16, 19
  auto pos = [&](uint32_t validity, uint32_t uid) { return maildrop_last_position(d.messages, 50, validity, uid); };
  EXPECT_EQ(pos(50, 9), 0u);
  EXPECT_EQ(pos(50, 10), 1u);
  EXPECT_EQ(pos(50, 15), 2u);  // its message was removed since: the one before it
  EXPECT_EQ(pos(50, 16), 3u);
  EXPECT_EQ(pos(50, 19), 4u);
  EXPECT_EQ(pos(50, UINT32_MAX), 4u);
  EXPECT_EQ(pos(51, 16), 0u);  // another INBOX of the same name: its uids mean nothing here
  EXPECT_EQ(pos(0, 16), 0u);   // never stored
  EXPECT_EQ(maildrop_last_position({}, 50, 50, 16), 0u);
}

TEST(Maildrop, ExpungeDecisionByUid) {
  std::vector<uint32_t> uids = {3, 7, 1000};
  auto decide = [&](uint32_t uid) {
    index_record r;
    r.uid = uid;
    return maildrop_expunge_marked(&uids, &r);
  };
  EXPECT_EQ(decide(1), 0);
  EXPECT_EQ(decide(3), 1);
  EXPECT_EQ(decide(4), 0);
  EXPECT_EQ(decide(7), 1);
  EXPECT_EQ(decide(1000), 1);
  EXPECT_EQ(decide(1001), -1);  // later records (delivered since login) are kept unasked
  std::vector<uint32_t> none;
  index_record r;
  r.uid = 1;
  EXPECT_EQ(maildrop_expunge_marked(&none, &r), -1);
}

MaildropMessage msg(uint32_t uid, uint32_t ouid, uint32_t ovalid) {
  MaildropMessage m;
  m.uid = uid;
  m.id_uid = ouid;
  m.id_validity = ovalid;
  return m;
}

TEST(Maildrop, UniqueIds) {
  const uint32_t V = 777;
  std::vector<MaildropMessage> t = {
      msg(1, 5, 100),  // origin kept
      msg(2, 0, 0),    // no origin: the folder's own
      msg(3, 5, 100),  // copy of message 1: a later duplicate
      msg(4, 9, 0),    // half an origin is none
      msg(5, 5, 100),  // another copy
      msg(6, 3, V),    // an origin naming uid 3 of this folder: keeps it
  };
  EXPECT_EQ(maildrop_assign_ids(&t, V), 2u);
  auto id = [&](size_t i) { return std::to_string(t[i].id_uid) + "-" + std::to_string(t[i].id_validity); };
  EXPECT_EQ(id(0), "5-100");
  EXPECT_EQ(id(1), "2-777");
  EXPECT_EQ(id(3), "4-777");
  EXPECT_EQ(id(4), "5-777");
  EXPECT_EQ(id(5), "3-777");
  // Message 3's own id is taken by message 6's origin: still distinct.
  std::set<std::string> all;
  for (size_t i = 0; i < t.size(); ++i) all.insert(id(i));
  EXPECT_EQ(all.size(), t.size());
}

TEST(ResponseSafe, NoLineBreaksOrControls) {
  EXPECT_EQ(response_safe("a\r\n.\r\nb\x1b", 100), "a  .  b ");
  EXPECT_EQ(response_safe("abcdef", 3), "abc");
}

}  // namespace
