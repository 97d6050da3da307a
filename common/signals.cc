#include "common/signals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kMaxSig = 65;
volatile sig_atomic_t g_seen[kMaxSig];
std::atomic<const char*> g_text[kMaxSig];

void on_signal(int sig) {
  int saved = errno;
  if (sig > 0 && sig < kMaxSig) {
    g_seen[sig] = 1;
    if (const char* t = g_text[sig].load(std::memory_order_relaxed)) (void)!write(STDERR_FILENO, t, strlen(t));
  }
  errno = saved;
}

}  // namespace

int set_signal_handler(int sig, const char* text) {
  if (sig <= 0 || sig >= kMaxSig) {
    errno = EINVAL;
    return -1;
  }
  g_text[sig].store(text);
  g_seen[sig] = 0;
  return install_signal_handler(sig, on_signal);
}

int install_signal_handler(int sig, void (*handler)(int)) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return sigaction(sig, &sa, nullptr);
}

int check_signal_handler(int sig) { return sig > 0 && sig < kMaxSig && g_seen[sig] ? 1 : 0; }

void unset_signal_handler(int sig) {
  if (sig <= 0 || sig >= kMaxSig) return;
  signal(sig, SIG_DFL);
  g_seen[sig] = 0;
  g_text[sig].store(nullptr);
}

SignalsBlocked::SignalsBlocked() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
