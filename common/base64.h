// Base64 (RFC 4648 section 4), as MIME bodies and SASL exchanges use it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The value (0-63) of one character of the base64 alphabet, -1 for any
// other character.
int base64_value(char c);

// The encoding of in, padded with '=', on one line.
std::string base64_encode(std::string_view in);

// The bytes in encodes; nothing when in is not canonical base64: a
// character outside the alphabet (white space included), a length that is
// not a multiple of four, misplaced or excess padding, or unused bits that
// are not zero.  The empty text decodes to nothing (an empty string).
std::optional<std::string> base64_decode(std::string_view in);
