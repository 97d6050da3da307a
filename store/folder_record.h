// The folder record of folder.db: one per folder of the store.
//
// Key: the internal folder name (store/mboxname.h) and its NUL; the key
// length counts the NUL.
//
// Data, integers little-endian 32-bit words (byteorder.h) on every host:
//
//    0  60  mboxdata: the folder's summary, byte for byte the first 60 bytes
//           of its index file (store/mboxdata.h)
//   60 n+1  partition name and NUL (n at most FOLDER_PARTITION_MAX)
//  61+n m+1 ACL text and NUL (common/acl.h: identifier TAB rights TAB ...)
//
// So the shortest record is 62 bytes (empty partition and ACL).  Records are
// built and read only through folder_record_encode / folder_record_decode.
// Header-only, no state; decode failures are IMAP_MAILBOX_BADFORMAT and the
// caller logs them with the folder's name.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "common/imap_err.h"
#include "store/mboxdata.h"

inline constexpr size_t FOLDER_RECORD_PARTITION_OFFSET = MBOXDATA_SIZE;
inline constexpr size_t FOLDER_RECORD_MIN = MBOXDATA_SIZE + 2;
inline constexpr size_t FOLDER_PARTITION_MAX = 70;
static_assert(FOLDER_RECORD_PARTITION_OFFSET == 60);
static_assert(FOLDER_RECORD_MIN == 62);

struct folder_record {
  mboxdata mbd;
  std::string partition;
  std::string acl;
};

// The record's data bytes for the given values (null strings count as "").
inline std::string folder_record_encode(const mboxdata& mbd, const char* partition, const char* acl) {
  if (!partition) partition = "";
  if (!acl) acl = "";
  size_t plen = strlen(partition) + 1;
  size_t alen = strlen(acl) + 1;
  std::string out(MBOXDATA_SIZE + plen + alen, '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  mboxdata_encode(mbd, p);
  memcpy(p + MBOXDATA_SIZE, partition, plen);
  memcpy(p + MBOXDATA_SIZE + plen, acl, alen);
  return out;
}

// Parses a stored record.  0, or IMAP_MAILBOX_BADFORMAT when it is shorter
// than 62 bytes, its partition is not NUL-terminated within 71 bytes, or
// its ACL lacks the NUL before the record's end.
[[nodiscard]] inline int folder_record_decode(const void* data, size_t len, folder_record* out) {
  const auto* p = static_cast<const unsigned char*>(data);
  if (!p || len < FOLDER_RECORD_MIN) return IMAP_MAILBOX_BADFORMAT;
  const char* part = reinterpret_cast<const char*>(p + MBOXDATA_SIZE);
  size_t room = len - MBOXDATA_SIZE;
  const void* pend = memchr(part, '\0', room < FOLDER_PARTITION_MAX + 1 ? room : FOLDER_PARTITION_MAX + 1);
  if (!pend) return IMAP_MAILBOX_BADFORMAT;
  size_t plen = static_cast<size_t>(static_cast<const char*>(pend) - part);
  const char* acl = part + plen + 1;
  size_t aroom = room - plen - 1;
  const void* aend = aroom ? memchr(acl, '\0', aroom) : nullptr;
  if (!aend) return IMAP_MAILBOX_BADFORMAT;
  out->mbd = mboxdata_decode(p);
  out->partition.assign(part, plen);
  out->acl.assign(acl, static_cast<size_t>(static_cast<const char*>(aend) - acl));
  return 0;
}
