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

// ---- Text the store composes itself (welcome and notice messages) ----------
//
// The charset of a text written in language lang (a tag such as "fr" or
// "zh-TW", any case; null or unknown: none) is chosen from the text: "us-ascii"
// when it is all ASCII, else the charset usual for the language when that
// charset can hold every character of the text, else "utf-8".  The choice
// depends only on (lang, text), so a header naming the charset and the body
// converted later always agree.

// The MIME charset name for utf8 in language lang (static string).
const char* charset_for_text(const char* lang, std::string_view utf8);

// A body converted for sending: charset name, transfer encoding ("7bit",
// "quoted-printable" or "base64") and the encoded bytes, with CRLF line
// ends where the input had them.  Quoted-printable is used when at most a
// fifth of the converted bytes are 8-bit, base64 otherwise; 7bit needs
// every byte below 128 and no line over 998 bytes.
struct charset_body {
  std::string charset;
  std::string encoding;
  std::string text;
};
// Converts UTF-8 body text for language lang.  False (out unchanged) when
// utf8 is not valid UTF-8 or holds NUL.
bool charset_encode_body(const char* lang, std::string_view utf8, charset_body* out);

// A header field value for language lang (RFC 2047): ASCII text without
// "=?" is kept as it is; anything else becomes encoded words in the charset
// chosen above ("B" for multi-byte and stateful charsets and for text more
// than a fifth of whose UTF-8 bytes are 8-bit, else "Q"), each at
// most 75 characters and never splitting a character, joined by CRLF and a
// blank (a folded line).  False when utf8 is not valid UTF-8 or holds a
// control character other than TAB.
bool charset_encode_header(const char* lang, std::string_view utf8, std::string* out);
