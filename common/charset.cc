#include "common/charset.h"

#include <errno.h>
#include <iconv.h>
#include <strings.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "common/base64.h"
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
    int v = base64_value(c);
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

// ---- Text the store composes ---------------------------------------------------

namespace {

struct LangCharset {
  const char* tag;  // a full tag, or a primary language subtag
  int charset;      // number in kCharsets
};
// The charset usual for mail in each language.  Full tags come before
// their primary subtag, which is the fall-back.
constexpr LangCharset kLangCharsets[] = {
    {"zh-tw", 14}, {"zh-hk", 14}, {"zh", 13}, {"ja", 11}, {"ko", 20}, {"th", 37}, {"ru", 10}, {"uk", 30},
    {"be", 23},    {"bg", 23},    {"mk", 23}, {"sr", 23}, {"el", 7},  {"tr", 9},  {"he", 8},  {"iw", 8},
    {"ar", 6},     {"lt", 32},    {"lv", 32}, {"et", 32}, {"pl", 2},  {"cs", 2},  {"sk", 2},  {"hu", 2},
    {"hr", 2},     {"sl", 2},     {"ro", 2},  {"en", 1},  {"fr", 1},  {"de", 1},  {"es", 1},  {"it", 1},
    {"pt", 1},     {"nl", 1},     {"da", 1},  {"sv", 1},  {"no", 1},  {"nb", 1},  {"nn", 1},  {"fi", 1},
    {"is", 1},     {"ca", 1},     {"eu", 1},  {"gl", 1},  {"ga", 1},  {"af", 1},  {"id", 1},  {"ms", 1},
};

// The charset number for language lang, or -1.
int language_charset(const char* lang) {
  if (!lang || !*lang) return -1;
  std::string tag;
  for (const char* p = lang; *p && tag.size() < 64; ++p)
    tag += *p == '_' ? '-' : static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  for (const LangCharset& l : kLangCharsets)
    if (tag == l.tag) return l.charset;
  std::string primary = tag.substr(0, tag.find('-'));
  for (const LangCharset& l : kLangCharsets)
    if (primary == l.tag) return l.charset;
  return -1;
}

bool is_stateful(int cs) { return strncmp(kCharsets[cs].name, "iso-2022", 8) == 0; }
bool is_multibyte(int cs) { return is_stateful(cs) || (cs >= 13 && cs <= 15) || cs == 19 || cs == 20 || cs == 21; }

// Length of the UTF-8 character at s[i], or 0 when it is not a valid one
// (overlong forms, surrogates and values above U+10FFFF are not).
size_t utf8_char_len(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
  if (n == 0 || c > 0xF4 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  if (c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
  if (c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogate
  if (c == 0xF0 && b(i + 1) < 0x90) return 0;   // overlong
  if (c == 0xF4 && b(i + 1) >= 0x90) return 0;  // above U+10FFFF
  return n;
}

bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_char_len(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool all_ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// Converts UTF-8 to charset cs, refusing any character it cannot hold.
bool from_utf8(int cs, std::string_view in, std::string* out) {
  iconv_t raw = iconv_open(kCharsets[cs].iconv, "UTF-8");
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv_open's documented failure value
  if (raw == reinterpret_cast<iconv_t>(-1)) return false;
  std::unique_ptr<void, IconvClose> cd(raw);
  std::string res;
  char* ip = const_cast<char*>(in.data());
  size_t ileft = in.size();
  char chunk[256];
  for (bool flushed = false; ileft > 0 || !flushed;) {
    char* o = chunk;
    size_t oleft = sizeof(chunk);
    size_t r;
    if (ileft > 0) {
      r = iconv(raw, &ip, &ileft, &o, &oleft);
    } else {
      r = iconv(raw, nullptr, nullptr, &o, &oleft);  // back to the initial shift state
      flushed = true;
    }
    res.append(chunk, static_cast<size_t>(o - chunk));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) return false;
    // glibc counts characters it replaced as irreversible conversions;
    // such text does not fit the charset either.
    if (r != static_cast<size_t>(-1) && r > 0) return false;
  }
  *out = std::move(res);
  return true;
}

int text_charset(const char* lang, std::string_view utf8) {
  if (all_ascii(utf8)) return 0;
  int cs = language_charset(lang);
  std::string scratch;
  if (cs >= 0 && cs != 15 && from_utf8(cs, utf8, &scratch)) return cs;
  return 15;
}

constexpr char kHex[] = "0123456789ABCDEF";


// Quoted-printable (RFC 2045 6.7): CRLF pairs are line breaks, lines at
// most 76 characters with soft breaks, blanks before a break encoded.
std::string quoted_printable(std::string_view in) {
  std::string out;
  size_t col = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    auto c = static_cast<unsigned char>(in[i]);
    if (c == '\r' && i + 1 < in.size() && in[i + 1] == '\n') {
      out += "\r\n";
      col = 0;
      ++i;
      continue;
    }
    bool at_eol = i + 1 == in.size() || (in[i + 1] == '\r' && i + 2 < in.size() && in[i + 2] == '\n');
    std::string tok;
    if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !at_eol)) {
      tok = static_cast<char>(c);
    } else {
      tok = {'=', kHex[c >> 4], kHex[c & 15]};
    }
    // Keep room for the '=' of a soft break unless the line ends here.
    if (col + tok.size() > (at_eol ? 76u : 75u)) {
      out += "=\r\n";
      col = 0;
    }
    out += tok;
    col += tok.size();
  }
  return out;
}

// Q encoding of a header word (RFC 2047 4.2, the rules for a phrase).
std::string q_encode(std::string_view in) {
  std::string out;
  for (char ch : in) {
    auto c = static_cast<unsigned char>(ch);
    if (c == ' ') {
      out += '_';
    } else if (isalnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += {'=', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

}  // namespace

const char* charset_for_text(const char* lang, std::string_view utf8) {
  return kCharsets[text_charset(lang, utf8)].name;
}

bool charset_encode_body(const char* lang, std::string_view utf8, charset_body* out) {
  if (!valid_utf8(utf8) || utf8.find('\0') != std::string_view::npos) return false;
  int cs = text_charset(lang, utf8);
  std::string bytes;
  if (cs == 0 || cs == 15) {
    bytes = utf8;
  } else if (!from_utf8(cs, utf8, &bytes)) {
    return false;
  }
  size_t high = 0, line = 0, longest = 0;
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) ++high;
    line = c == '\n' ? 0 : line + 1;
    if (line > longest) longest = line;
  }
  charset_body b;
  b.charset = kCharsets[cs].name;
  if (high == 0 && longest <= 998) {
    b.encoding = "7bit";
    b.text = std::move(bytes);
  } else if (high * 5 <= bytes.size()) {
    b.encoding = "quoted-printable";
    b.text = quoted_printable(bytes);
  } else {
    b.encoding = "base64";
    std::string enc = base64_encode(bytes);
    for (size_t i = 0; i < enc.size(); i += 76) b.text.append(enc, i, 76).append("\r\n");
  }
  *out = std::move(b);
  return true;
}

bool charset_encode_header(const char* lang, std::string_view utf8, std::string* out) {
  if (!valid_utf8(utf8)) return false;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) return false;
  if (all_ascii(utf8) && utf8.find("=?") == std::string_view::npos) {
    *out = utf8;
    return true;
  }
  int cs = text_charset(lang, utf8);
  // Mostly ASCII text reads better as Q, in any single-byte charset.
  size_t high = 0;
  for (char c : utf8) high += static_cast<unsigned char>(c) >= 0x80;
  bool use_b = (is_multibyte(cs) && cs != 15) || high * 5 > utf8.size();
  const std::string prefix = std::string("=?") + kCharsets[cs].name + (use_b ? "?B?" : "?Q?");
  const size_t room = 75 - prefix.size() - 2;
  auto encode = [&](std::string_view chars, std::string* word) {
    std::string bytes;
    if (cs == 0 || cs == 15) {
      bytes = chars;
    } else if (!from_utf8(cs, chars, &bytes)) {
      return false;
    }
    *word = use_b ? base64_encode(bytes) : q_encode(bytes);
    return true;
  };
  std::string res;
  size_t i = 0;
  while (i < utf8.size()) {
    // The longest run of whole characters whose encoding fits one word.
    std::string best;
    size_t end = i;
    for (size_t j = i; j < utf8.size();) {
      j += utf8_char_len(utf8, j);
      std::string word;
      if (!encode(utf8.substr(i, j - i), &word)) return false;
      if (word.size() > room) break;
      best = std::move(word);
      end = j;
    }
    if (end == i) return false;  // one character does not fit a word
    if (!res.empty()) res += "\r\n ";
    res += prefix + best + "?=";
    i = end;
  }
  *out = std::move(res);
  return true;
}
