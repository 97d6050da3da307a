#include "backup/bkdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backup/bktape.h"
#include "backup/bktest_util.h"
#include "common/bvlog.h"
#include "common/fileio.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// Log lines go to standard error, where the tests look for them.
class LogToStderr : public testing::Environment {
 public:
  void SetUp() override { bvlog_to_stderr(LOG_SEV_DEBUG); }
};
const auto* const log_env = testing::AddGlobalTestEnvironment(new LogToStderr);

std::string pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed;
  for (char& c : s) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

// Checks every block's prefix: the check value and consecutive numbers from
// first.  Returns the number of blocks.
size_t check_blocks(const std::string& vol, size_t blksize, uint64_t first) {
  EXPECT_EQ(vol.size() % blksize, 0u);
  size_t n = vol.size() / blksize;
  for (size_t i = 0; i < n; i++) {
    EXPECT_EQ(readPRInt32(vol.data() + i * blksize), BK_CHECKSUM) << "block " << i;
    EXPECT_EQ(readPRInt64(vol.data() + i * blksize + 4), first + i) << "block " << i;
  }
  return n;
}

TEST(BkdevWrite, ExactlyOneBlockAndOneByteMore) {
  const size_t bs = 20 * 512, logbs = bs - 12;
  std::string data = pattern(logbs + 1);
  std::string one = write_stream(0, [&](BKDEV& d) {
    EXPECT_EQ(d.blksize(), bs);
    ASSERT_EQ(d.write(data.data(), static_cast<unsigned>(logbs)), 1);
  });
  ASSERT_EQ(one.size(), bs);
  const unsigned char prefix[12] = {0x5A, 0xBA, 0xCA, 0xB5, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(one.data(), prefix, 12));
  EXPECT_EQ(one.substr(12), data.substr(0, logbs));

  std::string two = write_stream(0, [&](BKDEV& d) { ASSERT_EQ(d.write(data.data(), logbs + 1), 1); });
  ASSERT_EQ(two.size(), 2 * bs);
  EXPECT_EQ(check_blocks(two, bs, 0), 2u);
  EXPECT_EQ(two[bs + 12], data[logbs]);
  // The rest of the last block is the slot's first use: zeros.
  EXPECT_EQ(two.find_first_not_of('\0', bs + 13), std::string::npos);
}

TEST(BkdevWrite, BlockFactorsAndRingSizes) {
  struct Case {
    unsigned factor;
    int nblks;
  } cases[] = {{1, 512}, {20, 25}, {600, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.factor);
    size_t bs = c.factor * 512;
    // Enough for the ring to wrap several times, in uneven pieces.
    std::string data = pattern(bs * 3 * static_cast<size_t>(c.nblks) + 77, c.factor);
    std::string vol = write_stream(c.factor, [&](BKDEV& d) {
      EXPECT_EQ(d.nblks(), c.nblks);
      for (size_t off = 0; off < data.size();) {
        unsigned n = static_cast<unsigned>(std::min<size_t>(data.size() - off, 1 + off % 3001));
        ASSERT_EQ(d.write(data.data() + off, n), 1);
        off += n;
      }
      EXPECT_EQ(d.logoff(), data.size());
    });
    size_t blocks = check_blocks(vol, bs, 0);
    EXPECT_EQ(blocks, (data.size() + bs - 13) / (bs - 12));
    EXPECT_EQ(unblock(vol, bs).substr(0, data.size()), data);
  }
}

TEST(BkdevWrite, IntegersAndStrings) {
  std::string vol = write_stream(1, [](BKDEV& d) {
    d.writePRInt16(0x0102);
    d.writePRInt32(0x03040506);
    d.writestring("ab");
    d.writestring("");
    EXPECT_EQ(d.writestring(std::string(70000, 'x').c_str()), 0);
  });
  const char want[] = {1, 2, 3, 4, 5, 6, 0, 2, 'a', 'b', 0, 0};
  EXPECT_EQ(vol.substr(12, sizeof want), std::string(want, sizeof want));
  EXPECT_EQ(vol[12 + sizeof want], 0);  // nothing of the refused string
}

// ---------------------------------------------------------------------------
// A full medium.  The fault hook models a medium with room for a number of
// bytes: a write beyond it is cut short, the next one fails with ENOSPC.  A
// tape stand-in lets plain files take the medium-change path.

std::atomic<long> g_room{-1};  // bytes the medium still takes; -1: no limit

int room_hook(fs_op op, const char*, size_t* count) {
  if (op != fs_op::write) return 0;
  long room = g_room.load();
  if (room < 0) return 0;
  if (room == 0) return ENOSPC;
  if (static_cast<long>(*count) > room) *count = static_cast<size_t>(room);
  g_room = room - static_cast<long>(*count);
  return 0;
}

std::set<int> g_tapes;
int fake_is_tape(int fd) { return g_tapes.count(fd) ? 1 : 0; }
int fake_ok(int) { return 0; }
int fake_position(int, int64_t) { return -1; }
int fake_mark(int, int) { return 0; }
const BkTapeOps fake_tape = {fake_is_tape, fake_ok, fake_position, fake_mark};

struct Volumes {
  std::vector<std::string> paths;
  size_t next = 1;
  std::vector<int> opened;
  int calls = 0;
  prompttape_type last = blanktape;
};

int next_volume(prompttape_type type, void* cd) {
  auto* v = static_cast<Volumes*>(cd);
  v->calls++;
  v->last = type;
  g_room = -1;  // the new medium has room
  if (v->next >= v->paths.size()) return -1;
  int fd = open(v->paths[v->next++].c_str(), type == blanktape ? O_RDWR | O_CREAT | O_TRUNC : O_RDONLY, 0600);
  g_tapes.insert(fd);
  v->opened.push_back(fd);
  return fd;
}

class BkdevMedium : public testing::Test {
 protected:
  void SetUp() override {
    old_ops_ = bktape_set_ops(&fake_tape);
    old_hook_ = fs_set_fault_hook(room_hook);
  }
  void TearDown() override {
    fs_set_fault_hook(old_hook_);
    bktape_set_ops(old_ops_);
    g_room = -1;
    g_tapes.clear();
  }
  const BkTapeOps* old_ops_ = nullptr;
  fs_fault_hook old_hook_ = nullptr;
};

TEST_F(BkdevMedium, FullVolumeContinuesOnTheNextAndReadsBackAcross) {
  for (bool partial : {false, true}) {
    SCOPED_TRACE(partial ? "partial block at the end of volume 1" : "clean end of volume 1");
    TempDir dir;
    Volumes w;
    w.paths = {dir.path() + "/v1", dir.path() + "/v2"};
    const size_t bs = 512;
    std::string data = pattern(bs * 40, 7);
    int fd = open(w.paths[0].c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    g_tapes.insert(fd);
    g_room = static_cast<long>(9 * bs + (partial ? bs / 2 : 0));  // room for 9 blocks (and a half)
    {
      BKDEV dev(fd, O_RDWR, 1, next_volume, &w);
      ASSERT_EQ(dev.write(data.data(), static_cast<unsigned>(data.size())), 1);
      ASSERT_EQ(dev.finish(), 1);
    }
    EXPECT_EQ(w.calls, 1);
    EXPECT_EQ(w.last, blanktape);
    std::string v1 = read_text_file(w.paths[0]), v2 = read_text_file(w.paths[1]);
    // Volume 1 holds blocks 0-8 (and maybe part of 9); volume 2 starts again
    // with block 9.
    std::string v1whole = v1.substr(0, v1.size() / bs * bs);
    EXPECT_EQ(check_blocks(v1whole, bs, 0), 9u);
    EXPECT_EQ(v1.size(), partial ? 9 * bs + bs / 2 : 9 * bs);
    size_t n2 = check_blocks(v2, bs, 9);
    EXPECT_EQ(9 + n2, (data.size() + bs - 13) / (bs - 12));

    // Reading starts on volume 1 and asks for volume 2 at its end.
    Volumes r;
    r.paths = w.paths;
    int rfd = open(r.paths[0].c_str(), O_RDONLY);
    g_tapes.insert(rfd);
    BKDEV in(rfd, O_RDONLY, 1, next_volume, &r);
    ASSERT_EQ(in.error(), 0);
    std::string back(data.size(), '\0');
    ASSERT_EQ(in.read(back.data(), static_cast<unsigned>(back.size())), 1);
    EXPECT_EQ(back, data);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.last, nexttape);
    EXPECT_EQ(in.firstBlkno(), 9u);
    close(rfd);
    for (int f : r.opened) close(f);
    for (int f : w.opened) close(f);
  }
}

TEST_F(BkdevMedium, PlainFileFullCancelsTheBackup) {
  TempDir dir;
  std::string path = dir.path() + "/v";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);  // not a tape
  g_room = 2 * 512;
  // More than the ring holds, so the main thread must meet the failure.
  std::string data = pattern(500 * 600);
  CaptureStderr();
  int wrote, finished, err;
  {
    BKDEV dev(fd, O_RDWR, 1, next_volume, nullptr);
    wrote = 1;
    for (size_t off = 0; off < data.size() && wrote; off += 100) wrote = dev.write(data.data() + off, 100);
    finished = dev.finish();
    err = dev.error();
  }
  std::string log = GetCapturedStderr();
  close(fd);
  EXPECT_EQ(wrote, 0);
  EXPECT_EQ(finished, 0);
  EXPECT_EQ(err, 1);
  EXPECT_NE(log.find("device full: No space left on device"), std::string::npos) << log;
  EXPECT_NE(log.find("Backup cancelled: No space left on device"), std::string::npos) << log;
}

TEST_F(BkdevMedium, FailureOfTheLastBlocksShowsInFinish) {
  // Everything fits in the ring; the medium fills while it drains.
  TempDir dir;
  std::string path = dir.path() + "/v";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  g_room = 8 * 512;                     // the 8 blocks handed over during write() fit
  std::string data = pattern(512 * 8);  // 9 blocks: the last goes at finish
  CaptureStderr();
  BKDEV dev(fd, O_RDWR, 1, nullptr, nullptr);
  EXPECT_EQ(dev.write(data.data(), static_cast<unsigned>(data.size())), 1);
  EXPECT_EQ(dev.finish(), 0);
  EXPECT_EQ(dev.finish(), 0);
  GetCapturedStderr();
  close(fd);
}

// ---------------------------------------------------------------------------
// Who writes the blocks.  Without a writer thread (a file or a pipe) the
// blocks collect in the ring and go out a ring at a time; a tape keeps its
// writer thread and one block per write.  The stream is the same either way.

std::mutex g_writes_mu;
std::vector<size_t> g_writes;  // sizes of the writes seen by the hook

int record_writes(fs_op op, const char*, size_t* count) {
  if (op == fs_op::write) {
    std::lock_guard<std::mutex> g(g_writes_mu);
    g_writes.push_back(*count);
  }
  return 0;
}

std::vector<size_t> take_writes() {
  std::lock_guard<std::mutex> g(g_writes_mu);
  return std::exchange(g_writes, {});
}

// Writes data in uneven pieces through a device of factor factor on fd.
void fill(BKDEV& d, const std::string& data) {
  for (size_t off = 0; off < data.size();) {
    unsigned n = static_cast<unsigned>(std::min<size_t>(data.size() - off, 1 + off % 4099));
    ASSERT_EQ(d.write(data.data() + off, n), 1);
    off += n;
  }
}

// The bytes a device writes into a pipe, read by another thread.
std::string through_pipe(unsigned factor, BkWriter writer, const std::string& data, bool* threaded) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  {
    BKDEV dev(p[1], O_RDWR, factor, nullptr, nullptr, writer);
    *threaded = dev.threaded();
    fill(dev, data);
    EXPECT_EQ(dev.finish(), 1);
  }
  close(p[1]);
  reader.join();
  close(p[0]);
  return got;
}

std::string through_file(unsigned factor, BkWriter writer, const std::string& data, bool* threaded) {
  TempDir dir;
  std::string path = dir.path() + "/vol";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  {
    BKDEV dev(fd, O_RDWR, factor, nullptr, nullptr, writer);
    *threaded = dev.threaded();
    fill(dev, data);
    EXPECT_EQ(dev.finish(), 1);
  }
  close(fd);
  return read_text_file(path);
}

class BkdevWriter : public testing::Test {
 protected:
  void SetUp() override {
    take_writes();
    old_hook_ = fs_set_fault_hook(record_writes);
  }
  void TearDown() override {
    fs_set_fault_hook(old_hook_);
    take_writes();
  }
  fs_fault_hook old_hook_ = nullptr;
};

TEST_F(BkdevWriter, FilesAndPipesGetTheBytesOfTheWriterThread) {
  // Ring sizes of 512, 25 and 1 slots; streams that wrap the ring several
  // times and end part-way into a slot used before, so the filler after the
  // last stream byte comes from the slot's earlier block.
  for (unsigned factor : {1u, 20u, 600u}) {
    SCOPED_TRACE(factor);
    const size_t bs = factor * 512;
    const size_t nblks = std::max<size_t>(1, BK_RING_BYTES / bs);
    std::string data = pattern((bs - 12) * (nblks * 3 + 2) + 77, factor + 3);
    bool threaded = false;
    std::string want = through_file(factor, BkWriter::thread, data, &threaded);
    EXPECT_TRUE(threaded);
    ASSERT_EQ(check_blocks(want, bs, 0), nblks * 3 + 3);
    EXPECT_EQ(unblock(want, bs).substr(0, data.size()), data);
    take_writes();

    std::string file = through_file(factor, BkWriter::automatic, data, &threaded);
    EXPECT_FALSE(threaded);
    EXPECT_TRUE(file == want) << "the file differs from the threaded writer's";
    // A whole ring in one write each time it fills, then what is left.
    const size_t total = nblks * 3 + 3;
    std::vector<size_t> ring(total / nblks, nblks * bs);
    if (total % nblks) ring.push_back(total % nblks * bs);
    EXPECT_EQ(take_writes(), ring);

    std::string piped = through_pipe(factor, BkWriter::automatic, data, &threaded);
    EXPECT_FALSE(threaded);
    EXPECT_TRUE(piped == want) << "the pipe's bytes differ from the threaded writer's";
    EXPECT_EQ(take_writes(), ring);

    std::string piped_threaded = through_pipe(factor, BkWriter::thread, data, &threaded);
    EXPECT_TRUE(threaded);
    EXPECT_TRUE(piped_threaded == want);
  }
}

TEST(BkdevWriterPipe, APipeIsGrownToHoldAWholeRing) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int before = fcntl(p[1], F_GETPIPE_SZ);
  ASSERT_LT(before, static_cast<int>(BK_RING_BYTES));
  {
    BKDEV dev(p[1], O_RDWR, 20, nullptr, nullptr);
    EXPECT_GE(fcntl(p[1], F_GETPIPE_SZ), static_cast<int>(BK_RING_BYTES));
  }
  close(p[0]);
  close(p[1]);
}

TEST_F(BkdevWriter, ATapeKeepsItsWriterThreadAndFixedRecords) {
  const BkTapeOps* old_ops = bktape_set_ops(&fake_tape);
  TempDir dir;
  std::string path = dir.path() + "/tape";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  g_tapes.insert(fd);
  std::string data = pattern(500 * 40 + 9);
  {
    BKDEV dev(fd, O_RDWR, 1, nullptr, nullptr);
    EXPECT_TRUE(dev.threaded());
    fill(dev, data);
    EXPECT_EQ(dev.finish(), 1);
  }
  close(fd);
  g_tapes.clear();
  bktape_set_ops(old_ops);
  EXPECT_EQ(take_writes(), std::vector<size_t>(41, 512));
  EXPECT_EQ(unblock(read_text_file(path), 512).substr(0, data.size()), data);
}

TEST(BkdevWriterFailure, AClosedPipeFailsTheWriteAndIsLogged) {
  // More than a pipe holds, so the write must meet the missing reader; the
  // process must see the error, not die of SIGPIPE.
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);
  std::string data = pattern(4 * BK_RING_BYTES);
  for (BkWriter writer : {BkWriter::automatic, BkWriter::thread}) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    CaptureStderr();
    int wrote = 1, finished, err;
    {
      BKDEV dev(p[1], O_RDWR, 20, nullptr, nullptr, writer);
      for (size_t off = 0; off < data.size() && wrote; off += 1000) wrote = dev.write(data.data() + off, 1000);
      finished = dev.finish();
      err = dev.error();
    }
    std::string log = GetCapturedStderr();
    close(p[1]);
    EXPECT_EQ(wrote, 0);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(err, 1);
    EXPECT_NE(log.find("Error writing block: Broken pipe"), std::string::npos) << log;
  }
  sigaction(SIGPIPE, &old, nullptr);
}

// ---------------------------------------------------------------------------
// Reading.

struct ReadCase {
  std::string stream;
  size_t bs;
};

// A reading device over a file holding bytes.
class FileReader {
 public:
  FileReader(const std::string& bytes, unsigned factor) {
    path_ = dir_.path() + "/r";
    write_text_file(path_, bytes);
    fd_ = open(path_.c_str(), O_RDONLY);
    dev_ = std::make_unique<BKDEV>(fd_, O_RDONLY, factor, nullptr, nullptr);
  }
  ~FileReader() {
    dev_.reset();
    close(fd_);
  }
  BKDEV& dev() { return *dev_; }

 private:
  TempDir dir_;
  std::string path_;
  int fd_;
  std::unique_ptr<BKDEV> dev_;
};

std::string blocks(uint64_t first, const std::string& data, size_t bs) {
  std::string out;
  size_t log = bs - 12;
  for (size_t off = 0, n = first; off < data.size(); off += log, n++) out += make_block(n, data.substr(off, log), bs);
  return out;
}

TEST(BkdevRead, DamagedPrefixesAreRejected) {
  const size_t bs = 512;
  std::string data = pattern(500 * 3);
  {
    std::string s = blocks(0, data, bs);
    s[bs + 1] ^= 0x10;  // check value of block 1
    CaptureStderr();
    FileReader r(s, 1);
    std::string buf(1000, '\0');
    EXPECT_EQ(r.dev().read(buf.data(), 400), 1);
    EXPECT_EQ(r.dev().read(buf.data(), 400), 0);
    EXPECT_EQ(r.dev().read(buf.data(), 1), 0);  // the failure sticks
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("Incorrect checksum for block 1"), std::string::npos) << log;
  }
  {
    // Numbers 7, 9: the reader accepts 7 as the base, then wants 8.
    std::string s = make_block(7, data.substr(0, 500), bs) + make_block(9, data.substr(500, 500), bs);
    CaptureStderr();
    FileReader r(s, 1);
    EXPECT_EQ(r.dev().blkno(), 7u);
    std::string buf(1000, '\0');
    EXPECT_EQ(r.dev().read(buf.data(), 1000), 0);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("Incorrect block number read (9). Should have been 8"), std::string::npos) << log;
  }
}

TEST(BkdevRead, ALaterVolumeCountsFromItsFirstBlock) {
  const size_t bs = 512;
  std::string data = pattern(500 * 2);
  FileReader r(blocks(5, data, bs), 1);
  ASSERT_EQ(r.dev().error(), 0);
  EXPECT_EQ(r.dev().logoff(), 5u * 500);
  std::string buf(1000, '\0');
  ASSERT_EQ(r.dev().read(buf.data(), 1000), 1);
  EXPECT_EQ(buf, data);
  // Positions are absolute stream offsets.
  ASSERT_EQ(r.dev().seek(5 * 500 + 10), 1);
  char c;
  ASSERT_EQ(r.dev().read(&c, 1), 1);
  EXPECT_EQ(c, data[10]);
  CaptureStderr();
  EXPECT_EQ(r.dev().seek(100), 0);  // before this volume
  GetCapturedStderr();
}

TEST(BkdevRead, TruncatedAndGarbageStreamsFail) {
  const size_t bs = 512;
  std::string good = blocks(0, pattern(1500), bs);
  struct Case {
    const char* what;
    std::string bytes;
    const char* msg;
  } cases[] = {
      {"empty", "", "Restore cancelled: end of volume"},
      {"half a block", good.substr(0, 300), "Restore cancelled: end of volume"},
      {"garbage", pattern(bs * 2, 99), "Incorrect checksum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CaptureStderr();
    FileReader r(c.bytes, 1);
    EXPECT_EQ(r.dev().error(), 1);
    char b[10];
    EXPECT_EQ(r.dev().read(b, 10), 0);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find(c.msg), std::string::npos) << log;
  }
  // A stream cut inside its third block reads two blocks, then fails.
  CaptureStderr();
  FileReader r(good.substr(0, 2 * bs + 100), 1);
  std::string buf(1500, '\0');
  EXPECT_EQ(r.dev().read(buf.data(), 1000), 1);
  EXPECT_EQ(r.dev().read(buf.data(), 1), 0);
  std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Restore cancelled"), std::string::npos) << log;
}

TEST(BkdevRead, SeekOnAFileForwardAndBackward) {
  const size_t bs = 512;
  std::string data = pattern(500 * 10);
  FileReader r(blocks(0, data, bs), 1);
  for (uint64_t off : {4321u, 12u, 499u, 500u, 4999u, 0u, 2500u}) {
    SCOPED_TRACE(off);
    ASSERT_EQ(r.dev().seek(off), 1);
    EXPECT_EQ(r.dev().logoff(), off);
    char c;
    ASSERT_EQ(r.dev().read(&c, 1), 1);
    EXPECT_EQ(c, data[off]);
  }
  // Inside the current block only the position moves.
  ASSERT_EQ(r.dev().seek(2600), 1);
  EXPECT_EQ(r.dev().blkno(), 5u);
  CaptureStderr();
  EXPECT_EQ(r.dev().seek(6000), 0);  // beyond the end
  std::string log = GetCapturedStderr();
  EXPECT_NE(log.find("Error seeking file"), std::string::npos) << log;
}

TEST(BkdevRead, SeekOnAPipeOnlyGoesForward) {
  const size_t bs = 512;
  std::string data = pattern(500 * 10);
  std::string s = blocks(0, data, bs);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread feeder([&] {
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = write(p[1], s.data() + off, std::min<size_t>(777, s.size() - off));
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(p[1]);
  });
  {
    BKDEV dev(p[0], O_RDONLY, 1, nullptr, nullptr);
    ASSERT_EQ(dev.error(), 0);
    ASSERT_EQ(dev.seek(10), 1);  // same block
    char c;
    ASSERT_EQ(dev.read(&c, 1), 1);
    EXPECT_EQ(c, data[10]);
    ASSERT_EQ(dev.seek(3210), 1);  // skips blocks
    ASSERT_EQ(dev.read(&c, 1), 1);
    EXPECT_EQ(c, data[3210]);
    CaptureStderr();
    EXPECT_EQ(dev.seek(100), 0);
    std::string log = GetCapturedStderr();
    EXPECT_NE(log.find("Error: cannot seek backwards on a pipe"), std::string::npos) << log;
    // The refused seek left the stream where it was.
    ASSERT_EQ(dev.read(&c, 1), 1);
    EXPECT_EQ(c, data[3211]);
    std::string rest(data.size() - 3212, '\0');
    ASSERT_EQ(dev.read(rest.data(), static_cast<unsigned>(rest.size())), 1);
    EXPECT_EQ(rest, data.substr(3212));
  }
  close(p[0]);
  feeder.join();
}

TEST(BkdevRead, ByteAtATimeMatchesBulk) {
  const size_t bs = 1024;
  std::string data = pattern(1012 * 3 + 5);
  FileReader r(blocks(0, data, bs), 2);
  std::string got;
  char c;
  for (size_t i = 0; i < data.size(); i++) {
    ASSERT_EQ(r.dev().read(&c, 1), 1) << i;
    got += c;
  }
  EXPECT_EQ(got, data);
}

// ---------------------------------------------------------------------------
// Tapes: files stand in for volumes, spacing records with lseek.

constexpr size_t kTapeBlock = 512;

int file_position(int fd, int64_t n) {
  off_t cur = lseek(fd, 0, SEEK_CUR);
  off_t end = lseek(fd, 0, SEEK_END);
  off_t target = cur + static_cast<off_t>((n - 1) * static_cast<int64_t>(kTapeBlock));
  if (target < 0 || target >= end) {
    lseek(fd, cur, SEEK_SET);
    return 2;  // on another volume
  }
  lseek(fd, target, SEEK_SET);
  return 0;
}
int always_tape(int) { return 1; }
const BkTapeOps file_tape = {always_tape, fake_ok, file_position, fake_mark};

struct Shelf {
  std::vector<std::string> paths;
  size_t cur = 0;
  std::vector<prompttape_type> asked;
  std::vector<int> fds;
};

int swap_volume(prompttape_type type, void* cd) {
  auto* s = static_cast<Shelf*>(cd);
  s->asked.push_back(type);
  if (type == prevtape) {
    if (s->cur == 0) return -1;
    s->cur--;
  } else {
    if (s->cur + 1 >= s->paths.size()) return -1;
    s->cur++;
  }
  int fd = open(s->paths[s->cur].c_str(), O_RDONLY);
  s->fds.push_back(fd);
  return fd;
}

class BkdevTape : public testing::Test {
 protected:
  void SetUp() override { old_ = bktape_set_ops(&file_tape); }
  void TearDown() override { bktape_set_ops(old_); }
  const BkTapeOps* old_ = nullptr;
};

TEST_F(BkdevTape, SeeksAcrossVolumesBothWays) {
  TempDir dir;
  const size_t log = kTapeBlock - 12;
  std::string data = pattern(log * 12);
  Shelf shelf;
  shelf.paths = {dir.path() + "/t1", dir.path() + "/t2"};
  write_text_file(shelf.paths[0], blocks(0, data.substr(0, log * 6), kTapeBlock));
  write_text_file(shelf.paths[1], blocks(6, data.substr(log * 6), kTapeBlock));
  int fd = open(shelf.paths[0].c_str(), O_RDONLY);
  shelf.fds.push_back(fd);
  {
    BKDEV dev(fd, O_RDONLY, 1, swap_volume, &shelf);
    ASSERT_EQ(dev.error(), 0);
    for (uint64_t off :
         {log * 3 + 7, log * 9 + 1, log * 11 + 5, log * 6, log * 2 + 3, log * 5 + 10, 0ul, log * 7 + 2, log + 1}) {
      SCOPED_TRACE(off);
      ASSERT_EQ(dev.seek(off), 1);
      char c;
      ASSERT_EQ(dev.read(&c, 1), 1);
      EXPECT_EQ(c, data[off]);
    }
  }
  EXPECT_EQ(shelf.asked, (std::vector<prompttape_type>{nexttape, prevtape, nexttape, prevtape}));
  for (int f : shelf.fds) close(f);
}

TEST_F(BkdevTape, ARepeatedBlockAtTheStartOfTheNextVolumeIsSkipped) {
  // Volume 1 got block 4 whole although the drive reported the end of the
  // medium, so volume 2 starts with it again.
  TempDir dir;
  const size_t log = kTapeBlock - 12;
  std::string data = pattern(log * 8);
  Shelf shelf;
  shelf.paths = {dir.path() + "/t1", dir.path() + "/t2"};
  write_text_file(shelf.paths[0], blocks(0, data.substr(0, log * 5), kTapeBlock));
  write_text_file(shelf.paths[1], blocks(4, data.substr(log * 4), kTapeBlock));
  int fd = open(shelf.paths[0].c_str(), O_RDONLY);
  shelf.fds.push_back(fd);
  {
    BKDEV dev(fd, O_RDONLY, 1, swap_volume, &shelf);
    std::string back(data.size(), '\0');
    ASSERT_EQ(dev.read(back.data(), static_cast<unsigned>(back.size())), 1);
    EXPECT_EQ(back, data);
  }
  // A volume that does not continue the stream is refused.
  write_text_file(shelf.paths[1], blocks(7, data.substr(0, log), kTapeBlock));
  shelf.cur = 0;
  int fd2 = open(shelf.paths[0].c_str(), O_RDONLY);
  shelf.fds.push_back(fd2);
  CaptureStderr();
  {
    BKDEV dev(fd2, O_RDONLY, 1, swap_volume, &shelf);
    std::string back(log * 6, '\0');
    EXPECT_EQ(dev.read(back.data(), static_cast<unsigned>(back.size())), 0);
  }
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("Incorrect block number read (7). Should have been 5"), std::string::npos) << err;
  for (int f : shelf.fds) close(f);
}

}  // namespace
