// The login list a serving process publishes in shared memory, one segment
// per process: a 4-byte high-water mark (the number of slots ever used, -1
// for all), then fixed slots of 532 bytes.  Text fields are NUL-padded;
// numbers are 32-bit in the machine's order.  A writer marks the slot
// invalid and makes the counter odd before it changes the fields, then
// makes the counter even and the slot valid again, so a reader that sees
// the same counter and a valid slot before and after its copy has a whole
// record.
#pragma once

#include <cstddef>

inline constexpr size_t LOGIN_HEADER_SIZE = 4;
inline constexpr size_t LOGIN_RECORD_SIZE = 532;

// Offsets and sizes within a slot.
inline constexpr size_t LOGIN_UID_OFFSET = 0, LOGIN_UID_SIZE = 128;
inline constexpr size_t LOGIN_ADMUID_OFFSET = 128, LOGIN_ADMUID_SIZE = 256;
inline constexpr size_t LOGIN_TIME_OFFSET = 384;
inline constexpr size_t LOGIN_FROM_OFFSET = 388, LOGIN_FROM_SIZE = 50;
inline constexpr size_t LOGIN_TO_OFFSET = 438, LOGIN_TO_SIZE = 50;
inline constexpr size_t LOGIN_FROMPORT_OFFSET = 488;
inline constexpr size_t LOGIN_TOPORT_OFFSET = 492;
inline constexpr size_t LOGIN_AUTHTYPE_OFFSET = 496, LOGIN_AUTHTYPE_SIZE = 20;
inline constexpr size_t LOGIN_VALID_OFFSET = 516;    // one byte, 1 = valid
inline constexpr size_t LOGIN_COUNTER_OFFSET = 520;  // changes around every rewrite
inline constexpr size_t LOGIN_INDEX_OFFSET = 524;    // the slot's own number
