// Read-only memory maps of files.
//
// A map_handle covers the first `length` bytes of a file; `fdlength` is the
// file's size when the map was made.  The map never reaches past the end of
// the file (touching such pages would raise SIGBUS), so `length` may be
// shorter than asked: callers compare it with what they need.  An empty map
// has a non-null `base` pointing at an empty string.
//
// Flags are hints: MAP_F_SEQUENTIAL (2) for files read once front to back
// (message files), MAP_F_WHOLE (4) for files read at random (index files).
// Failures return null with errno set; nothing is logged here.
#pragma once

#include <sys/types.h>

#include <memory>

inline constexpr int MAP_F_SEQUENTIAL = 2;
inline constexpr int MAP_F_WHOLE = 4;

struct map_handle {
  const char* base = nullptr;
  size_t length = 0;    // bytes mapped
  size_t fdlength = 0;  // size of the file at the last refresh
  // Private to map.cc.
  void* addr = nullptr;
  size_t maplen = 0;
  dev_t dev = 0;
  ino_t ino = 0;
};

// Maps `length` bytes of the file open on fd (-1: the whole file).  With a
// map given it is refreshed in place (remapped when the file, its size or the
// asked length changed) and returned; without one a new handle is allocated.
// On failure a given map is freed and null returned.
map_handle* map_refresh(int fd, map_handle* map, int flags, long length);
// Opens path read-only and maps `length` bytes (-1: all).  Null on failure.
map_handle* map_open(const char* path, long length, int flags, int reserved);
// Unmaps and frees; null is ignored.
void map_free(map_handle* map);

struct MapFree {
  void operator()(map_handle* m) const { map_free(m); }
};
using MapPtr = std::unique_ptr<map_handle, MapFree>;
