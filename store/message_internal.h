// Pieces of message parsing exposed to the tests and to the index module's
// cache readers.  Same rules as store/message.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#include "store/message.h"

inline constexpr int MESSAGE_MAX_DEPTH = 50;
inline constexpr size_t MESSAGE_MAX_HEADER = 100000;
inline constexpr int MESSAGE_CACHE_ITEMS = 11;

// Parses base/len into root (cleared first).  Never fails.
void message_parse_tree(const char* base, size_t len, body* root);

// The RFC 822 date in s as seconds since 1970, or false when s deviates
// from the form (the caller then uses the current time).
bool message_parse_date(std::string_view s, time_t* out);

// The cache item texts of a parsed message, without length words.
std::string message_envelope(const body& root);
std::string message_bodystructure(const body& root, bool extensions);
std::string message_section(const body& root);
std::string message_search_addresses(const address* list);
std::string message_subject(const body& root);

// Writes the 11 cache items for root (parsed from base/len) at fd's file
// position with one gathered write.  Returns the bytes written, or -1 with
// errno.
ssize_t message_write_cache(int fd, const body& root, const char* base, const char* extra);
