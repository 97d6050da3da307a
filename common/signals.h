// Deferred signals.
//
// set_signal_handler(sig, text) makes sig be recorded (and text written to
// standard error) instead of acting; the program polls check_signal_handler
// between units of work.  The handler only sets a flag and writes the text
// with write(2): nothing else is async-signal-safe.
#pragma once

#include <signal.h>

// 0 on success, -1 with errno for a signal that cannot be caught.  text may
// be null (nothing is printed); it must stay valid while the handler is set.
int set_signal_handler(int sig, const char* text);
// Non-zero once sig arrived since set_signal_handler.
int check_signal_handler(int sig);
// Restores the default action and forgets the signal.
void unset_signal_handler(int sig);

// Installs handler for sig with nothing blocked during it and interrupted
// system calls restarted.  sigaction's result.
int install_signal_handler(int sig, void (*handler)(int));

// Blocks every signal in the calling thread while it lives, then restores
// the mask it found.  A thread started meanwhile inherits the blocked mask,
// so the signals the program defers reach the thread that polls for them
// and never cut a helper thread's system call short.
class SignalsBlocked {
 public:
  SignalsBlocked();
  ~SignalsBlocked();
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t old_;
};
