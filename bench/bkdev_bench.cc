// Throughput of the backup stream device against a plain writer.
//
//   bkdev_bench [DIR] [MIB]
//
// Writes a stream of MIB MiB (default 1024) through BKDEV (block factor 20)
// into a file in DIR (default the current directory), in record-sized
// pieces the way the driver does, and times it up to finish() (last block
// written).  On a plain file the device writes from the calling thread in
// writes of one ring (BK_RING_BYTES), so the baseline is a writer in this
// same process and thread that writes the same number of bytes in writes of
// the same size: the difference is what building blocks and records costs.
// A second row asks the device for its writer thread (as on a tape) against
// the same baseline.  Rows run with the shared A/B harness (alternating,
// BENCH_PAIRS pairs, the file removed and dirty pages flushed before each
// run).  Neither side syncs: both measure what the writer can push into the
// kernel.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backup/bkdev.h"
#include "bench/bench_util.h"
#include "common/fileio.h"
#include "common/unique_fd.h"

namespace {

// Writes the stream through the device; *bytes gets the size of the volume.
bool run_bkdev(const std::string& path, uint64_t stream_bytes, BkWriter writer, uint64_t* bytes) {
  // A message-sized body and a record head, written as the driver would.
  std::vector<char> body(6000);
  for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>('a' + i % 26);
  const char id[] = "/primary/user/someone/INBOX/12345";
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return false;
  int ok;
  {
    BKDEV dev(fd.get(), O_RDWR, BK_DEFAULT_FACTOR, nullptr, nullptr, writer);
    uint64_t done = 0;
    ok = !dev.error();
    while (ok && done < stream_bytes) {
      ok = dev.writestring(id) && dev.writePRInt16(5) && dev.writePRInt32(1700000000) && dev.writePRInt16(0) &&
           dev.writePRInt32(static_cast<uint32_t>(body.size())) &&
           dev.write(body.data(), static_cast<unsigned>(body.size()));
      done += 2 + sizeof id - 1 + 2 + 4 + 2 + 4 + body.size();
    }
    ok = ok && dev.finish();
  }
  *bytes = static_cast<uint64_t>(lseek(fd.get(), 0, SEEK_END));
  return ok;
}

// bytes into path in writes of BK_RING_BYTES from this thread.
bool run_plain(const std::string& path, uint64_t bytes) {
  static std::vector<char> buf(BK_RING_BYTES, 'x');
  UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) return false;
  for (uint64_t done = 0; done < bytes;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), bytes - done));
    if (retry_write(fd.get(), buf.data(), n) != static_cast<ssize_t>(n)) return false;
    done += n;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : ".";
  uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024;
  if (mib == 0) {
    std::fprintf(stderr, "usage: %s [DIR] [MIB]\n", argv[0]);
    return 64;
  }
  const uint64_t stream_bytes = mib << 20;
  const std::string path = dir + "/bkdev_bench.out";
  auto fresh = [&] {
    unlink(path.c_str());
    sync();
    return true;
  };
  // The volume's size, known after a first write, sizes the baseline.
  uint64_t bytes = 0;
  if (!run_bkdev(path, stream_bytes, BkWriter::automatic, &bytes)) {
    std::fprintf(stderr, "bkdev_bench: BKDEV failed in %s\n", dir.c_str());
    return 74;
  }
  std::printf("bytes written per run: %llu (%llu MiB stream)\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(mib));
  BenchSide plain{"plain writer, " + std::to_string(BK_RING_BYTES / 1024) + " KiB writes, same thread",
                  [&] { return run_plain(path, bytes); }, fresh};
  int status = 0;
  for (BkWriter w : {BkWriter::automatic, BkWriter::thread}) {
    uint64_t b = 0;
    BenchSide dev{w == BkWriter::automatic ? "BKDEV on a file (calling thread writes)" : "BKDEV with its writer thread",
                  [&] { return run_bkdev(path, stream_bytes, w, &b); }, fresh};
    BenchAbResult r = bench_ab("a " + std::to_string(mib) + " MiB stream", dev, plain);
    if (!r.ok) {
      status = 74;
      continue;
    }
    double mb = static_cast<double>(bytes) / 1e6;
    std::printf("   MB/s: BKDEV %.1f, plain %.1f\n", mb / r.a_wall, mb / r.b_wall);
  }
  unlink(path.c_str());
  return status;
}
