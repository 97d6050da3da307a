#include "store/index_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// A record whose every word differs, written out by hand in little-endian
// order: word i holds 0x0A0B0C00 + i.
std::vector<unsigned char> hand_built(size_t words) {
  std::vector<unsigned char> b;
  for (size_t i = 0; i < words; ++i) {
    b.push_back(static_cast<unsigned char>(i));
    b.push_back(0x0C);
    b.push_back(0x0B);
    b.push_back(0x0A);
  }
  return b;
}

TEST(IndexRecord, DecodesEveryFieldAtItsOffset) {
  auto b = hand_built(19);
  index_record r = index_record_decode(b.data());
  EXPECT_EQ(r.uid, 0x0A0B0C00u);
  EXPECT_EQ(r.internaldate, 0x0A0B0C01u);
  EXPECT_EQ(r.sentdate, 0x0A0B0C02u);
  EXPECT_EQ(r.block_id, 0x0A0B0C03u);
  EXPECT_EQ(r.block_offset, 0x0A0B0C04u);
  EXPECT_EQ(r.unused1, 0x0A0B0C05u);
  EXPECT_EQ(r.unused2, 0x0A0B0C06u);
  EXPECT_EQ(r.size, 0x0A0B0C07u);
  EXPECT_EQ(r.header_size, 0x0A0B0C08u);
  EXPECT_EQ(r.content_offset, 0x0A0B0C09u);
  EXPECT_EQ(r.cache_offset, 0x0A0B0C0Au);
  EXPECT_EQ(r.last_updated, 0x0A0B0C0Bu);
  EXPECT_EQ(r.date_expunged, 0x0A0B0C0Cu);
  EXPECT_EQ(r.system_flags, 0x0A0B0C0Du);
  EXPECT_EQ(r.user_flags[0], 0x0A0B0C0Eu);
  EXPECT_EQ(r.user_flags[1], 0x0A0B0C0Fu);
  EXPECT_EQ(r.user_flags[2], 0x0A0B0C10u);
  EXPECT_EQ(r.orig_uid, 0x0A0B0C11u);
  EXPECT_EQ(r.orig_uidvalidity, 0x0A0B0C12u);
}

TEST(IndexRecord, EncodeWritesTheSameBytes) {
  auto b = hand_built(19);
  ASSERT_EQ(b.size(), INDEX_RECORD_SIZE);
  index_record r = index_record_decode(b.data());
  unsigned char out[INDEX_RECORD_SIZE + 1];
  out[INDEX_RECORD_SIZE] = 0xEE;  // must stay untouched
  index_record_encode(r, out);
  EXPECT_EQ(memcmp(out, b.data(), INDEX_RECORD_SIZE), 0);
  EXPECT_EQ(out[INDEX_RECORD_SIZE], 0xEE);
}

TEST(IndexRecord, SizeAndFlagsAreLittleEndian) {
  index_record r;
  r.size = 0x12345678;
  r.system_flags = INDEX_FLAG_CRLF_NODOT | 0x80000000u;
  unsigned char out[INDEX_RECORD_SIZE];
  index_record_encode(r, out);
  const unsigned char size_bytes[] = {0x78, 0x56, 0x34, 0x12};
  const unsigned char flag_bytes[] = {0x10, 0x00, 0x00, 0x80};
  EXPECT_EQ(memcmp(out + 28, size_bytes, 4), 0);
  EXPECT_EQ(memcmp(out + 52, flag_bytes, 4), 0);
}

TEST(IndexRecord, OlderRecordLacksTheOriginFields) {
  // 68 bytes followed by bytes of the next record, which must not be read.
  auto b = hand_built(19);
  index_record r = index_record_decode_v1(b.data());
  EXPECT_EQ(r.uid, 0x0A0B0C00u);
  EXPECT_EQ(r.user_flags[2], 0x0A0B0C10u);
  EXPECT_EQ(r.orig_uid, 0u);
  EXPECT_EQ(r.orig_uidvalidity, 0u);
  // Reading only the first 68 bytes of a short buffer is safe.
  std::vector<unsigned char> exact(b.begin(), b.begin() + INDEX_RECORD_V1_SIZE);
  EXPECT_EQ(index_record_decode_v1(exact.data()).system_flags, 0x0A0B0C0Du);
}

}  // namespace
