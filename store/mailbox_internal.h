// Shared inside the folder-file modules (mailbox.cc, mailbox_lifecycle.cc,
// mailbox_expunge.cc, mailbox_check.cc): file names, the variable header
// encoder, small RAII owners, and the one seam between a folder's files and
// its record in the mailbox list.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>

#include "store/mailbox.h"
#include "store/quota_record.h"

inline constexpr const char* FNAME_INDEX = "/store.idx";
inline constexpr const char* FNAME_CACHE = "/store.cch";
inline constexpr const char* FNAME_EXPUNGE = "/store.exp";
inline constexpr const char* FNAME_INDEX_NEW = "/index.new";
inline constexpr const char* FNAME_EXPUNGE_NEW = "/expunge.new";

// Growth step of the variable header, and the slack kept after it grows.
inline constexpr uint32_t VARHDR_GROW_STEP = 256;
inline constexpr uint32_t VARHDR_SLACK = 50;

inline std::string mailbox_file(const char* dir, const char* fname) { return std::string(dir) + fname; }

// Fills the location fields (and ACL) of a reset handle; msgpath null or
// empty shares path.
void mailbox_set_location(mailbox* mailbox, const char* name, const char* partition, const char* path,
                          const char* msgpath, const char* acl);

// The variable header's content (flag slots, LF, ACL, NUL) without padding.
std::string mailbox_encode_variable_header(const mailbox* mailbox);

// The room a variable header of `content` bytes needs when it outgrows
// `room`: room plus 256 as often as needed until content + 50 fits.
uint32_t mailbox_grown_room(uint32_t room, size_t content);

// The sync levels, set by mailbox_reloadconfig.
extern mailbox_sync_levels g_mailbox_sync;

// The seam between a folder's files and its entries in the mailbox list:
// updatedata rewrites the folder's record from the handle
// (mboxlist_updatedata); changequota adds (subtract 0) or takes away bytes
// and messages on the folder's quota root and, when out is given, leaves
// the root's new record there (zeros without one); catchup (may be null)
// brings the list record and quota root up to an index that counts messages
// they do not, or no longer count messages they do (mboxlist_catchup_usage;
// index lock held); commit (may be null) records an expunge whose index is
// in place: list record from the handle and quota root moved by the
// difference, in one step (mboxlist_commit_usage; without it, updatedata
// then changequota).  Programs that work on a folder's files alone
// (crash-safety tests, repair tools run without the databases) install
// their own; the previous set is returned.
struct mailbox_listops {
  int (*updatedata)(mailbox* mailbox, int write_index);
  int (*changequota)(const char* name, uint64_t bytes, uint32_t count, int subtract, quotadata* out);
  int (*catchup)(mailbox* mailbox) = nullptr;
  int (*commit)(mailbox* mailbox, quotadata* out) = nullptr;
};
mailbox_listops mailbox_set_listops(const mailbox_listops& ops);
const mailbox_listops& mailbox_listops_current();

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using CStr = std::unique_ptr<char, FreeDeleter>;

// Closes a handle on scope exit unless released.
class MailboxCloser {
 public:
  explicit MailboxCloser(mailbox* m) : m_(m) {}
  MailboxCloser(const MailboxCloser&) = delete;
  MailboxCloser& operator=(const MailboxCloser&) = delete;
  ~MailboxCloser() {
    if (m_) mailbox_close(m_);
  }
  void release() { m_ = nullptr; }

 private:
  mailbox* m_;
};

// Unlinks a file on scope exit unless released (index.new and friends).
class UnlinkGuard {
 public:
  explicit UnlinkGuard(std::string path) : path_(std::move(path)) {}
  UnlinkGuard(const UnlinkGuard&) = delete;
  UnlinkGuard& operator=(const UnlinkGuard&) = delete;
  ~UnlinkGuard();
  void release() { path_.clear(); }

 private:
  std::string path_;
};

// The installed updatedata, for the folder-file modules.
int mailbox_listupdate(mailbox* mailbox, int write_index);

// mailbox_flush for a handle about to rewrite its index into a new file
// that counts every record: the files are flushed, and the deferred header
// is written for the rewrite to read back, but not flushed on its own,
// since the new file, flushed before it is renamed over the old one,
// replaces it.  A crash before the rename leaves a header that counts only
// flushed files.  0 or IMAP_IOERROR (logged; the header then stays
// unwritten).
[[nodiscard]] int mailbox_flush_before_rewrite(mailbox* m);
