// Bounded randomized input for the record reader: mutations of valid
// streams and plain garbage through the fuzz entry point.  The seed is
// printed so a failure can be replayed (BK_FUZZ_SEED).
#include "backup/fuzz_records.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "backup/bkobj.h"
#include "backup/bktest_util.h"
#include "common/bvlog.h"

namespace {

// A valid record stream: a few records of each kind and the end marker.
std::string seed_stream() {
  std::string s;
  auto rec = [&](const std::string& id, uint16_t type, const std::string& info, const std::string& data) {
    char b[8];
    writePRInt16(b, static_cast<uint16_t>(id.size()));
    s.append(b, 2);
    s += id;
    writePRInt16(b, type);
    writePRInt32(b + 2, 1700000000);
    writePRInt16(b + 6, static_cast<uint16_t>(info.size()));
    s.append(b, 8);
    s += info;
    writePRInt32(b, static_cast<uint32_t>(data.size()));
    s.append(b, 4);
    s += data;
  };
  char mi[MSGINFO_SIZE] = {}, mb[MBXINFO_SIZE] = {}, ref[REFERENCE_SIZE] = {};
  Vdata parts;
  parts += Vdata("joe\tlrs\t");
  parts += Vdata("");
  rec("/", 0, "", "");
  rec("/primary/user", 2, ".*", "");
  rec("/primary/user/joe/INBOX", 4, std::string(mb, sizeof mb), std::string(parts.bytes(), parts.length()));
  rec("/primary/user/joe/INBOX/1", 5, std::string(mi, sizeof mi), "Subject: x\r\n\r\nbody\r\n");
  rec("/primary/user/ann/INBOX/1", 6, std::string(mi, sizeof mi), std::string(ref, sizeof ref));
  s += std::string(BK_END_MARKER, '\0');
  return s;
}

TEST(FuzzRecords, MutatedAndRandomInputFailCleanly) {
  const char* env = std::getenv("BK_FUZZ_SEED");
  unsigned seed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10)) : std::random_device{}();
  RecordProperty("seed", static_cast<int>(seed));
  SCOPED_TRACE("BK_FUZZ_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::string base = seed_stream();
  // The valid stream must read back whole by both paths.
  for (uint8_t mode : {0, 1}) {
    std::string in = std::string(1, static_cast<char>(mode)) + base;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  }
  bvlog_to_stderr(LOG_SEV_EMERG);  // the damaged inputs log a lot
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int runs = 0;
  for (; runs < 200000 && std::chrono::steady_clock::now() < deadline; runs++) {
    std::string in;
    switch (rng() % 4) {
      case 0: {  // random bytes
        in.resize(rng() % 2048);
        for (char& c : in) c = static_cast<char>(rng());
        break;
      }
      default: {  // a mutated valid stream
        in = base;
        int edits = 1 + static_cast<int>(rng() % 8);
        for (int e = 0; e < edits && !in.empty(); e++) {
          size_t at = rng() % in.size();
          switch (rng() % 4) {
            case 0:
              in[at] = static_cast<char>(rng());
              break;
            case 1:
              in[at] = static_cast<char>(in[at] ^ (1 << (rng() % 8)));
              break;
            case 2:
              in.resize(at);
              break;
            default:
              in.insert(at, 1 + rng() % 5, static_cast<char>(rng() % 2 ? 0xff : 0));
              break;
          }
        }
        break;
      }
    }
    in.insert(in.begin(), static_cast<char>(rng()));
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  }
  bvlog_to_stderr(LOG_SEV_DEBUG);
  EXPECT_GT(runs, 100);
}

}  // namespace
