// Character-set names and RFC 2047 encoded-word decoding.
//
// Charset numbers are stored on disk (the SECTION cache item keeps the
// number of each text part's charset in the high 16 bits of a word), so the
// table in charset.cc only ever grows at its end: a number, once given out,
// keeps its meaning.  Aliases map to the number of their canonical name.
//
// Decoding converts encoded words ("=?charset?B|Q?text?=", RFC 2047, with
// the RFC 2231 language suffix "charset*lang" accepted) to UTF-8 through
// iconv.  Text outside encoded words is copied unchanged; white space between
// two adjacent encoded words is dropped.  An encoded word that is malformed
// or names a charset the table (or the C library) cannot convert is copied
// as written; bytes a charset cannot convert become U+FFFD; NUL bytes
// produced by decoding are dropped so the result stays a C string.  Nothing here fails or logs.
// Thread-safe (each call opens its own converters).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The number of the charset called name (any case, aliases accepted), or -1
// when unknown.  Null is unknown.
int charset_lookupname(const char* name);

// The canonical name of charset number n, or null when out of range.
const char* charset_name(int n);

// Decodes the encoded words of s (null is treated as empty).
// With buf: writes at most size - 1 bytes and a NUL into buf (size > 0),
// cut at a UTF-8 character boundary, and returns buf.
// Without buf (null): returns a malloc'ed string of any length, which the
// caller frees with free().
char* charset_decode1522(const char* s, char* buf, size_t size);

// The same, for C++ callers: the whole decoded text.
std::string charset_decode1522_str(std::string_view s);
