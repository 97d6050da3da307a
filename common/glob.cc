#include "common/glob.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

struct glob {
  std::string pattern;
  std::string suppress;
  int flags = 0;
};

namespace {

bool is_wild(char c) { return c == '*' || c == '%'; }

// Adds to the set of reached pattern positions every position that a
// wildcard can reach by matching nothing.
void close_over_empty(const std::string& pat, std::vector<char>& reached) {
  for (size_t j = 0; j < pat.size(); ++j) {
    if (reached[j] && is_wild(pat[j])) reached[j + 1] = 1;
  }
}

}  // namespace

glob* glob_init_suppress(const char* pattern, int flags, const char* suppress) {
  if (!pattern) return nullptr;
  auto g = std::make_unique<glob>();
  g->pattern = pattern;
  g->flags = flags;
  if (suppress) g->suppress = suppress;
  if ((flags & GLOB_INBOXCASE) && strncasecmp(pattern, "inbox", 5) == 0 && (pattern[5] == '\0' || pattern[5] == '/')) {
    g->pattern.replace(0, 5, "INBOX");
  }
  return g.release();
}

void glob_free(glob* g) { delete g; }

int glob_test(const glob* g, const char* name, size_t len, int* min) {
  if (!g || !name) return -1;
  if (len == 0) len = strlen(name);
  long floor = (min && *min > 0) ? *min : -1;

  size_t start = 0;
  const std::string& sup = g->suppress;
  if (!sup.empty() && sup.size() <= len && memcmp(name, sup.data(), sup.size()) == 0) start = sup.size();

  // One pass over the name; reached[j] says that the first j pattern bytes
  // match name[start, i).  Time is pattern length times name length, space
  // is the pattern length, whatever the input.
  const std::string& pat = g->pattern;
  const size_t plen = pat.size();
  std::vector<char> reached(plen + 1, 0), next(plen + 1, 0);
  reached[0] = 1;
  close_over_empty(pat, reached);

  const bool partial = (g->flags & GLOB_HIERARCHY) != 0;
  for (size_t i = start;; ++i) {
    if (reached[plen]) {
      bool full = (i == len);
      bool at_separator = partial && i < len && name[i] == '/';
      if ((full || at_separator) && static_cast<long>(i) > floor) {
        if (min) *min = static_cast<int>(i);
        return static_cast<int>(i);
      }
    }
    if (i == len) return -1;

    const char c = name[i];
    std::fill(next.begin(), next.end(), 0);
    bool any = false;
    for (size_t j = 0; j < plen; ++j) {
      if (!reached[j]) continue;
      const char p = pat[j];
      if (p == '*' || (p == '%' && c != '/')) {
        next[j] = 1;  // the wildcard takes c and may take more
        any = true;
      } else if (!is_wild(p) && p == c) {
        next[j + 1] = 1;
        any = true;
      }
    }
    if (!any) return -1;
    close_over_empty(pat, next);
    reached.swap(next);
  }
}
