#include "common/charset.h"

#include <errno.h>
#include <iconv.h>
#include <strings.h>

#include <cstring>
#include <memory>

#include "common/xmalloc.h"

namespace {

struct Charset {
  const char* name;   // canonical (MIME) name
  const char* iconv;  // name glibc's iconv knows it by
};

// Index = charset number (stored on disk: append only, never reorder).
constexpr Charset kCharsets[] = {
    {"us-ascii", "ASCII"},               // 0
    {"iso-8859-1", "ISO-8859-1"},        // 1
    {"iso-8859-2", "ISO-8859-2"},        // 2
    {"iso-8859-3", "ISO-8859-3"},        // 3
    {"iso-8859-4", "ISO-8859-4"},        // 4
    {"iso-8859-5", "ISO-8859-5"},        // 5
    {"iso-8859-6", "ISO-8859-6"},        // 6
    {"iso-8859-7", "ISO-8859-7"},        // 7
    {"iso-8859-8", "ISO-8859-8"},        // 8
    {"iso-8859-9", "ISO-8859-9"},        // 9
    {"koi8-r", "KOI8-R"},                // 10
    {"iso-2022-jp", "ISO-2022-JP"},      // 11
    {"iso-2022-kr", "ISO-2022-KR"},      // 12
    {"gb2312", "GB2312"},                // 13
    {"big5", "BIG5"},                    // 14
    {"utf-8", "UTF-8"},                  // 15
    {"utf-7", "UTF-7"},                  // 16
    {"windows-1252", "CP1252"},          // 17
    {"iso-8859-15", "ISO-8859-15"},      // 18
    {"euc-jp", "EUC-JP"},                // 19
    {"euc-kr", "EUC-KR"},                // 20
    {"shift_jis", "SHIFT_JIS"},          // 21
    {"windows-1250", "CP1250"},          // 22
    {"windows-1251", "CP1251"},          // 23
    {"windows-1253", "CP1253"},          // 24
    {"windows-1254", "CP1254"},          // 25
    {"windows-1255", "CP1255"},          // 26
    {"windows-1256", "CP1256"},          // 27
    {"windows-1257", "CP1257"},          // 28
    {"windows-1258", "CP1258"},          // 29
    {"koi8-u", "KOI8-U"},                // 30
    {"iso-8859-10", "ISO-8859-10"},      // 31
    {"iso-8859-13", "ISO-8859-13"},      // 32
    {"iso-8859-14", "ISO-8859-14"},      // 33
    {"iso-8859-16", "ISO-8859-16"},      // 34
    {"gbk", "GBK"},                      // 35
    {"gb18030", "GB18030"},              // 36
    {"tis-620", "TIS-620"},              // 37
    {"big5-hkscs", "BIG5-HKSCS"},        // 38
    {"iso-2022-jp-2", "ISO-2022-JP-2"},  // 39
    {"utf-16", "UTF-16"},                // 40
    {"windows-874", "CP874"},            // 41
    {"windows-949", "CP949"},            // 42
};
constexpr int kCharsetCount = sizeof(kCharsets) / sizeof(kCharsets[0]);

struct Alias {
  const char* name;
  int number;
};
constexpr Alias kAliases[] = {
    {"ascii", 0},        {"us_ascii", 0},        {"ansi_x3.4-1968", 0}, {"iso646-us", 0},
    {"iso_8859-1", 1},   {"iso8859-1", 1},       {"latin1", 1},         {"l1", 1},
    {"iso_8859-2", 2},   {"iso8859-2", 2},       {"latin2", 2},         {"iso_8859-5", 5},
    {"iso_8859-7", 7},   {"iso_8859-8", 8},      {"iso-8859-8-i", 8},   {"iso_8859-9", 9},
    {"latin5", 9},       {"csgb2312", 13},       {"euc-cn", 13},        {"x-gbk", 35},
    {"big-5", 14},       {"cn-big5", 14},        {"utf8", 15},          {"cp1252", 17},
    {"iso_8859-15", 18}, {"latin-9", 18},        {"x-euc-jp", 19},      {"sjis", 21},
    {"x-sjis", 21},      {"shift-jis", 21},      {"ms_kanji", 21},      {"cp1250", 22},
    {"cp1251", 23},      {"ks_c_5601-1987", 42}, {"cp949", 42},         {"tis620", 37},
    {"cp874", 41},
};

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int b64val(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string decode_q(std::string_view t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '_') {
      out += ' ';
    } else if (t[i] == '=' && i + 2 < t.size() && hexval(t[i + 1]) >= 0 && hexval(t[i + 2]) >= 0) {
      out += static_cast<char>(hexval(t[i + 1]) * 16 + hexval(t[i + 2]));
      i += 2;
    } else {
      out += t[i];
    }
  }
  return out;
}

// Characters outside the alphabet are skipped; decoding stops at '='.
std::string decode_b(std::string_view t) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : t) {
    if (c == '=') break;
    int v = b64val(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

struct IconvClose {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Appends bytes (in charset number cs) to out as UTF-8.  False when this
// C library has no converter for the charset.
bool convert(int cs, const std::string& bytes, std::string& out) {
  iconv_t raw = iconv_open("UTF-8", kCharsets[cs].iconv);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's documented failure value
  if (raw == reinterpret_cast<iconv_t>(-1)) return false;
  std::unique_ptr<void, IconvClose> cd(raw);
  char* in = const_cast<char*>(bytes.data());
  size_t inleft = bytes.size();
  char chunk[256];
  bool flushed = false;
  while (inleft > 0 || !flushed) {
    char* o = chunk;
    size_t oleft = sizeof(chunk);
    size_t r;
    if (inleft > 0) {
      r = iconv(raw, &in, &inleft, &o, &oleft);
    } else {
      r = iconv(raw, nullptr, nullptr, &o, &oleft);  // shift back to the initial state
      flushed = true;
    }
    out.append(chunk, static_cast<size_t>(o - chunk));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence): replace one byte and go on.
      out += "\xEF\xBF\xBD";
      if (inleft > 0) {
        ++in;
        --inleft;
      }
      iconv(raw, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return true;
}

// Parses an encoded word at s[pos] ("=?"); on success appends its decoded
// text, sets *end past it and returns true.
bool encoded_word(std::string_view s, size_t pos, size_t* end, std::string& out) {
  size_t cs_end = s.find('?', pos + 2);
  if (cs_end == std::string_view::npos || cs_end + 2 >= s.size() || s[cs_end + 2] != '?') return false;
  std::string charset(s.substr(pos + 2, cs_end - pos - 2));
  if (size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);  // RFC 2231 language
  char enc = s[cs_end + 1];
  size_t text_start = cs_end + 3;
  size_t text_end = s.find("?=", text_start);
  if (text_end == std::string_view::npos) return false;
  std::string_view text = s.substr(text_start, text_end - text_start);
  for (char c : text)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
  int cs = charset_lookupname(charset.c_str());
  if (cs < 0) return false;
  std::string bytes;
  if (enc == 'Q' || enc == 'q') {
    bytes = decode_q(text);
  } else if (enc == 'B' || enc == 'b') {
    bytes = decode_b(text);
  } else {
    return false;
  }
  std::string utf8;
  if (!convert(cs, bytes, utf8)) return false;
  for (char c : utf8)
    if (c != '\0') out += c;
  *end = text_end + 2;
  return true;
}

}  // namespace

int charset_lookupname(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < kCharsetCount; ++i)
    if (strcasecmp(name, kCharsets[i].name) == 0) return i;
  for (const Alias& a : kAliases)
    if (strcasecmp(name, a.name) == 0) return a.number;
  return -1;
}

const char* charset_name(int n) { return n >= 0 && n < kCharsetCount ? kCharsets[n].name : nullptr; }

std::string charset_decode1522_str(std::string_view s) {
  std::string out;
  size_t i = 0;
  size_t last_word_end = std::string_view::npos;  // where the previous encoded word ended
  while (i < s.size()) {
    if (s[i] == '=' && i + 1 < s.size() && s[i + 1] == '?') {
      std::string word;
      size_t end;
      if (encoded_word(s, i, &end, word)) {
        // White space between two encoded words is not part of the text.
        if (last_word_end != std::string_view::npos) {
          bool only_ws = true;
          for (size_t k = last_word_end; k < i; ++k) only_ws = only_ws && is_ws(s[k]);
          if (only_ws) out.resize(out.size() - (i - last_word_end));
        }
        out += word;
        i = end;
        last_word_end = end;
        continue;
      }
    }
    if (!is_ws(s[i]) && s[i] != '\0') last_word_end = std::string_view::npos;
    if (s[i] != '\0') out += s[i];
    ++i;
  }
  return out;
}

char* charset_decode1522(const char* s, char* buf, size_t size) {
  std::string d = charset_decode1522_str(s ? std::string_view(s) : std::string_view());
  if (!buf) return xstrdup(d.c_str());
  if (size == 0) return buf;
  size_t n = d.size() < size - 1 ? d.size() : size - 1;
  if (n < d.size()) {
    // Do not cut a UTF-8 sequence: back up over continuation bytes to the
    // start of the character that did not fit.
    while (n > 0 && (static_cast<unsigned char>(d[n]) & 0xC0) == 0x80) --n;
  }
  memcpy(buf, d.data(), n);
  buf[n] = '\0';
  return buf;
}
