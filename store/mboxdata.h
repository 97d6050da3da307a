// The 60-byte folder summary `mboxdata`.
//
// It opens every folder's index file (bytes 0..59) and every folder record
// of the mailbox list; the two copies are kept equal.  Layout, all
// little-endian 32-bit words:
//
//   0 version            4 exists             8 flags
//  12 largest_msg       16 last_append       20 last_uid
//  24 oldest_msg        28 oldest_uid        32 qused (64-bit: lo, hi)
//  40 date_first_expunged                    44 uid_validity
//  48 trigger           52 unused2           56 unused3
#pragma once

#include <cstdint>

#include "store/byteorder.h"

inline constexpr uint32_t MBOX_VERSION_V1 = 0x101;          // older format with store.cch
inline constexpr uint32_t MBOX_VERSION = 0x102;             // current format
inline constexpr uint32_t MBOX_VERSION_TRANSITION = 0x1000001;  // record only; files made on first open
inline constexpr uint32_t MBOX_VERSION_MASK_MAIL = 0xFF00;
inline constexpr int MBOXDATA_SIZE = 60;

struct mboxdata {
  uint32_t version = 0;
  uint32_t exists = 0;
  uint32_t flags = 0;
  uint32_t largest_msg = 0;
  uint32_t last_append = 0;
  uint32_t last_uid = 0;
  uint32_t oldest_msg = 0;
  uint32_t oldest_uid = 0;
  uint64_t qused = 0;
  uint32_t date_first_expunged = 0;
  uint32_t uid_validity = 0;
  uint32_t trigger = 0;
  uint32_t unused2 = 0;
  uint32_t unused3 = 0;
};

inline void mboxdata_encode(const mboxdata& m, unsigned char* p) {
  const uint32_t words[15] = {m.version,     m.exists,     m.flags,
                              m.largest_msg, m.last_append, m.last_uid,
                              m.oldest_msg,  m.oldest_uid,  static_cast<uint32_t>(m.qused),
                              static_cast<uint32_t>(m.qused >> 32), m.date_first_expunged, m.uid_validity,
                              m.trigger,     m.unused2,     m.unused3};
  for (int i = 0; i < 15; ++i) put_le32(p + 4 * i, words[i]);
}

inline mboxdata mboxdata_decode(const unsigned char* p) {
  mboxdata m;
  m.version = get_le32(p);
  m.exists = get_le32(p + 4);
  m.flags = get_le32(p + 8);
  m.largest_msg = get_le32(p + 12);
  m.last_append = get_le32(p + 16);
  m.last_uid = get_le32(p + 20);
  m.oldest_msg = get_le32(p + 24);
  m.oldest_uid = get_le32(p + 28);
  m.qused = uint64_t(get_le32(p + 32)) | uint64_t(get_le32(p + 36)) << 32;
  m.date_first_expunged = get_le32(p + 40);
  m.uid_validity = get_le32(p + 44);
  m.trigger = get_le32(p + 48);
  m.unused2 = get_le32(p + 52);
  m.unused3 = get_le32(p + 56);
  return m;
}

// True when a folder of this version holds mail (current and older format).
inline bool mbox_version_has_mail(uint32_t version) { return (version & MBOX_VERSION_MASK_MAIL) != 0; }
