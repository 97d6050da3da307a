// Pieces of the listing module shared with its tests and the disk walk.
#pragma once

#include <regex.h>

#include <memory>
#include <string>
#include <string_view>

#include "common/glob.h"

// A compiled listing pattern: a wildcard pattern (common/glob.h, with
// partial matches at '/' and any spelling of INBOX) or a POSIX extended
// regular expression matched against the whole name in UTF-8.
class ListPattern {
 public:
  ListPattern() = default;
  ~ListPattern();
  ListPattern(const ListPattern&) = delete;
  ListPattern& operator=(const ListPattern&) = delete;
  // false when the pattern does not compile.
  bool compile(const char* pattern, bool regex);
  // Length of the leading part of name[0, len) the pattern matches, -1 for
  // no match (regular expressions match the whole name or nothing).
  int match(const char* name, size_t len) const;

 private:
  bool regex_ = false;
  GlobPtr glob_;
  std::unique_ptr<regex_t> re_;
};

// The literal text every listed name begins with, for the search text of a
// listing (pattern, or "user/<id>/" + pattern): up to the first wildcard;
// for a regular expression up to the character before the first special
// one, or the '/' after "user/<id>" when that comes first; the whole text of
// an expression without special characters; nothing for one using '|'.
std::string mboxlist_search_prefix(const std::string& text, bool regex);

// key_compare over two names given without their NUL.
int key_compare_names(std::string_view a, std::string_view b);
