// Deferred signals.
//
// set_signal_handler(sig, text) makes sig be recorded (and text written to
// standard error) instead of acting; the program polls check_signal_handler
// between units of work.  The handler only sets a flag and writes the text
// with write(2): nothing else is async-signal-safe.
#pragma once

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
