// LDIF value encoding; see ldif.h.
#include "daaci/ldif.h"

#include <cstddef>
#include <cstdint>

bool ldif_is_safe(std::string_view value) {
  if (value.empty()) return true;
  const auto first = static_cast<unsigned char>(value.front());
  if (first == ' ' || first == ':' || first == '<') return false;
  // RFC 2849 asks writers to encode values ending in a space: readers are
  // allowed to drop trailing blanks, which would change a DN silently.
  if (value.back() == ' ') return false;
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 0 || c == '\n' || c == '\r' || c > 0x7f) return false;
  }
  return true;
}

std::string ldif_base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[n >> 18 & 0x3f];
    out += kAlphabet[n >> 12 & 0x3f];
    out += kAlphabet[n >> 6 & 0x3f];
    out += kAlphabet[n & 0x3f];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kAlphabet[n >> 18 & 0x3f];
    out += kAlphabet[n >> 12 & 0x3f];
    out += rest == 2 ? kAlphabet[n >> 6 & 0x3f] : '=';
    out += '=';
  }
  return out;
}

void ldif_append_line(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  if (ldif_is_safe(value)) {
    out += ": ";
    out += value;
  } else {
    out += ":: ";
    out += ldif_base64(value);
  }
  out += '\n';
}
