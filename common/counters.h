// Counters shared by every process of one service, in a file mapped MAP_SHARED by all of them:
// "<store dir>/counters/<name>" (created 0600 by the first process). A header, then one slot per process.
// Each process claims a slot; the first process (supervisor) releases the slot of a child that died, which
// drops that child's current sessions and per-address counts (so capacity is never lost) while its totals
// stay counted. Hot-path updates are lock-free atomics; the per-address table uses a robust process-shared
// mutex, so a process killed while holding it never blocks the others.
//
// Threads: every member may be called from any thread of any attached process, except reset (the first
// process, before any other attaches or claims a slot) and release_pid (the supervisor, after it reaped the
// process).  A process that got no slot (-1) still counts totals and times, but its open sessions are not
// counted and ip_acquire admits it without counting.  A reader's handle only reads (current, snapshot);
// an update through it, or a slot beyond the file's, is a broken contract and hits an assertion.
// maxConnections is the highest sum seen right after an admission; the slots are summed one by one while
// others change theirs, so it may exceed the true peak by the sessions that ended during that sum.
//
// Failures: open and open_readonly return null with a text in *err and errno set (ENOENT: no file;
// EINVAL: not a counter file of this build, or truncated); nothing else fails.  The per-address table
// has a fixed number of entries (one per address and process holding sessions); when it is full a new
// address is admitted without being counted (and a warning is logged once per process): refusing would
// turn a flood of distinct addresses into a refusal of everybody.  The release of such a session may
// then lower that address's count early, which only makes its limit more lenient.
#pragma once
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

enum PopCounter : int {
  kCurrentStartTime,
  kLastConnectionTime,
  kNumCurrentConnections,
  kNumConnections,
  kMaxConnections,
  kNumFailedConnections,
  kNumFailedLogins,
  kNumGoodLogins,
  kPopCounterCount
};
// "currentStartTime", "lastConnectionTime", ... in the order above.
extern const char* const kPopCounterNames[kPopCounterCount];

struct PopStatSnapshot {
  int64_t value[kPopCounterCount];  // times are seconds since the epoch
  unsigned live_slots;
};

class SharedCounters {
 public:
  // Entries of the per-address table when open is not told otherwise.
  static constexpr unsigned kDefaultAddressEntries = 16384;

  // Opens or creates the counter file; nslots >= 1 (the supervisor and its children).
  // Null with *err set (text) on failure; the service then runs without counters.
  static std::unique_ptr<SharedCounters> open(const std::string& path, unsigned nslots, std::string* err);
  // The same with address_entries entries in the per-address table (>= 1; enough for every session the
  // service may hold at once means it is never full).  A file laid out for fewer slots or entries (or
  // not a counter file) is replaced by a fresh one: its counts are lost, but the first process resets
  // them anyway, and processes still attached to the old file go on safely, counted apart.  A larger
  // file is kept.
  static std::unique_ptr<SharedCounters> open(const std::string& path, unsigned nslots, unsigned address_entries,
                                              std::string* err);
  // Read-only open for readers (orvadm); never creates.
  static std::unique_ptr<SharedCounters> open_readonly(const std::string& path, std::string* err);
  ~SharedCounters();
  SharedCounters(const SharedCounters&) = delete;
  SharedCounters& operator=(const SharedCounters&) = delete;
  // First process at start: sets currentStartTime = now, lastConnectionTime = 0, zeroes the counts (not
  // maxConnections) and frees every slot.
  void reset(time_t now);
  // Claims a free slot for pid (this process); the slot index, or -1 when none is free.
  int claim_slot(pid_t pid);
  // Supervisor: frees the slot a dead process held (its current sessions and address counts go away).
  void release_pid(pid_t pid);
  // A session admitted: lastConnectionTime = now, current +1 (this slot), numConnections +1, max updated.
  void admitted(int slot, time_t now);
  // A session ended: current -1 (this slot).
  void ended(int slot);
  // numFailedConnections / numFailedLogins / numGoodLogins += delta.
  void add(int slot, PopCounter which, int64_t delta);
  // Sessions open now in all live slots.
  int64_t current() const;
  PopStatSnapshot snapshot() const;
  // Per-address counts across all processes (for service.pop.connlimits). addr is the peer address
  // (IPv4-mapped IPv6 already normalised by the caller to IPv4). acquire returns true and counts the
  // session when the address has fewer than limit sessions (limit 0 = unlimited: always true, counted),
  // false otherwise (nothing counted). Every true acquire is matched by one release.
  // Addresses other than IPv4 and IPv6 (a local socket) are never limited nor counted.
  bool ip_acquire(int slot, const sockaddr* addr, unsigned limit);
  void ip_release(int slot, const sockaddr* addr);
  // Sessions counted for addr in all processes (what ip_acquire compares with its limit).
  unsigned ip_count(const sockaddr* addr) const;

  // The slot count and address-table size of the file.
  unsigned slots() const;
  unsigned address_entries() const;

  // Tests only: takes the per-address table's lock and returns holding it, as a process that is then
  // killed would.
  void test_hold_address_lock();

 private:
  SharedCounters() = default;
  class TableLock;
  bool valid_slot(int slot) const;
  void bump_max();
  void drop_entry(unsigned i);

  unsigned char* base_ = nullptr;  // the whole file, mapped
  size_t size_ = 0;
  bool readonly_ = false;
};

// "<store dir>/counters/popstat" for the configured store, or "" when no store directory is configured.
std::string popstat_path();
