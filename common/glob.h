// Wildcard patterns over folder names.
//
// A pattern is literal bytes plus two wildcards: '*' matches any run of
// bytes (including none), '%' matches any run of bytes without the
// hierarchy separator '/'.  Every other byte, '?' included, stands for
// itself and is compared exactly.
//
// A compiled pattern (glob_init_suppress) is owned by the caller and
// released with glob_free; it is immutable, so one compiled pattern may be
// tested from several threads at once.  Nothing here logs or fails on bad
// input: any byte string is a valid pattern.
#pragma once

#include <cstddef>
#include <memory>

// Flags of glob_init_suppress.
enum : int {
  // Besides full matches, report partial ones: a leading part of the name
  // that the whole pattern matches and that the name continues with '/'
  // (the pattern "%" against "a/b" matches "a"), so a listing can tell that
  // a folder has children the pattern does not reach.
  GLOB_HIERARCHY = 0x4,
  // A pattern that begins with "inbox" in any letter case, followed by its
  // end or '/', matches names beginning with "INBOX": clients spell the
  // INBOX as they like.
  GLOB_INBOXCASE = 0x8,
};

struct glob;

// Compiles pattern.  suppress, when non-null and non-empty, is a leading
// text skipped in every name that begins with it before the match (the
// caller's own namespace); lengths reported by glob_test still count from
// the start of the name.  Null only when pattern is null.
glob* glob_init_suppress(const char* pattern, int flags, const char* suppress);

// Matches the first len bytes of name (len 0: up to its NUL).  Returns the
// length of the name part the pattern matches: len for a full match, the
// shortest partial match otherwise (GLOB_HIERARCHY only), -1 for no match.
// An empty name fully matched by an empty pattern gives 0.
// min, when non-null, is in and out: on entry the longest match the caller
// has already handled for this name (0 for none; matches not longer than it
// are ignored, which lets a caller step through successive partial matches);
// on return the result, when it is not -1.
int glob_test(const glob* g, const char* name, size_t len, int* min);

// Releases a compiled pattern; null is allowed.
void glob_free(glob* g);

struct glob_deleter {
  void operator()(glob* g) const { glob_free(g); }
};
using GlobPtr = std::unique_ptr<glob, glob_deleter>;
