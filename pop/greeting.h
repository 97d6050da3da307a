// The greeting line and the APOP challenge.
//
// The challenge is "<pid.counter.random@host>": the process id and a
// per-process counter make it unique among live processes of the host, 64
// random bits from the kernel's generator make it unpredictable, so a
// captured APOP digest cannot be replayed against a later session.  The
// host part keeps only characters valid in a message id.
//
// The greeting is "+OK <banner>[ <challenge>]\r\n" and never longer than
// 512 octets: when it would be, the banner is cut, never the challenge.
// Pure functions except make_challenge, which reads the random generator;
// all are thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr size_t kMaxResponseLine = 512;  // octets, with CR LF

// The host name reduced to message-id characters (letters, digits and
// !#$%&'*+-/=?^_`{|}~.), at most 256 of them; "localhost" when nothing is
// left.
std::string challenge_host(std::string_view host);

// A fresh challenge for this process's counter value.
std::string make_challenge(pid_t pid, uint64_t counter, std::string_view host);

// The banner text for the greeting: control characters (CR and LF among
// them) removed.
std::string clean_banner(std::string_view banner);

// The whole greeting line with CR LF; challenge may be empty.
std::string build_greeting(std::string_view banner, std::string_view challenge);
