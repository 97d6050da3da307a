#include "common/counters.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "common/assert.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/unique_fd.h"

const char* const kPopCounterNames[kPopCounterCount] = {
    "currentStartTime", "lastConnectionTime",   "numCurrentConnections", "numConnections",
    "maxConnections",   "numFailedConnections", "numFailedLogins",       "numGoodLogins",
};

namespace {

// The counter file.  It is shared memory of one machine, laid out afresh by the first process of the
// service, never copied elsewhere: fields are in host byte order and are used in place (atomics and a
// mutex live in it), which is why it is described by structs rather than encoded.
//
//   header, 256 bytes
//     0    magic "ORVCNTR" + NUL (a file is laid out whole under another name, then renamed into place)
//     8    u32 version (1)            12  u32 header size (256)
//     16   u32 slot count             20  u32 address entries
//     24   u64 file size              32  u64 hash seed (random, per file)
//     40   u32 slot size (64)         44  u32 entry size (24)
//     48   i64 x 8 counter values in PopCounter order (the current count is the sum of the slots; its
//          place here is unused)
//     128  the address table's mutex (robust, process-shared), 64 bytes reserved
//   slots, 64 bytes each (a cache line of its own, so processes never contend for one)
//     0    i32 pid of the owner, 0 when free
//     8    i64 sessions open now in that process
//   address entries, 24 bytes each, an open-addressing table probed linearly from the hash of the address
//   (so every process's entry for one address lies on the same probe run)
//     0    u8 state (0 empty, 1 used, 2 deleted)
//     1    u8 family (4 or 6)         2   u16 slot
//     4    u32 sessions               8   16 bytes address (IPv4 in the first 4)
constexpr char kMagic[8] = {'O', 'R', 'V', 'C', 'N', 'T', 'R', '\0'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kMaxSlots = 65535;       // the slot number of an entry is 16 bits
constexpr uint32_t kMaxEntries = 1u << 22;  // 96 MB of table: far beyond any real need

struct Header {
  char magic[8];
  uint32_t version;
  uint32_t header_size;
  uint32_t nslots;
  uint32_t nentries;
  uint64_t file_size;
  uint64_t seed;
  uint32_t slot_size;
  uint32_t entry_size;
  int64_t value[kPopCounterCount];
  unsigned char unused[16];
  union {
    pthread_mutex_t mutex;
    unsigned char mutex_space[64];
  };
  unsigned char reserved[64];
};
static_assert(sizeof(Header) == 256);
static_assert(offsetof(Header, value) == 48);
static_assert(offsetof(Header, mutex) == 128);
static_assert(sizeof(pthread_mutex_t) <= 64);

struct Slot {
  int32_t pid;
  int32_t unused;
  int64_t current;
  unsigned char pad[48];
};
static_assert(sizeof(Slot) == 64);

enum : uint8_t { kEmpty = 0, kUsed = 1, kDeleted = 2 };
struct Entry {
  uint8_t state;
  uint8_t family;
  uint16_t slot;
  uint32_t count;
  unsigned char addr[16];
};
static_assert(sizeof(Entry) == 24);
static_assert(offsetof(Entry, addr) == 8);

static_assert(std::atomic_ref<int64_t>::is_always_lock_free);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);

template <typename T>
std::atomic_ref<T> at(T& v) {
  return std::atomic_ref<T>(v);
}
// Readers map the file read-only; a lock-free atomic load never writes.
template <typename T>
T load(const T& v, std::memory_order mo = std::memory_order_relaxed) {
  return std::atomic_ref<T>(const_cast<T&>(v)).load(mo);
}

uint64_t layout_size(uint64_t nslots, uint64_t nentries) {
  return sizeof(Header) + nslots * sizeof(Slot) + nentries * sizeof(Entry);
}

// Why the header cannot be used, or "" when it can.  size is the file's size.
std::string header_problem(const Header& h, uint64_t size) {
  if (memcmp(h.magic, kMagic, sizeof kMagic) != 0) return "not a counter file";
  if (h.version != kVersion) return "layout version " + std::to_string(h.version) + ", expected 1";
  if (h.header_size != sizeof(Header) || h.slot_size != sizeof(Slot) || h.entry_size != sizeof(Entry)) {
    return "laid out by a different build";
  }
  if (h.nslots < 1 || h.nslots > kMaxSlots || h.nentries < 1 || h.nentries > kMaxEntries ||
      h.file_size != layout_size(h.nslots, h.nentries)) {
    return "damaged header";
  }
  if (size < h.file_size) {
    return "truncated (" + std::to_string(size) + " bytes, " + std::to_string(h.file_size) + " expected)";
  }
  return "";
}

Header* header(unsigned char* base) { return reinterpret_cast<Header*>(base); }
Slot* slot_at(unsigned char* base, unsigned i) { return reinterpret_cast<Slot*>(base + sizeof(Header)) + i; }
Entry* entry_at(unsigned char* base, unsigned i) {
  return reinterpret_cast<Entry*>(base + sizeof(Header) + header(base)->nslots * sizeof(Slot)) + i;
}

// An address as the table keys it.
struct Key {
  uint8_t family = 0;  // 0: not an IP address
  unsigned char addr[16] = {};
};

Key key_of(const sockaddr* sa) {
  Key k;
  if (!sa) return k;
  if (sa->sa_family == AF_INET) {
    k.family = 4;
    memcpy(k.addr, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, 4);
  } else if (sa->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
      k.family = 4;
      memcpy(k.addr, a.s6_addr + 12, 4);
    } else {
      k.family = 6;
      memcpy(k.addr, a.s6_addr, 16);
    }
  }
  return k;
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// The seed keeps clients from choosing addresses that all land on one probe run.
unsigned home_of(const Key& k, uint64_t seed, unsigned n) {
  uint64_t a, b;
  memcpy(&a, k.addr, 8);
  memcpy(&b, k.addr + 8, 8);
  return static_cast<unsigned>(mix(mix(a ^ seed) ^ b ^ k.family) % n);
}

bool same_address(const Entry& e, const Key& k) { return e.family == k.family && memcmp(e.addr, k.addr, 16) == 0; }

// What one walk of an address's probe run found.
struct Probe {
  unsigned total = 0;  // sessions of the address in every process
  long own = -1;       // the entry of (address, slot)
  long free = -1;      // where a new entry would go
};

Probe probe(unsigned char* base, const Key& k, int slot) {
  Header* h = header(base);
  Probe p;
  unsigned i = home_of(k, h->seed, h->nentries);
  for (unsigned step = 0; step < h->nentries; ++step, i = (i + 1) % h->nentries) {
    Entry* e = entry_at(base, i);
    uint8_t st = load(e->state);
    if (st == kEmpty) {
      if (p.free < 0) p.free = i;
      break;
    }
    if (st == kDeleted) {
      if (p.free < 0) p.free = i;
    } else if (same_address(*e, k)) {
      p.total += load(e->count);
      if (e->slot == slot) p.own = i;
    }
  }
  return p;
}

void init_mutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

struct Unmap {
  size_t size;
  void operator()(unsigned char* p) const {
    if (p) munmap(p, size);
  }
};
using MapOwner = std::unique_ptr<unsigned char, Unmap>;

MapOwner map_file(int fd, size_t size, bool writable) {
  void* p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return MapOwner(nullptr, Unmap{size});
  return MapOwner(static_cast<unsigned char*>(p), Unmap{size});
}

std::string dir_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

// Every change to the table under this lock is committed by one store (an entry's state or count), so a
// holder killed at any instant leaves a table that is whole; its own half-made change is either there or
// not, and goes with its slot when the supervisor releases it.
class SharedCounters::TableLock {
 public:
  explicit TableLock(unsigned char* base) : m_(&header(base)->mutex) {
    int r = pthread_mutex_lock(m_);
    if (r == EOWNERDEAD) {
      static std::atomic<bool> told{false};
      if (!told.exchange(true)) {
        bvlog(0, 52,
              "counters: a process died holding the address table lock; carrying on with the table as it left it");
      }
      pthread_mutex_consistent(m_);
      r = 0;
    }
    held_ = r == 0;
    if (!held_) bvlog(0, 52, "counters: cannot lock the address table: %s", strerror(r));
  }
  ~TableLock() {
    if (held_) pthread_mutex_unlock(m_);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
  bool held() const { return held_; }

 private:
  pthread_mutex_t* m_;
  bool held_ = false;
};

std::unique_ptr<SharedCounters> SharedCounters::open(const std::string& path, unsigned nslots, std::string* err) {
  return open(path, nslots, kDefaultAddressEntries, err);
}

std::unique_ptr<SharedCounters> SharedCounters::open(const std::string& path, unsigned nslots, unsigned address_entries,
                                                     std::string* err) {
  auto fail = [&](const std::string& why, int e) {
    *err = path + ": " + why;
    errno = e;
    return nullptr;
  };
  if (nslots < 1 || nslots > kMaxSlots || address_entries < 1 || address_entries > kMaxEntries) {
    return fail("unsupported size (" + std::to_string(nslots) + " slots, " + std::to_string(address_entries) +
                    " address entries)",
                EINVAL);
  }
  std::string dir = dir_of(path);
  if (!dir.empty() && make_dirs(dir.c_str(), 0700) != 0) return fail(strerror(errno), errno);
  int raw = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (raw < 0) return fail(strerror(errno), errno);
  // The lock makes the check and the lay-out one step for processes that open at once; it follows the
  // file when another opener has just replaced it.
  struct stat st;
  const char* step = "";
  UniqueFd fd(lock_reopen(raw, path.c_str(), &st, &step));
  if (!fd) return fail(std::string(step) + ": " + strerror(errno), errno);
  // Unlocked explicitly: the mapping keeps the open file description, and so its lock, alive.
  LockGuard held = LockGuard::adopt(fd.get());
  if (!S_ISREG(st.st_mode)) return fail("not a regular file", EINVAL);

  Header h{};
  const bool usable = st.st_size >= static_cast<off_t>(sizeof h) && pread(fd.get(), &h, sizeof h, 0) == sizeof h &&
                      header_problem(h, st.st_size).empty() && h.nslots >= nslots && h.nentries >= address_entries;
  const uint64_t size = usable ? h.file_size : layout_size(nslots, address_entries);
  MapOwner map(nullptr, Unmap{size});
  if (usable) {
    map = map_file(fd.get(), size, true);
    if (!map) return fail(strerror(errno), errno);
  } else {
    // The new layout goes to a new file renamed into place: a process still attached to the old one
    // keeps a whole mapping (cutting a mapped file would kill it with SIGBUS) and counts apart until it
    // ends.  A process that dies before the rename leaves the old file, which the next opener replaces.
    const std::string tmp = path + ".new";
    unlink(tmp.c_str());
    UniqueFd nfd(::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!nfd) return fail(tmp + ": " + strerror(errno), errno);
    if (ftruncate(nfd.get(), static_cast<off_t>(size)) == 0) map = map_file(nfd.get(), size, true);
    if (!map) {
      const int e = errno;
      unlink(tmp.c_str());
      return fail(tmp + ": " + strerror(e), e);
    }
    Header* nh = header(map.get());
    memcpy(nh->magic, kMagic, sizeof kMagic);
    nh->version = kVersion;
    nh->header_size = sizeof(Header);
    nh->nslots = nslots;
    nh->nentries = address_entries;
    nh->file_size = size;
    if (getrandom(&nh->seed, sizeof nh->seed, 0) != sizeof nh->seed) nh->seed = mix(size ^ st.st_ino);
    nh->slot_size = sizeof(Slot);
    nh->entry_size = sizeof(Entry);
    init_mutex(&nh->mutex);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
      const int e = errno;
      unlink(tmp.c_str());
      return fail(strerror(e), e);
    }
  }
  std::unique_ptr<SharedCounters> c(new SharedCounters);
  c->base_ = map.release();
  c->size_ = size;
  return c;
}

std::unique_ptr<SharedCounters> SharedCounters::open_readonly(const std::string& path, std::string* err) {
  auto fail = [&](const std::string& why, int e) {
    *err = path + ": " + why;
    errno = e;
    return nullptr;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return fail(strerror(errno), errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return fail(strerror(errno), errno);
  if (!S_ISREG(st.st_mode)) return fail("not a regular file", EINVAL);
  Header h{};
  if (st.st_size < static_cast<off_t>(sizeof h)) {
    return fail("truncated (" + std::to_string(st.st_size) + " bytes, smaller than a header)", EINVAL);
  }
  if (pread(fd.get(), &h, sizeof h, 0) != sizeof h) return fail("cannot read the header", EIO);
  if (std::string why = header_problem(h, st.st_size); !why.empty()) return fail(why, EINVAL);
  MapOwner map = map_file(fd.get(), h.file_size, false);
  if (!map) return fail(strerror(errno), errno);
  std::unique_ptr<SharedCounters> c(new SharedCounters);
  c->base_ = map.release();
  c->size_ = h.file_size;
  c->readonly_ = true;
  return c;
}

SharedCounters::~SharedCounters() {
  if (base_) munmap(base_, size_);
}

unsigned SharedCounters::slots() const { return header(base_)->nslots; }
unsigned SharedCounters::address_entries() const { return header(base_)->nentries; }

bool SharedCounters::valid_slot(int slot) const {
  ORV_ASSERT(!readonly_);
  ORV_ASSERT(slot < static_cast<int>(slots()));
  return slot >= 0;
}

void SharedCounters::reset(time_t now) {
  ORV_ASSERT(!readonly_);
  Header* h = header(base_);
  {
    TableLock lock(base_);
    // Only a holder that died after making the lock unrecoverable leaves it so; nobody else is attached
    // at this point, so it can be made afresh.
    if (!lock.held()) init_mutex(&h->mutex);
    memset(entry_at(base_, 0), 0, static_cast<size_t>(h->nentries) * sizeof(Entry));
  }
  for (unsigned i = 0; i < h->nslots; ++i) {
    at(slot_at(base_, i)->current).store(0);
    at(slot_at(base_, i)->pid).store(0);
  }
  for (int k = 0; k < kPopCounterCount; ++k) {
    if (k != kMaxConnections) at(h->value[k]).store(0);
  }
  at(h->value[kCurrentStartTime]).store(now);
}

int SharedCounters::claim_slot(pid_t pid) {
  ORV_ASSERT(!readonly_ && pid > 0);
  for (unsigned i = 0; i < slots(); ++i) {
    int32_t expected = 0;
    if (at(slot_at(base_, i)->pid).compare_exchange_strong(expected, pid)) return static_cast<int>(i);
  }
  return -1;
}

void SharedCounters::drop_entry(unsigned i) {
  const unsigned n = header(base_)->nentries;
  at(entry_at(base_, i)->state).store(kDeleted, std::memory_order_release);
  // A deleted entry just before an empty one ends no probe run that matters: make it, and the deleted
  // ones before it, empty again so runs stay short.  Each step is one store and leaves a valid table.
  if (load(entry_at(base_, (i + 1) % n)->state) != kEmpty) return;
  for (unsigned step = 0; step < n && load(entry_at(base_, i)->state) == kDeleted; ++step) {
    at(entry_at(base_, i)->state).store(kEmpty, std::memory_order_release);
    i = (i + n - 1) % n;
  }
}

void SharedCounters::release_pid(pid_t pid) {
  ORV_ASSERT(!readonly_);
  if (pid <= 0) return;
  for (unsigned s = 0; s < slots(); ++s) {
    Slot* sl = slot_at(base_, s);
    if (load(sl->pid) != pid) continue;
    {
      TableLock lock(base_);
      for (unsigned i = 0; i < address_entries(); ++i) {
        Entry* e = entry_at(base_, i);
        if (load(e->state) == kUsed && e->slot == s) drop_entry(i);
      }
    }
    // Totals stay; only what the process held open goes.  The slot is free again last, so a process
    // claiming it starts from nothing.
    at(sl->current).store(0);
    at(sl->pid).store(0, std::memory_order_release);
  }
}

void SharedCounters::bump_max() {
  int64_t cur = current();
  int64_t& m = header(base_)->value[kMaxConnections];
  int64_t seen = at(m).load();
  while (cur > seen && !at(m).compare_exchange_weak(seen, cur)) {
  }
}

void SharedCounters::admitted(int slot, time_t now) {
  Header* h = header(base_);
  at(h->value[kLastConnectionTime]).store(now);
  at(h->value[kNumConnections]).fetch_add(1);
  if (!valid_slot(slot)) return;
  at(slot_at(base_, slot)->current).fetch_add(1);
  // The sum is read slot by slot while others change theirs, so the mark may count a session that ended
  // during the read; it never misses one that was open throughout.
  bump_max();
}

void SharedCounters::ended(int slot) {
  if (!valid_slot(slot)) return;
  at(slot_at(base_, slot)->current).fetch_sub(1);
}

void SharedCounters::add(int slot, PopCounter which, int64_t delta) {
  ORV_ASSERT(which == kNumFailedConnections || which == kNumFailedLogins || which == kNumGoodLogins);
  (void)valid_slot(slot);
  at(header(base_)->value[which]).fetch_add(delta);
}

int64_t SharedCounters::current() const {
  int64_t sum = 0;
  for (unsigned i = 0; i < slots(); ++i) {
    const Slot* sl = slot_at(base_, i);
    if (load(sl->pid) != 0) sum += load(sl->current);
  }
  return sum;
}

PopStatSnapshot SharedCounters::snapshot() const {
  PopStatSnapshot s{};
  const Header* h = header(base_);
  for (int k = 0; k < kPopCounterCount; ++k) s.value[k] = load(h->value[k]);
  s.value[kNumCurrentConnections] = current();
  for (unsigned i = 0; i < slots(); ++i) s.live_slots += load(slot_at(base_, i)->pid) != 0;
  return s;
}

bool SharedCounters::ip_acquire(int slot, const sockaddr* addr, unsigned limit) {
  const Key k = key_of(addr);
  if (!valid_slot(slot) || k.family == 0) return true;
  TableLock lock(base_);
  if (!lock.held()) return true;  // logged; admission must not hang on a broken lock
  Probe p = probe(base_, k, slot);
  if (limit != 0 && p.total >= limit) return false;
  if (p.own >= 0) {
    Entry* e = entry_at(base_, p.own);
    at(e->count).store(e->count + 1, std::memory_order_release);
    return true;
  }
  if (p.free < 0) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
      bvlog(0, 52, "counters: the address table is full (%u entries); new addresses are admitted uncounted",
            address_entries());
    }
    return true;
  }
  Entry* e = entry_at(base_, p.free);
  e->family = k.family;
  e->slot = static_cast<uint16_t>(slot);
  memcpy(e->addr, k.addr, 16);
  at(e->count).store(1);
  at(e->state).store(kUsed, std::memory_order_release);  // the entry exists from this store on
  return true;
}

void SharedCounters::ip_release(int slot, const sockaddr* addr) {
  const Key k = key_of(addr);
  if (!valid_slot(slot) || k.family == 0) return;
  TableLock lock(base_);
  if (!lock.held()) return;
  Probe p = probe(base_, k, slot);
  if (p.own < 0) return;  // admitted while the table was full
  Entry* e = entry_at(base_, p.own);
  if (e->count > 1) {
    at(e->count).store(e->count - 1, std::memory_order_release);
  } else {
    drop_entry(p.own);
  }
}

unsigned SharedCounters::ip_count(const sockaddr* addr) const {
  ORV_ASSERT(!readonly_);
  const Key k = key_of(addr);
  if (k.family == 0) return 0;
  TableLock lock(base_);
  return probe(base_, k, -1).total;
}

void SharedCounters::test_hold_address_lock() {
  ORV_ASSERT(!readonly_);
  pthread_mutex_lock(&header(base_)->mutex);
}

std::string popstat_path() {
  const char* dir = configmsg_get_storedir();
  return dir && *dir ? std::string(dir) + "/counters/popstat" : std::string();
}
