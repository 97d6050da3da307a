// A stand-in for a serving process that publishes its logins (the name
// holds "imapd" so the connection report finds it): it creates the login
// list segment "<dir>/<service>.<pid>" with the slots given, writes
// "ready <shmid>" on standard output and waits.  SIGTERM, SIGINT or its own
// time limit delete the segment and end it.
//
//   fake_imapd [options] DIR MAXSESSIONS SLOT...
//   SLOT      uid,authtype,adm,time,from,sport,to,dport  a valid login
//             -uid                                      an invalid slot
//             garbage                                   every text field full, no NUL
//   --service NAME   (imap)
//   --hiwater N      the header value (default: the number of slots)
//   --churn          one more slot, rewritten without pause between two
//                    logins whose every text byte is 'a' or 'b'
//   --limit SECONDS  (60) end by itself after this long
#include <prshm.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr size_t kRec = 532;
volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

void put32(unsigned char* p, uint32_t v) { memcpy(p, &v, 4); }
void text(unsigned char* p, size_t n, const std::string& s) {
  memset(p, 0, n);
  memcpy(p, s.data(), std::min(n, s.size()));
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    out.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

void fill(unsigned char* r, const std::vector<std::string>& f) {
  text(r, 128, f[0]);
  text(r + 128, 256, f[2]);
  put32(r + 384, static_cast<uint32_t>(strtoul(f[3].c_str(), nullptr, 10)));
  text(r + 388, 50, f[4]);
  put32(r + 488, static_cast<uint32_t>(atoi(f[5].c_str())));
  text(r + 438, 50, f[6]);
  put32(r + 492, static_cast<uint32_t>(atoi(f[7].c_str())));
  text(r + 496, 20, f[1]);
}

// Rewrites slot r as a writer must: invalid and counter moved first, the
// fields, the counter moved again, valid.
void rewrite(unsigned char* r, char letter, uint32_t* counter) {
  std::atomic_ref<unsigned char> valid(r[516]);
  std::atomic_ref<uint32_t> cnt(*reinterpret_cast<uint32_t*>(r + 520));
  valid.store(0, std::memory_order_relaxed);
  cnt.store(++*counter, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  std::string churn = std::string("churn") + std::string(10, letter);
  std::vector<std::string> f = {
      churn, "plaintext", std::string(30, letter), "1700000000", std::string(15, letter), "1", std::string(15, letter),
      "2"};
  fill(r, f);
  cnt.store(++*counter, std::memory_order_release);
  valid.store(1, std::memory_order_release);
}

}  // namespace

int main(int argc, char** argv) {
  std::string service = "imap";
  long hiwater = -2;
  bool churn = false;
  int limit = 60;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
    if (!strcmp(argv[i], "--service") && i + 1 < argc) {
      service = argv[++i];
    } else if (!strcmp(argv[i], "--hiwater") && i + 1 < argc) {
      hiwater = strtol(argv[++i], nullptr, 10);
    } else if (!strcmp(argv[i], "--churn")) {
      churn = true;
    } else if (!strcmp(argv[i], "--limit") && i + 1 < argc) {
      limit = atoi(argv[++i]);
    } else {
      fprintf(stderr, "fake_imapd: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (argc - i < 2) {
    fprintf(stderr, "usage: fake_imapd [options] DIR MAXSESSIONS SLOT...\n");
    return 2;
  }
  std::string name = std::string(argv[i]) + "/" + service + "." + std::to_string(getpid());
  size_t max = strtoul(argv[i + 1], nullptr, 10);
  std::vector<std::string> slots(argv + i + 2, argv + argc);
  if (slots.size() + (churn ? 1 : 0) > max) {
    fprintf(stderr, "fake_imapd: more slots than MAXSESSIONS\n");
    return 2;
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGALRM, on_signal);
  // Without churning the process only waits: the signals stay blocked and
  // are taken by sigwait, so one arriving early is not lost.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGALRM);
  if (!churn) sigprocmask(SIG_BLOCK, &stops, nullptr);
  alarm(static_cast<unsigned>(limit));

  PRSharedMemory* shm = PR_OpenSharedMemory(name.c_str(), max * kRec + 4, PR_SHM_CREATE, 0600);
  if (!shm) {
    fprintf(stderr, "fake_imapd: cannot create %s\n", name.c_str());
    return 1;
  }
  auto* seg = static_cast<unsigned char*>(PR_AttachSharedMemory(shm, 0));
  if (!seg) {
    PR_CloseSharedMemory(shm);
    PR_DeleteSharedMemory(name.c_str());
    return 1;
  }
  memset(seg, 0, max * kRec + 4);
  size_t n = 0;
  for (const std::string& s : slots) {
    unsigned char* r = seg + 4 + kRec * n;
    if (s == "garbage") {
      memset(r, 'g', 516);
      r[516] = 1;
    } else if (s[0] == '-') {
      text(r, 128, s.substr(1));
      r[516] = 0;
    } else {
      std::vector<std::string> f = split(s);
      if (f.size() != 8) {
        fprintf(stderr, "fake_imapd: bad slot %s\n", s.c_str());
        g_stop = 1;
        break;
      }
      fill(r, f);
      r[516] = 1;
    }
    put32(r + 524, static_cast<uint32_t>(n));
    n++;
  }
  uint32_t counter = 0;
  unsigned char* churned = seg + 4 + kRec * n;
  if (churn) {
    rewrite(churned, 'a', &counter);
    n++;
  }
  put32(seg, static_cast<uint32_t>(hiwater == -2 ? static_cast<long>(n) : hiwater));
  int id = shmget(ftok(name.c_str(), 'b'), 0, 0);
  printf("ready %d\n", id);
  fflush(stdout);
  if (churn) {
    // A short rest between rewrites lets readers sometimes find the slot
    // whole; without it every read would catch a rewrite.
    const timespec rest{0, 20000};
    while (!g_stop) {
      rewrite(churned, (counter / 2) % 2 ? 'a' : 'b', &counter);
      nanosleep(&rest, nullptr);
    }
  } else if (!g_stop) {
    int sig;
    sigwait(&stops, &sig);
  }
  PR_DetachSharedMemory(shm, seg);
  PR_CloseSharedMemory(shm);
  PR_DeleteSharedMemory(name.c_str());
  return 0;
}
