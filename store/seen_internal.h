// Pieces of the seen module shared with its tests and the admin commands:
// the marker and state-text codecs and the named lock file.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

class UniqueFd;

// The folder marker: 4 bytes in host byte order (layout in seen_db.cc).
void seen_marker_encode(uint32_t when, unsigned char* out);
uint32_t seen_marker_decode(const unsigned char* in);

// "<lastread> <lastuid> <lastchange> <seenuids>"; seenuids null stands for
// two empty sets (" ").
std::string seen_format_state(time_t lastread, uint32_t lastuid, time_t lastchange, const char* seenuids);
// Reads a state text [p, end) leniently (the lock-and-read path): numbers
// saturate instead of overflowing; *seenuids gets the text up to the second
// blank after the third number.
void seen_parse_state(const char* p, const char* end, time_t* lastread, uint32_t* lastuid, time_t* lastchange,
                      std::string* seenuids);

// Opens (creating it) the lock file named after name under the store's
// "lock/peruser" directory.  0 or a store code (logged).
int seen_lock_open(const std::string& name, UniqueFd* out);
