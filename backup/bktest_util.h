// Helpers shared by the backup unit tests: writing a stream through a
// device into memory, and hand-built blocks.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "backup/bkdev.h"
#include "backup/bkutils.h"
#include "common/test_util.h"

// Writes through a device of block factor factor onto a temporary file and
// returns the file's bytes after the device finished.
inline std::string write_stream(unsigned factor, const std::function<void(BKDEV&)>& fill) {
  TempDir dir;
  std::string path = dir.path() + "/vol";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  {
    BKDEV dev(fd, O_RDWR, factor, nullptr, nullptr);
    fill(dev);
    dev.finish();
  }
  close(fd);
  return read_text_file(path);
}

// The data areas of a blocked stream, concatenated (prefixes not checked).
inline std::string unblock(const std::string& vol, size_t blksize) {
  std::string out;
  for (size_t off = 0; off + blksize <= vol.size(); off += blksize)
    out.append(vol, off + BK_BLOCK_PREFIX, blksize - BK_BLOCK_PREFIX);
  return out;
}

// One block by hand: prefix (check value, number) and data padded with
// zeros.
inline std::string make_block(uint64_t num, const std::string& data, size_t blksize, uint32_t check = BK_CHECKSUM) {
  std::string b(blksize, '\0');
  writePRInt32(b.data(), check);
  writePRInt64(b.data() + 4, num);
  b.replace(BK_BLOCK_PREFIX, std::min(data.size(), blksize - BK_BLOCK_PREFIX), data, 0,
            std::min(data.size(), blksize - BK_BLOCK_PREFIX));
  return b;
}
