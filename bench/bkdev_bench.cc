// Throughput of the backup stream device against dd.
//
//   bkdev_bench [DIR] [MIB]
//
// Writes a stream of MIB MiB (default 1024) through BKDEV (block factor 20)
// into a file in DIR (default the current directory), in record-sized
// pieces the way the driver does, and times it up to finish() (last block
// flushed, writer drained).  In the same run, dd bs=10240 writes the same
// number of bytes to the same file system.  Each is run twice,
// alternating, and the better time of each is reported.  Neither syncs:
// both measure what the writer can push into the kernel.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backup/bkdev.h"
#include "bench/bench_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// Returns the seconds taken, or a negative value on failure; *bytes is the
// size of the volume written.
double run_bkdev(const std::string& path, uint64_t stream_bytes, uint64_t* bytes) {
  // A message-sized body and a record head, written as the driver would.
  std::vector<char> body(6000);
  for (size_t i = 0; i < body.size(); i++) body[i] = static_cast<char>('a' + i % 26);
  const char id[] = "/primary/user/someone/INBOX/12345";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  auto t0 = Clock::now();
  int ok;
  {
    BKDEV dev(fd, O_RDWR, 20, nullptr, nullptr);
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
  double s = bench_seconds_since(t0);
  *bytes = static_cast<uint64_t>(lseek(fd, 0, SEEK_END));
  close(fd);
  unlink(path.c_str());
  return ok ? s : -1;
}

double run_dd(const std::string& path, uint64_t bytes) {
  std::string cmd =
      "dd if=/dev/zero of='" + path + "' bs=10240 count=" + std::to_string(bytes / 10240) + " status=none";
  auto t0 = Clock::now();
  int rc = std::system(cmd.c_str());
  double s = bench_seconds_since(t0);
  unlink(path.c_str());
  return rc == 0 ? s : -1;
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
  double best_bk = 1e30, best_dd = 1e30;
  uint64_t bytes = 0;
  for (int round = 0; round < 2; round++) {
    double bk = run_bkdev(path, stream_bytes, &bytes);
    double dd = run_dd(path, bytes);
    if (bk < 0 || dd < 0) {
      std::fprintf(stderr, "bkdev_bench: %s failed in %s\n", bk < 0 ? "BKDEV" : "dd", dir.c_str());
      return 74;
    }
    if (bk < best_bk) best_bk = bk;
    if (dd < best_dd) best_dd = dd;
  }
  double mb = static_cast<double>(bytes) / 1e6;
  std::printf("bytes written     : %llu (%llu MiB stream)\n", static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(mib));
  std::printf("BKDEV (factor 20) : %8.1f MB/s  (%.2f s)\n", mb / best_bk, best_bk);
  std::printf("dd bs=10240       : %8.1f MB/s  (%.2f s)\n", mb / best_dd, best_dd);
  std::printf("ratio BKDEV / dd  : %8.2f\n", best_dd / best_bk);
  return 0;
}
