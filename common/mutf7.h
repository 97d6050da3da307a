// Modified UTF-7 (the folder-name encoding of IMAP) to and from UTF-8.
//
// Modified UTF-7: printable ASCII 0x20..0x7E other than '&' stands for
// itself; '&' is written "&-"; every other character is written as UTF-16
// (big-endian, surrogate pairs for characters above U+FFFF) in a run "&...-"
// of base64 with ',' in place of '/', without padding, the unused low bits
// of the last character zero.
//
// Both directions are strict, so that one text has one encoding: the
// decoder refuses bytes outside printable ASCII, printable ASCII and '&'
// inside a run (they must stand for themselves), empty runs other than
// "&-", leftover bits that are not zero or make a whole base64 character,
// unpaired surrogates, two runs that follow each other directly, and a run
// that the end of the text cuts off.  The encoder refuses malformed UTF-8
// (overlong forms, surrogates, values above U+10FFFF, cut-off sequences).
//
// Results are written into caller buffers of dstsize bytes and are always
// NUL-terminated (empty after a failure) when dstsize > 0.  Return values:
// 0; IMAP_MAILBOX_BADNAME for input that is not valid in the source
// encoding; ENAMETOOLONG when the result and its NUL do not fit in dstsize.
// Stateless and thread-safe.
#pragma once

#include <cstddef>

[[nodiscard]] int mutf7_toutf8(const char* src, char* dst, size_t dstsize);
[[nodiscard]] int mutf7_fromutf8(const char* src, char* dst, size_t dstsize);
