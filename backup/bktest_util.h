// Helpers shared by the backup unit tests: writing a stream through a
// device into memory, hand-built blocks, reading a volume back, and the
// fixture of the tests that run against a store in a temporary directory.
//
// Failures are reported as GoogleTest failures of the running test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "backup/bkdev.h"
#include "backup/bkobj.h"
#include "backup/bktest_store.h"
#include "backup/bkutils.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/test_util.h"
#include "store/mboxlist.h"

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

// A small message: headers with the subject, then body letters and CR LF.
inline std::string msg_text(const std::string& subject, size_t body = 40) {
  std::string m = "From: a@example.com\r\nTo: b@example.com\r\nSubject: " + subject +
                  "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n";
  for (size_t i = 0; i < body; i++) m += static_cast<char>('a' + i % 26);
  return m + "\r\n";
}

// A volume read back: its header and its records in order.
struct Volume {
  Header header;
  std::vector<BkRecord> records;
  bool ended = false;  // the end marker was read
};

// Reads a volume file of block factor factor through a reading device.
inline Volume read_volume(const std::string& path, unsigned factor = 20) {
  Volume v;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  {
    BKDEV dev(fd, O_RDONLY, factor, nullptr, nullptr);
    EXPECT_EQ(dev.error(), 0);
    char hb[HEADER_SIZE];
    EXPECT_EQ(dev.read(hb, sizeof hb), 1);
    EXPECT_EQ(header_decode(hb, sizeof hb, &v.header), 1);
    BkRecord r;
    std::string err;
    int got;
    while ((got = bkobj_read_record(dev, &r, &err)) == 1) v.records.push_back(r);
    v.ended = got == 0;
  }
  close(fd);
  return v;
}

// The ids of a volume's records in order.
inline std::vector<std::string> ids_of(const Volume& v) {
  std::vector<std::string> ids;
  for (const BkRecord& r : v.records) ids.push_back(r.id);
  return ids;
}

// A configuration in a temporary directory, started with the mailbox list
// as the store daemon would (the backup context joins the list), stopped
// again after the test.  With partitions (the default) the configuration
// also names a server root with its config/ folder and two partitions,
// "primary" in p1/ and "second" in p2/, and log lines below critical are
// dropped; without, only the store directory is named and the log level is
// left alone.  extra_, set before SetUp, is appended to the configuration.
class BkStoreTest : public testing::Test {
 protected:
  explicit BkStoreTest(const char* program, bool partitions = true) : program_(program), partitions_(partitions) {}

  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    conf_ = path("orv.conf");
    std::string text =
        "local.store.dir = " + path("store") + "\nlocal.servername = mailhost\nlocal.log.target = stderr\n";
    if (partitions_) {
      mkdir(path("config").c_str(), 0700);
      text += "local.serverroot = " + dir_.path() + "\nstore.partition.primary.path = " + path("p1") +
              "\nstore.partition.second.path = " + path("p2") + "\n";
    }
    write_text_file(conf_, text + extra_);
    setenv(ORV_CONFIG_ENV, conf_.c_str(), 1);
    ASSERT_NO_FATAL_FAILURE(reinit());
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
  }
  void TearDown() override {
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
    unsetenv(ORV_CONFIG_ENV);
    bvlog_to_stderr(LOG_SEV_DEBUG);
  }

  // Starts the configuration again, as after a backup or restore context
  // freed it.
  void reinit() {
    ASSERT_EQ(configmsg_init(0, 16, program_), 0);
    if (partitions_) bvlog_to_stderr(LOG_SEV_CRIT);
  }

  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

  // Adds a message to folder (see bkt_append) and remembers its file for
  // file(); its uid.
  uint32_t add(const char* folder, const std::string& text, time_t date = 1700000000, uint32_t flags = 0,
               const std::string& linkfrom = "") {
    uint32_t uid = 0;
    std::string p;
    EXPECT_EQ(bkt_append(folder, text, date, flags, &uid, linkfrom, &p), 0) << folder;
    files_[std::string(folder) + "/" + std::to_string(uid)] = p;
    return uid;
  }
  // The file of a message add() made.
  std::string file(const std::string& folder, uint32_t uid) { return files_[folder + "/" + std::to_string(uid)]; }

  TempDir dir_;
  std::string conf_;
  std::string extra_;

 private:
  const char* program_;
  bool partitions_;
  std::map<std::string, std::string> files_;  // "folder/uid" -> message file
};
