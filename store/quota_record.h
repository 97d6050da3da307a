// The quota record of quota.db: one per quota root.
//
// Key: the root name and its NUL: a user's INBOX name ("user/<id>") or the
// first two levels of a shared folder's name ("public/a").
//
// Data, 56 bytes, little-endian 32-bit words (byteorder.h) on every host:
//
//    0 qmax                  storage limit in KB; 0xFFFFFFFF unlimited
//    4 qrused (lo), 8 (hi)   bytes used by all folders of the root
//   12 qwhen                 time the usage reached the warning threshold
//   16 qwarn                 time of the last over-quota warning
//   20 lastuse               end of the user's last POP session
//   24 pop_last_uidvalidity  UIDVALIDITY of the INBOX at that session
//   28 pop_last_uid          highest UID seen in that session
//   32 numshared             the user's folders shared with others
//   36 msgqmax               message-count limit; 0xFFFFFFFF unlimited
//   40 msgqrused             messages stored
//   44 lastimapaccess        48 lasthttpaccess
//   52 lastdbrepair          time the user's records were last rebuilt
//
// Older stores hold shorter records: decoding reads what is there into a
// zeroed record whose msgqmax is unlimited, so a record without the
// message limit has none.  Header-only, no state, no failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "store/byteorder.h"

inline constexpr size_t QUOTA_RECORD_SIZE = 56;
inline constexpr uint32_t QUOTA_UNLIMITED = 0xFFFFFFFFu;
static_assert(QUOTA_RECORD_SIZE == 14 * 4);

struct quotadata {
  uint32_t qmax = 0;
  uint64_t qrused = 0;
  uint32_t qwhen = 0;
  uint32_t qwarn = 0;
  uint32_t lastuse = 0;
  uint32_t pop_last_uidvalidity = 0;
  uint32_t pop_last_uid = 0;
  uint32_t numshared = 0;
  uint32_t msgqmax = 0;
  uint32_t msgqrused = 0;
  uint32_t lastimapaccess = 0;
  uint32_t lasthttpaccess = 0;
  uint32_t lastdbrepair = 0;
};

inline void quota_record_encode(const quotadata& q, unsigned char* p) {
  const uint32_t words[14] = {q.qmax,
                              static_cast<uint32_t>(q.qrused),
                              static_cast<uint32_t>(q.qrused >> 32),
                              q.qwhen,
                              q.qwarn,
                              q.lastuse,
                              q.pop_last_uidvalidity,
                              q.pop_last_uid,
                              q.numshared,
                              q.msgqmax,
                              q.msgqrused,
                              q.lastimapaccess,
                              q.lasthttpaccess,
                              q.lastdbrepair};
  for (int i = 0; i < 14; ++i) put_le32(p + 4 * i, words[i]);
}

// Reads len bytes (at most 56 are used) of a stored record.
inline quotadata quota_record_decode(const unsigned char* data, size_t len) {
  unsigned char buf[QUOTA_RECORD_SIZE] = {};
  put_le32(buf + 36, QUOTA_UNLIMITED);
  memcpy(buf, data, len < QUOTA_RECORD_SIZE ? len : QUOTA_RECORD_SIZE);
  quotadata q;
  q.qmax = get_le32(buf);
  q.qrused = uint64_t(get_le32(buf + 4)) | uint64_t(get_le32(buf + 8)) << 32;
  q.qwhen = get_le32(buf + 12);
  q.qwarn = get_le32(buf + 16);
  q.lastuse = get_le32(buf + 20);
  q.pop_last_uidvalidity = get_le32(buf + 24);
  q.pop_last_uid = get_le32(buf + 28);
  q.numshared = get_le32(buf + 32);
  q.msgqmax = get_le32(buf + 36);
  q.msgqrused = get_le32(buf + 40);
  q.lastimapaccess = get_le32(buf + 44);
  q.lasthttpaccess = get_le32(buf + 48);
  q.lastdbrepair = get_le32(buf + 52);
  return q;
}
