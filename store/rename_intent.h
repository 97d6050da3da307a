// The intent record of a folder rename (store/mboxlist_rename.cc).
//
// A rename moves its folders one at a time, each in its own transaction,
// so a process killed half-way would leave the folders split between the
// two names.  Before the first folder moves, the rename writes this record
// to a file of its own in "<store dir>/rename" (written as "<file>.new",
// synced, renamed, directory synced), rewrites it before each folder move
// to name the move under way, and removes it when the rename is complete.
// Whoever finds a record of a dead rename finishes it.
//
// File layout (all of the file; integers little-endian):
//    0   8  magic "ORVRNI01"
//    8   4  uid_mark: for an INBOX moved into one of its folders, the last
//           uid copied to the new folder (the old INBOX loses the messages
//           up to it once the move has committed); otherwise 0
//   12   -  seven strings, each its bytes and a NUL, in this order:
//           old root, new root, partition ("" when none was asked),
//           step old name, step old partition, step new name,
//           step new partition (the four step strings "" when no folder
//           move has started)
// The file ends right after the seventh NUL.  Names are internal folder
// names (at most MBOXNAME_MAX - 1 bytes), partitions at most
// FOLDER_PARTITION_MAX bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "store/byteorder.h"
#include "store/folder_record.h"
#include "store/mboxname.h"

inline constexpr char RENAME_INTENT_MAGIC[] = "ORVRNI01";
inline constexpr size_t RENAME_INTENT_MAGIC_SIZE = 8;
inline constexpr size_t RENAME_INTENT_FIXED = 12;  // magic and uid_mark
static_assert(sizeof RENAME_INTENT_MAGIC == RENAME_INTENT_MAGIC_SIZE + 1);
inline constexpr int RENAME_INTENT_STRINGS = 7;
// The largest valid file: the fixed part, four names and three partitions
// with their NULs.
inline constexpr size_t RENAME_INTENT_MAX = RENAME_INTENT_FIXED + 4 * MBOXNAME_MAX + 3 * (FOLDER_PARTITION_MAX + 1);

struct rename_intent {
  std::string oldroot, newroot, partition;
  // The folder move under way (all empty before the first one).
  std::string step_old, step_oldpart, step_new, step_newpart;
  uint32_t uid_mark = 0;
};

inline std::string rename_intent_encode(const rename_intent& in) {
  std::string out(RENAME_INTENT_FIXED, '\0');
  memcpy(out.data(), RENAME_INTENT_MAGIC, RENAME_INTENT_MAGIC_SIZE);
  put_le32(reinterpret_cast<unsigned char*>(out.data()) + 8, in.uid_mark);
  for (const std::string* s :
       {&in.oldroot, &in.newroot, &in.partition, &in.step_old, &in.step_oldpart, &in.step_new, &in.step_newpart}) {
    out += *s;
    out += '\0';
  }
  return out;
}

// False for anything but a complete, well-formed record.
inline bool rename_intent_decode(const void* data, size_t len, rename_intent* out) {
  const char* p = static_cast<const char*>(data);
  if (len < RENAME_INTENT_FIXED || len > RENAME_INTENT_MAX) return false;
  if (memcmp(p, RENAME_INTENT_MAGIC, RENAME_INTENT_MAGIC_SIZE) != 0) return false;
  rename_intent r;
  r.uid_mark = get_le32(reinterpret_cast<const unsigned char*>(p) + 8);
  std::string* fields[RENAME_INTENT_STRINGS] = {&r.oldroot,      &r.newroot,  &r.partition,   &r.step_old,
                                                &r.step_oldpart, &r.step_new, &r.step_newpart};
  size_t off = RENAME_INTENT_FIXED;
  for (int i = 0; i < RENAME_INTENT_STRINGS; ++i) {
    const void* nul = memchr(p + off, '\0', len - off);
    if (!nul) return false;
    size_t n = static_cast<size_t>(static_cast<const char*>(nul) - (p + off));
    bool is_partition = i == 2 || i == 4 || i == 6;
    if (n > (is_partition ? FOLDER_PARTITION_MAX : MBOXNAME_MAX - 1)) return false;
    fields[i]->assign(p + off, n);
    off += n + 1;
  }
  if (off != len || r.oldroot.empty() || r.newroot.empty()) return false;
  // A step names both folders or none.
  if (r.step_old.empty() != r.step_new.empty()) return false;
  *out = r;
  return true;
}
