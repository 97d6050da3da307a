#include "common/mutf7.h"

#include <cerrno>
#include <cstdint>

#include "common/imap_err.h"

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// Value of a modified-base64 character, -1 for any other byte (NUL too).
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

bool is_direct(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Bounded writer into the caller's buffer; remembers that something did not
// fit instead of writing past the end.
class Out {
 public:
  Out(char* dst, size_t size) : dst_(dst), size_(size) {}
  void put(char c) {
    if (pos_ + 1 < size_) {
      dst_[pos_++] = c;
    } else {
      full_ = true;
    }
  }
  void put_utf8(uint32_t cp) {
    if (cp < 0x80) {
      put(static_cast<char>(cp));
    } else if (cp < 0x800) {
      put(static_cast<char>(0xC0 | (cp >> 6)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      put(static_cast<char>(0xE0 | (cp >> 12)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      put(static_cast<char>(0xF0 | (cp >> 18)));
      put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      put(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  // Terminates the result, or empties it and returns the error.
  int finish(int err) {
    if (size_ == 0) return err ? err : ENAMETOOLONG;
    if (!err && full_) err = ENAMETOOLONG;
    dst_[err ? 0 : pos_] = '\0';
    return err;
  }

 private:
  char* dst_;
  size_t size_;
  size_t pos_ = 0;
  bool full_ = false;
};

// Decodes one base64 run that starts after its '&'.  On success *pp points
// after the closing '-'.
bool decode_run(const unsigned char** pp, Out& out) {
  const unsigned char* p = *pp;
  uint32_t bits = 0;
  int nbits = 0;
  int units = 0;
  uint32_t high = 0;  // pending high surrogate
  while (*p != '-') {
    int v = base64_value(*p++);
    if (v < 0) return false;  // includes the end of the text
    bits = (bits << 6) | static_cast<uint32_t>(v);
    nbits += 6;
    if (nbits < 16) continue;
    nbits -= 16;
    uint32_t u = (bits >> nbits) & 0xFFFF;
    bits &= (1u << nbits) - 1;
    ++units;
    if (high) {
      if (u < 0xDC00 || u > 0xDFFF) return false;
      out.put_utf8(0x10000 + ((high - 0xD800) << 10) + (u - 0xDC00));
      high = 0;
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      high = u;
    } else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0 || (u >= 0x20 && u <= 0x7E)) {
      return false;  // a lone low surrogate, NUL, or a character that must stand for itself
    } else {
      out.put_utf8(u);
    }
  }
  if (units == 0 || nbits >= 6 || bits != 0 || high) return false;
  *pp = p + 1;
  return true;
}

// Reads one UTF-8 character of at least two bytes; false when malformed.
bool read_utf8(const unsigned char** pp, uint32_t* cp) {
  const unsigned char* p = *pp;
  unsigned char c = *p;
  int extra;
  uint32_t v;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1;
    v = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2;
    v = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3;
    v = c & 0x07;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return false;
  }
  ++p;
  for (int i = 0; i < extra; ++i, ++p) {
    unsigned char min = i == 0 ? lo : 0x80, max = i == 0 ? hi : 0xBF;
    if (*p < min || *p > max) return false;  // the NUL ends here too
    v = (v << 6) | (*p & 0x3F);
  }
  *pp = p;
  *cp = v;
  return true;
}

}  // namespace

int mutf7_toutf8(const char* src, char* dst, size_t dstsize) {
  Out out(dst, dstsize);
  if (!src) return out.finish(IMAP_MAILBOX_BADNAME);
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  bool run_just_closed = false;
  while (*p) {
    if (*p != '&') {
      if (!is_direct(*p)) return out.finish(IMAP_MAILBOX_BADNAME);
      out.put(static_cast<char>(*p++));
      run_just_closed = false;
    } else if (p[1] == '-') {
      out.put('&');
      p += 2;
      run_just_closed = false;
    } else {
      // An encoder writes one run for consecutive characters; two abutting
      // runs would give the same text a second spelling.
      if (run_just_closed) return out.finish(IMAP_MAILBOX_BADNAME);
      ++p;
      if (!decode_run(&p, out)) return out.finish(IMAP_MAILBOX_BADNAME);
      run_just_closed = true;
    }
  }
  return out.finish(0);
}

int mutf7_fromutf8(const char* src, char* dst, size_t dstsize) {
  Out out(dst, dstsize);
  if (!src) return out.finish(IMAP_MAILBOX_BADNAME);
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  while (*p) {
    if (is_direct(*p)) {
      if (*p == '&') {
        out.put('&');
        out.put('-');
      } else {
        out.put(static_cast<char>(*p));
      }
      ++p;
      continue;
    }
    // One run for every character up to the next one that stands for itself.
    out.put('&');
    uint32_t bits = 0;
    int nbits = 0;
    auto emit_unit = [&](uint32_t u) {
      bits = (bits << 16) | u;
      nbits += 16;
      while (nbits >= 6) {
        nbits -= 6;
        out.put(kBase64[(bits >> nbits) & 0x3F]);
      }
      bits &= (1u << nbits) - 1;
    };
    while (*p && !is_direct(*p)) {
      uint32_t cp;
      if (*p < 0x80) {
        cp = *p++;  // a control character
      } else if (!read_utf8(&p, &cp)) {
        return out.finish(IMAP_MAILBOX_BADNAME);
      }
      if (cp >= 0x10000) {
        cp -= 0x10000;
        emit_unit(0xD800 | (cp >> 10));
        emit_unit(0xDC00 | (cp & 0x3FF));
      } else {
        emit_unit(cp);
      }
    }
    if (nbits > 0) out.put(kBase64[(bits << (6 - nbits)) & 0x3F]);
    out.put('-');
  }
  return out.finish(0);
}
