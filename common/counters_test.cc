#include "common/counters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_util.h"

namespace {

// A peer address as the server would see it.
struct Peer {
  sockaddr_storage ss{};
  const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&ss); }
};

Peer peer(const char* text) {
  Peer p;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&p.ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&p.ss);
  if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
    v6->sin6_family = AF_INET6;
  }
  return p;
}

std::unique_ptr<SharedCounters> open_ok(const std::string& path, unsigned nslots, unsigned entries = 64) {
  std::string err;
  auto c = SharedCounters::open(path, nslots, entries, &err);
  EXPECT_TRUE(c) << err;
  return c;
}

// Runs body in a child process bounded by an alarm; the child's exit status (128 + signal when killed).
template <typename F>
pid_t spawn(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(20);
    _exit(body());
  }
  return pid;
}
int status_of(pid_t pid) {
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TEST(Counters, ProcessesUpdatingAtOnceGiveExactTotals) {
  TempDir dir;
  const std::string path = dir / "counters/popstat";
  auto c = open_ok(path, 5);
  ASSERT_TRUE(c);
  c->reset(1000);
  constexpr int kChildren = 4, kRounds = 20000;
  std::vector<pid_t> kids;
  for (int i = 0; i < kChildren; ++i) {
    kids.push_back(spawn([&, i] {
      std::string err;
      auto mine = SharedCounters::open(path, 5, 64, &err);
      if (!mine) return 2;
      int slot = mine->claim_slot(getpid());
      if (slot < 0) return 3;
      for (int r = 0; r < kRounds; ++r) {
        mine->admitted(slot, 2000 + r);
        mine->add(slot, kNumFailedLogins, 1);
        mine->ended(slot);
      }
      // Child i leaves i + 1 sessions open, as a process killed while serving would.
      for (int r = 0; r <= i; ++r) mine->admitted(slot, 2000);
      return 0;
    }));
  }
  for (pid_t k : kids) ASSERT_EQ(status_of(k), 0);
  PopStatSnapshot s = c->snapshot();
  const int open_left = 1 + 2 + 3 + 4;
  EXPECT_EQ(s.value[kNumConnections], kChildren * kRounds + open_left);
  EXPECT_EQ(s.value[kNumFailedLogins], kChildren * kRounds);
  EXPECT_EQ(s.value[kNumCurrentConnections], open_left);
  EXPECT_EQ(s.live_slots, 4u);
  EXPECT_GE(s.value[kMaxConnections], open_left);
  EXPECT_LE(s.value[kMaxConnections], kChildren * 5);
  EXPECT_EQ(s.value[kCurrentStartTime], 1000);

  // The supervisor releases the dead processes: nothing stays open, the totals stay.
  for (pid_t k : kids) c->release_pid(k);
  s = c->snapshot();
  EXPECT_EQ(c->current(), 0);
  EXPECT_EQ(s.value[kNumCurrentConnections], 0);
  EXPECT_EQ(s.live_slots, 0u);
  EXPECT_EQ(s.value[kNumConnections], kChildren * kRounds + open_left);
}

TEST(Counters, ProcessKilledHoldingTheAddressLockBlocksNobody) {
  TempDir dir;
  const std::string path = dir / "popstat";
  auto c = open_ok(path, 3);
  ASSERT_TRUE(c);
  c->reset(1000);
  const int me = c->claim_slot(getpid());
  ASSERT_EQ(me, 0);
  const Peer a = peer("192.0.2.7");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t victim = spawn([&] {
    int slot = c->claim_slot(getpid());
    for (int i = 0; i < 2; ++i) {
      c->admitted(slot, 1500);
      if (!c->ip_acquire(slot, a.sa(), 0)) return 2;
    }
    c->test_hold_address_lock();
    (void)!write(ready[1], "x", 1);
    pause();
    return 0;
  });
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  kill(victim, SIGKILL);
  ASSERT_EQ(status_of(victim), 128 + SIGKILL);

  // Another process gets the lock (in a bounded child, so a hang fails instead of hanging).
  pid_t other = spawn([&] {
    std::string err;
    auto mine = SharedCounters::open(path, 3, 64, &err);
    int slot = mine ? mine->claim_slot(getpid()) : -1;
    if (slot < 0) return 2;
    bool third = mine->ip_acquire(slot, a.sa(), 3);
    bool fourth = mine->ip_acquire(slot, a.sa(), 3);
    mine->ip_release(slot, a.sa());
    return third && !fourth ? 0 : 1;
  });
  ASSERT_EQ(status_of(other), 0) << "another process could not use the address table";
  c->release_pid(other);

  EXPECT_EQ(c->ip_count(a.sa()), 2u);
  EXPECT_EQ(c->current(), 2);
  c->release_pid(victim);
  EXPECT_EQ(c->ip_count(a.sa()), 0u);
  EXPECT_EQ(c->current(), 0);
  EXPECT_TRUE(c->ip_acquire(me, a.sa(), 1));
  EXPECT_FALSE(c->ip_acquire(me, a.sa(), 1));
  EXPECT_EQ(c->snapshot().value[kNumConnections], 2);
}

TEST(Counters, ReleasedSlotIsReusedFromNothing) {
  TempDir dir;
  auto c = open_ok(dir / "popstat", 2);
  ASSERT_TRUE(c);
  c->reset(1000);
  const Peer a = peer("198.51.100.1");
  EXPECT_EQ(c->claim_slot(100), 0);
  EXPECT_EQ(c->claim_slot(101), 1);
  EXPECT_EQ(c->claim_slot(102), -1);
  c->admitted(1, 1100);
  c->admitted(1, 1101);
  ASSERT_TRUE(c->ip_acquire(1, a.sa(), 2));
  ASSERT_TRUE(c->ip_acquire(1, a.sa(), 2));
  ASSERT_FALSE(c->ip_acquire(0, a.sa(), 2));
  c->release_pid(4242);  // not a holder: nothing changes
  EXPECT_EQ(c->current(), 2);

  c->release_pid(101);
  EXPECT_EQ(c->current(), 0);
  EXPECT_EQ(c->claim_slot(102), 1);
  EXPECT_EQ(c->current(), 0);
  EXPECT_TRUE(c->ip_acquire(1, a.sa(), 2));
  EXPECT_TRUE(c->ip_acquire(0, a.sa(), 2));
  EXPECT_FALSE(c->ip_acquire(0, a.sa(), 2));
  c->admitted(1, 1200);
  PopStatSnapshot s = c->snapshot();
  EXPECT_EQ(s.value[kNumCurrentConnections], 1);
  EXPECT_EQ(s.value[kNumConnections], 3);
  EXPECT_EQ(s.value[kMaxConnections], 2);
  EXPECT_EQ(s.value[kLastConnectionTime], 1200);
  EXPECT_EQ(s.live_slots, 2u);
}

TEST(Counters, ResetKeepsTheHighWaterMarkAndFreesSlots) {
  TempDir dir;
  const std::string path = dir / "popstat";
  auto c = open_ok(path, 2);
  ASSERT_TRUE(c);
  c->reset(1000);
  int slot = c->claim_slot(100);
  for (int i = 0; i < 3; ++i) c->admitted(slot, 1100 + i);
  c->ended(slot);
  c->add(slot, kNumFailedConnections, 2);
  c->add(slot, kNumGoodLogins, 5);
  c->add(-1, kNumFailedLogins, 1);  // a process without a slot still counts totals
  ASSERT_TRUE(c->ip_acquire(slot, peer("10.0.0.1").sa(), 1));

  // What a second process (a reader) sees after the next start.
  c->reset(5000);
  std::string err;
  auto r = SharedCounters::open_readonly(path, &err);
  ASSERT_TRUE(r) << err;
  PopStatSnapshot s = r->snapshot();
  const int64_t expected[kPopCounterCount] = {5000, 0, 0, 0, 3, 0, 0, 0};
  for (int k = 0; k < kPopCounterCount; ++k) EXPECT_EQ(s.value[k], expected[k]) << kPopCounterNames[k];
  EXPECT_EQ(s.live_slots, 0u);
  EXPECT_EQ(c->claim_slot(200), 0);
  EXPECT_TRUE(c->ip_acquire(0, peer("10.0.0.1").sa(), 1));
  EXPECT_STREQ(kPopCounterNames[kMaxConnections], "maxConnections");
}

TEST(Counters, FileLayoutAndReaderRefusals) {
  TempDir dir;
  const std::string path = dir / "popstat";
  ASSERT_TRUE(open_ok(path, 3, 10));
  // 256-byte header, 64 bytes a slot, 24 an address entry; the magic opens it.
  const std::string bytes = read_text_file(path);
  ASSERT_EQ(bytes.size(), 256u + 3 * 64 + 10 * 24);
  EXPECT_EQ(bytes.substr(0, 8), std::string("ORVCNTR\0", 8));
  std::string err;
  auto ok = SharedCounters::open_readonly(path, &err);
  ASSERT_TRUE(ok) << err;
  EXPECT_EQ(ok->slots(), 3u);
  EXPECT_EQ(ok->address_entries(), 10u);

  std::string other_version = bytes;
  other_version[8] = 2;
  const struct {
    const char* name;
    std::string content;
    const char* why;
  } cases[] = {
      {"empty", "", "truncated"},
      {"short", bytes.substr(0, 100), "truncated"},
      {"cut", bytes.substr(0, bytes.size() - 1), "truncated"},
      {"garbage", std::string(4096, 'Z'), "not a counter file"},
      {"zeros", std::string(1024, '\0'), "not a counter file"},
      {"version", other_version, "version 2"},
  };
  for (const auto& tc : cases) {
    const std::string p = dir / tc.name;
    write_text_file(p, tc.content);
    err.clear();
    errno = 0;
    EXPECT_FALSE(SharedCounters::open_readonly(p, &err)) << tc.name;
    EXPECT_EQ(errno, EINVAL) << tc.name;
    EXPECT_NE(err.find(p), std::string::npos) << err;
    EXPECT_NE(err.find(tc.why), std::string::npos) << tc.name << ": " << err;
    // A writer lays a foreign file out afresh.
    auto w = SharedCounters::open(p, 2, 8, &err);
    ASSERT_TRUE(w) << err;
    EXPECT_TRUE(SharedCounters::open_readonly(p, &err)) << err;
  }
  errno = 0;
  EXPECT_FALSE(SharedCounters::open_readonly(dir / "absent", &err));
  EXPECT_EQ(errno, ENOENT);

  // A file with more slots than asked is kept; one with fewer is laid out again.
  auto c = open_ok(path, 3, 10);
  c->reset(1000);
  c->admitted(c->claim_slot(100), 1100);
  EXPECT_EQ(open_ok(path, 2, 10)->snapshot().value[kNumConnections], 1);
  auto bigger = open_ok(path, 4, 10);
  EXPECT_EQ(bigger->slots(), 4u);
  EXPECT_EQ(bigger->snapshot().value[kNumConnections], 0);
  // A process still attached to the old file goes on (it would die of SIGBUS on a cut file), apart.
  c->admitted(0, 1200);
  EXPECT_EQ(c->snapshot().value[kNumConnections], 2);
  EXPECT_EQ(bigger->snapshot().value[kNumConnections], 0);
}

TEST(Counters, AddressLimitsForIPv4AndIPv6) {
  TempDir dir;
  auto c = open_ok(dir / "popstat", 2);
  ASSERT_TRUE(c);
  c->reset(1000);
  const Peer v4 = peer("203.0.113.9"), mapped = peer("::ffff:203.0.113.9"), v4b = peer("203.0.113.10");
  const Peer v6 = peer("2001:db8::1"), v6b = peer("2001:db8::2");
  // Two processes share one count per address.
  EXPECT_TRUE(c->ip_acquire(0, v4.sa(), 2));
  EXPECT_TRUE(c->ip_acquire(1, mapped.sa(), 2));
  EXPECT_FALSE(c->ip_acquire(0, v4.sa(), 2));
  EXPECT_FALSE(c->ip_acquire(1, mapped.sa(), 2));
  EXPECT_TRUE(c->ip_acquire(0, v4b.sa(), 2));
  EXPECT_TRUE(c->ip_acquire(0, v6.sa(), 1));
  EXPECT_FALSE(c->ip_acquire(1, v6.sa(), 1));
  EXPECT_TRUE(c->ip_acquire(1, v6b.sa(), 1));
  EXPECT_EQ(c->ip_count(v4.sa()), 2u);
  EXPECT_EQ(c->ip_count(v6.sa()), 1u);
  c->ip_release(1, mapped.sa());
  EXPECT_TRUE(c->ip_acquire(0, v4.sa(), 2));
  EXPECT_EQ(c->ip_count(v4.sa()), 2u);
  // Unlimited still counts, so a lower limit set later applies at once.
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(c->ip_acquire(1, v6b.sa(), 0));
  EXPECT_EQ(c->ip_count(v6b.sa()), 6u);
  EXPECT_FALSE(c->ip_acquire(1, v6b.sa(), 6));
  // A local socket has no address to limit.
  Peer local;
  local.ss.ss_family = AF_UNIX;
  EXPECT_TRUE(c->ip_acquire(0, local.sa(), 1));
  EXPECT_TRUE(c->ip_acquire(0, local.sa(), 1));
  EXPECT_EQ(c->ip_count(local.sa()), 0u);
  // A process without a slot is admitted uncounted.
  EXPECT_TRUE(c->ip_acquire(-1, v6.sa(), 1));
}

TEST(Counters, FullAddressTableAdmitsUncounted) {
  TempDir dir;
  auto c = open_ok(dir / "popstat", 1, 4);
  ASSERT_TRUE(c);
  c->reset(1000);
  const Peer p[] = {peer("192.0.2.1"), peer("192.0.2.2"), peer("2001:db8::3"), peer("192.0.2.4"), peer("192.0.2.5")};
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(c->ip_acquire(0, p[i].sa(), 1));
  EXPECT_TRUE(c->ip_acquire(0, p[4].sa(), 1));
  EXPECT_TRUE(c->ip_acquire(0, p[4].sa(), 1));
  EXPECT_EQ(c->ip_count(p[4].sa()), 0u);
  EXPECT_FALSE(c->ip_acquire(0, p[0].sa(), 1)) << "counted addresses keep their limit";
  c->ip_release(0, p[4].sa());  // never counted: changes nothing
  c->ip_release(0, p[1].sa());
  EXPECT_TRUE(c->ip_acquire(0, p[4].sa(), 1));
  EXPECT_FALSE(c->ip_acquire(0, p[4].sa(), 1));
}

// Random acquires and releases from three processes' slots on a crowded table (up to 24 of its 32
// entries used, so probe runs meet and cross), against a plain map of (address, slot) -> sessions.
TEST(Counters, AddressTableMatchesAModel) {
  TempDir dir;
  auto c = open_ok(dir / "popstat", 3, 32);
  ASSERT_TRUE(c);
  c->reset(1000);
  for (int s = 0; s < 3; ++s) ASSERT_EQ(c->claim_slot(s + 1), s);  // slot s held by pid s + 1
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<Peer> addrs;
  for (int i = 0; i < 4; ++i) addrs.push_back(peer(("192.0.2." + std::to_string(i)).c_str()));
  for (int i = 0; i < 4; ++i) addrs.push_back(peer(("2001:db8::" + std::to_string(i)).c_str()));
  std::map<std::pair<int, int>, unsigned> model;  // (address, slot) -> sessions
  auto total = [&](int a) {
    unsigned t = 0;
    for (int s = 0; s < 3; ++s) t += model[{a, s}];
    return t;
  };
  for (int step = 0; step < 20000; ++step) {
    const int a = static_cast<int>(rng() % addrs.size()), s = static_cast<int>(rng() % 3);
    if (rng() % 2 && model[{a, s}] > 0) {
      c->ip_release(s, addrs[a].sa());
      --model[{a, s}];
    } else {
      const unsigned limit = rng() % 5;
      const bool want = limit == 0 || total(a) < limit;
      ASSERT_EQ(c->ip_acquire(s, addrs[a].sa(), limit), want) << "step " << step;
      if (want) ++model[{a, s}];
    }
    if (step % 1000 == 999) {
      // The process of one slot dies and its slot is taken again.
      const int dead = static_cast<int>(rng() % 3);
      c->release_pid(dead + 1);
      ASSERT_EQ(c->claim_slot(dead + 1), dead);
      for (auto& [key, n] : model) {
        if (key.second == dead) n = 0;
      }
    }
    for (int i = 0; i < static_cast<int>(addrs.size()); ++i) {
      ASSERT_EQ(c->ip_count(addrs[i].sa()), total(i)) << "address " << i << " at step " << step;
    }
  }
}

}  // namespace
