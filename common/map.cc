#include "common/map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "common/fileio.h"
#include "common/unique_fd.h"

namespace {

void unmap(map_handle* m) {
  if (m->addr) munmap(m->addr, m->maplen);
  m->addr = nullptr;
  m->maplen = 0;
  m->base = "";
  m->length = 0;
}

}  // namespace

map_handle* map_refresh(int fd, map_handle* map, int flags, long length) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    map_free(map);
    errno = e;
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  size_t want = length < 0 || static_cast<size_t>(length) > size ? size : static_cast<size_t>(length);

  if (!map) {
    map = new (std::nothrow) map_handle;
    if (!map) {
      errno = ENOMEM;
      return nullptr;
    }
    map->base = "";
  }
  bool same_file = map->dev == st.st_dev && map->ino == st.st_ino;
  // A shared mapping shows later writes to the pages it covers, so a map of
  // the same file that is already long enough only needs its lengths updated.
  if (!(same_file && map->addr && map->maplen >= want)) {
    unmap(map);
    if (want > 0) {
      void* addr = mmap(nullptr, want, PROT_READ, MAP_SHARED, fd, 0);
      if (addr == MAP_FAILED) {
        int e = errno;
        map_free(map);
        errno = e;
        return nullptr;
      }
      if (flags & MAP_F_SEQUENTIAL) madvise(addr, want, MADV_SEQUENTIAL);
      map->addr = addr;
      map->maplen = want;
      map->base = static_cast<const char*>(addr);
    }
  }
  map->dev = st.st_dev;
  map->ino = st.st_ino;
  map->length = want;
  map->fdlength = size;
  return map;
}

map_handle* map_open(const char* path, long length, int flags, int) {
  UniqueFd fd(fs_open(path, O_RDONLY));
  if (!fd) return nullptr;
  // The mapping stays valid after the descriptor is closed.
  return map_refresh(fd.get(), nullptr, flags, length);
}

void map_free(map_handle* map) {
  if (!map) return;
  unmap(map);
  delete map;
}
