// The per-message record of a folder's index file, `index_record`.
//
// Records follow the index file's variable header, one per message in
// message-number order: record n (from 1) lies at start_offset + 76 * (n - 1).
// Every field is a little-endian 32-bit word (byteorder.h), on every host, so
// a store moves between machines unchanged.  Records are read and written
// only through index_record_decode / index_record_encode, never by copying
// the struct.
//
// Current format (folder version 0x102), 76 bytes:
//
//    0 uid               4 internaldate      8 sentdate         12 block_id
//   16 block_offset     20 unused1          24 unused2          28 size
//   32 header_size      36 content_offset   40 cache_offset     44 last_updated
//   48 date_expunged    52 system_flags     56 user_flags[0]    60 user_flags[1]
//   64 user_flags[2]    68 orig_uid         72 orig_uidvalidity
//
// Older format (folder version 0x101), 68 bytes: the same words up to and
// including user_flags[2], without orig_uid and orig_uidvalidity.  It is only
// read (by the conversion to the current format).
//
// cache_offset counts from the index header's cache_offset; the message's
// cache entry (11 items, see store/message.h) starts there.  block_id and
// block_offset are zero in records this system writes; date_expunged is
// zero in new records.  Header-only: no state, no failures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/byteorder.h"

inline constexpr size_t INDEX_RECORD_SIZE = 76;
inline constexpr size_t INDEX_RECORD_V1_SIZE = 68;

// system_flags bits set by message parsing.
// The message ends in CR LF and no line of it starts with a dot, so it can
// be sent over POP3 without dot-stuffing.
inline constexpr uint32_t INDEX_FLAG_CRLF_NODOT = 1u << 4;
// The top 8 bits belong to the message-type plug-in (store/msgtype.h).
inline constexpr uint32_t INDEX_FLAG_MSGTYPE_MASK = 0xFF000000u;

struct index_record {
  uint32_t uid = 0;
  uint32_t internaldate = 0;
  uint32_t sentdate = 0;
  uint32_t block_id = 0;
  uint32_t block_offset = 0;
  uint32_t unused1 = 0;
  uint32_t unused2 = 0;
  uint32_t size = 0;
  uint32_t header_size = 0;
  uint32_t content_offset = 0;
  uint32_t cache_offset = 0;
  uint32_t last_updated = 0;
  uint32_t date_expunged = 0;
  uint32_t system_flags = 0;
  uint32_t user_flags[3] = {0, 0, 0};
  uint32_t orig_uid = 0;
  uint32_t orig_uidvalidity = 0;

  bool operator==(const index_record&) const = default;
};

namespace index_record_detail {
// Field order on disk; the pointer-to-member table keeps encode and decode in
// step with the layout comment above.
inline constexpr uint32_t index_record::*kWords[] = {
    &index_record::uid,           &index_record::internaldate,
    &index_record::sentdate,      &index_record::block_id,
    &index_record::block_offset,  &index_record::unused1,
    &index_record::unused2,       &index_record::size,
    &index_record::header_size,   &index_record::content_offset,
    &index_record::cache_offset,  &index_record::last_updated,
    &index_record::date_expunged, &index_record::system_flags,
};
inline constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
static_assert(kWordCount == 14);
inline constexpr size_t kUserFlagsOffset = 4 * kWordCount;
static_assert(kUserFlagsOffset == 56);
static_assert(kUserFlagsOffset + 12 == INDEX_RECORD_V1_SIZE);
static_assert(INDEX_RECORD_V1_SIZE + 8 == INDEX_RECORD_SIZE);

inline void decode_common(const unsigned char* p, index_record& r) {
  for (size_t i = 0; i < kWordCount; ++i) r.*kWords[i] = get_le32(p + 4 * i);
  for (size_t i = 0; i < 3; ++i) r.user_flags[i] = get_le32(p + kUserFlagsOffset + 4 * i);
}
}  // namespace index_record_detail

// Writes r as INDEX_RECORD_SIZE bytes at p.
inline void index_record_encode(const index_record& r, unsigned char* p) {
  using namespace index_record_detail;
  for (size_t i = 0; i < kWordCount; ++i) put_le32(p + 4 * i, r.*kWords[i]);
  for (size_t i = 0; i < 3; ++i) put_le32(p + kUserFlagsOffset + 4 * i, r.user_flags[i]);
  put_le32(p + 68, r.orig_uid);
  put_le32(p + 72, r.orig_uidvalidity);
}

// Reads a current-format record (INDEX_RECORD_SIZE bytes at p).
inline index_record index_record_decode(const unsigned char* p) {
  index_record r;
  index_record_detail::decode_common(p, r);
  r.orig_uid = get_le32(p + 68);
  r.orig_uidvalidity = get_le32(p + 72);
  return r;
}

// Reads an older-format record (INDEX_RECORD_V1_SIZE bytes at p); orig_uid
// and orig_uidvalidity, which that format lacks, are zero.
inline index_record index_record_decode_v1(const unsigned char* p) {
  index_record r;
  index_record_detail::decode_common(p, r);
  return r;
}
