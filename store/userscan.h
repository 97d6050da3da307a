// The users the partitions hold on disk, whatever the mailbox list says.
//
// A user's folders live under a partition root in "=user/HH/HH/<user>",
// where HH/HH is a hash of the user id and <user> the user id's encoded
// directory name (store/mboxname.h).  The scan reads those three levels of
// directories only: one opendir per hash directory in use, no stat per
// user.  Users whose folders were moved to another partition appear on
// each partition holding some of them.
//
// Used by the backup (the users of a partition) and by the repair of the
// mailbox list (users on disk that the list lost).  Unreadable directories
// hold no users; the scan never fails.  Thread-safe; no locks are taken, so
// users created or deleted meanwhile may or may not be seen.
#pragma once

#include <functional>
#include <vector>
#include <string>

// Called per user directory found: the decoded user id and the
// directory's path.  A nonzero result ends the scan and is returned.
using userscan_proc = std::function<int(const char* userid, const std::string& dir)>;

// The user directories of partition (a configured name), in directory
// order.  0, or the callback's result.
int userscan_partition(const char* partition, const userscan_proc& proc);

// The partitions' names in configuration order.
std::vector<std::string> userscan_partitions();

// Whether userid's INBOX has an index file at the place its name maps to on
// some partition: the first such partition and the INBOX's directory in
// *partition and *path (either may be null).
bool userscan_inbox_on_disk(const char* userid, std::string* partition, std::string* path);
