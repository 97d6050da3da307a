// Cursor steps over the mailbox list databases, shared by the listing,
// subscription, shared-folder list and seen modules.
//
// A DbWalk owns its key and data buffers (grown with DB_DBT_REALLOC and
// freed on destruction) so loops never leak on early exits.  The cursor is
// borrowed.  Results are Berkeley DB codes: 0, DB_NOTFOUND at the end,
// DB_LOCK_DEADLOCK for the caller's retry loop.
#pragma once

#include <db.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

class DbWalk {
 public:
  DbWalk() {
    key_.flags = DB_DBT_REALLOC;
    data_.flags = DB_DBT_REALLOC;
  }
  DbWalk(const DbWalk&) = delete;
  DbWalk& operator=(const DbWalk&) = delete;
  ~DbWalk() {
    free(key_.data);
    free(data_.data);
  }

  // Positions c at the first key not below start (flags: DB_RMW or 0).
  int first(DBC* c, std::string_view start, u_int32_t flags = 0) {
    void* p = realloc(key_.data, start.size() ? start.size() : 1);
    if (!p) return ENOMEM;
    key_.data = p;
    memcpy(key_.data, start.data(), start.size());
    key_.size = static_cast<u_int32_t>(start.size());
    return c->get(c, &key_, &data_, DB_SET_RANGE | flags);
  }
  // Positions c exactly on key (DB_NOTFOUND when absent).
  int exact(DBC* c, std::string_view key, u_int32_t flags = 0) {
    void* p = realloc(key_.data, key.size() ? key.size() : 1);
    if (!p) return ENOMEM;
    key_.data = p;
    memcpy(key_.data, key.data(), key.size());
    key_.size = static_cast<u_int32_t>(key.size());
    return c->get(c, &key_, &data_, DB_SET | flags);
  }
  int next(DBC* c, u_int32_t flags = 0) { return c->get(c, &key_, &data_, DB_NEXT | flags); }

  std::string_view key() const { return {static_cast<const char*>(key_.data), key_.size}; }
  std::string_view data() const { return {static_cast<const char*>(data_.data), data_.size}; }

 private:
  DBT key_ = {};
  DBT data_ = {};
};

// A DBT over bytes the caller keeps alive (for put and partial reads).
inline DBT dbt_of(const void* p, size_t n) {
  DBT d = {};
  d.data = const_cast<void*>(p);
  d.size = static_cast<u_int32_t>(n);
  return d;
}
