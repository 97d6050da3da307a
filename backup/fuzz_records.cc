// Fuzz entry point for the reading side of the backup format.
//
// The first input byte picks how the rest is read:
//   bit 0 clear: as a record stream in memory (the record reader alone);
//   bit 0 set:   cut into valid blocks of 512 bytes with consecutive
//                numbers and read through a reading device, so the record
//                reader sees the device's view; bit 1 then also corrupts
//                the prefix of one block, and bit 2 seeks to an offset
//                taken from the input before reading.
// Every path must end in a result or a clear error, never a crash, and
// must not allocate beyond what the input can justify.
#include "backup/fuzz_records.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "backup/bkdev.h"
#include "backup/bkobj.h"
#include "backup/bkutils.h"

namespace {

constexpr uint32_t MAX_DATA = 1 << 20;
constexpr size_t BLOCK = 512;

void through_device(const uint8_t* data, size_t size, uint8_t mode) {
  std::string vol;
  const size_t log = BLOCK - BK_BLOCK_PREFIX;
  for (size_t off = 0, n = 0; off < size || n == 0; off += log, n++) {
    std::string b(BLOCK, '\0');
    writePRInt32(b.data(), BK_CHECKSUM);
    writePRInt64(b.data() + 4, n);
    size_t k = off < size ? std::min(log, size - off) : 0;
    if (k) b.replace(BK_BLOCK_PREFIX, k, reinterpret_cast<const char*>(data + off), k);
    vol += b;
  }
  if ((mode & 2) && size > 0) {
    size_t which = data[0] % (vol.size() / BLOCK);
    vol[which * BLOCK + 4 + data[size - 1] % 8] ^= static_cast<char>(0x40);
  }
  int fd = memfd_create("fuzz", MFD_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, vol.data(), vol.size()) == static_cast<ssize_t>(vol.size()) && lseek(fd, 0, SEEK_SET) == 0) {
    BKDEV dev(fd, O_RDONLY, 1, nullptr, nullptr);
    if (!dev.error()) {
      if ((mode & 4) && size >= 2) (void)dev.seek((size_t{data[0]} << 8 | data[1]) % (size + 1));
      std::string err;
      (void)bkobj_scan_records(dev, &err, MAX_DATA);
    }
  }
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0];
  data++;
  size--;
  if (mode & 1) {
    through_device(data, size, mode);
  } else {
    BkMemInput in(data, size);
    std::string err;
    (void)bkobj_scan_records(in, &err, MAX_DATA);
  }
  return 0;
}
