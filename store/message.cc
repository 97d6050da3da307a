#include "store/message.h"

#include <errno.h>
#include <strings.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "common/bvlog.h"
#include "common/charset.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/map.h"
#include "store/message_internal.h"
#include "store/msgtype.h"

namespace {

constexpr std::string_view kDefaultType = "TEXT/PLAIN; CHARSET=us-ascii";
constexpr std::string_view kDigestDefaultType = "MESSAGE/RFC822";

// Parse position plus the stack of pending multipart boundaries.
struct msg_state {
  const char* base;
  size_t len;
  size_t offset = 0;
  // Boundaries of the enclosing multiparts, outermost first.  Copies: the
  // bodies they come from may move while their siblings are parsed.
  std::vector<std::string> boundaries;
  // The last delimiter line consumed: its stack index (-1: none, the text
  // ran to the end of the message) and whether it was a closing one.
  int hit_index = -1;
  bool hit_closing = false;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The line at p, up to and including its line feed (or to the end).
std::string_view line_at(const msg_state& m, size_t p) {
  const void* nl = memchr(m.base + p, '\n', m.len - p);
  size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - m.base) + 1 : m.len;
  return std::string_view(m.base + p, end - p);
}

// Bytes of the line break that ends the text just before p (p > start).
size_t break_before(const msg_state& m, size_t p, size_t start) {
  if (p - start >= 2 && m.base[p - 2] == '\r' && m.base[p - 1] == '\n') return 2;
  return m.base[p - 1] == '\n' ? 1 : 0;
}

// Pending boundary test.  A line "--" + boundary matches the first such
// boundary in stack order; a closing delimiter ("--" after the boundary)
// removes that boundary and every one pushed after it.
bool match_boundary(msg_state& m, std::string_view line) {
  if (line.size() < 2 || line[0] != '-' || line[1] != '-') return false;
  std::string_view rest = line.substr(2);
  for (size_t i = 0; i < m.boundaries.size(); ++i) {
    const std::string& b = m.boundaries[i];
    if (rest.substr(0, b.size()) != b) continue;
    m.hit_index = static_cast<int>(i);
    m.hit_closing = rest.substr(b.size(), 2) == "--";
    if (m.hit_closing) m.boundaries.resize(i);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// MIME values (Content-Type, -Disposition, -Transfer-Encoding, -Language).

bool is_tspecial(unsigned char c) { return c != 0 && strchr("()<>@,;:\\\"/[]?=", c) != nullptr; }

// Skips white space (folds included) and comments, which may nest, hold
// backslash escapes and span folds; an unclosed comment runs to the end.
size_t skip_cfws_at(std::string_view s, size_t pos) {
  while (pos < s.size()) {
    if (is_ws(s[pos])) {
      ++pos;
    } else if (s[pos] == '(') {
      int depth = 0;
      while (pos < s.size()) {
        char c = s[pos++];
        if (c == '\\' && pos < s.size()) {
          ++pos;
        } else if (c == '(') {
          ++depth;
        } else if (c == ')' && --depth == 0) {
          break;
        }
      }
    } else {
      break;
    }
  }
  return pos;
}

class MimeScanner {
 public:
  explicit MimeScanner(std::string_view s) : s_(s) {}

  bool eof() const { return pos_ >= s_.size(); }
  bool at(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  void skip() { ++pos_; }

  void skip_cfws() { pos_ = skip_cfws_at(s_, pos_); }

  // A token ending at white space, '(' or delim (0: none).  False when it is
  // empty or holds a control or special character.
  bool token(char delim, std::string* out) {
    size_t start = pos_;
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_]);
      if (is_ws(static_cast<char>(c)) || c == '(' || (delim && c == static_cast<unsigned char>(delim))) break;
      if (c < 32 || c == 127 || is_tspecial(c)) return false;
      ++pos_;
    }
    if (pos_ == start) return false;
    out->assign(s_.substr(start, pos_ - start));
    return true;
  }

  // A quoted string at '"'.  Escapes are resolved; a line break inside must
  // be a fold (CR LF or LF, then a blank), which is removed.
  bool quoted(std::string* out) {
    out->clear();
    ++pos_;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (c == '\\') {
        if (pos_ >= s_.size()) return false;
        *out += s_[pos_++];
      } else if (c == '\r' || c == '\n') {
        if (c == '\r') {
          if (pos_ >= s_.size() || s_[pos_] != '\n') return false;
          ++pos_;
        }
        if (pos_ >= s_.size() || !is_blank(s_[pos_])) return false;
      } else {
        *out += c;
      }
    }
    return false;  // unterminated
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
};

// Parameters after a ';': attribute=value pairs separated by ';'.  A
// malformed parameter ends the list; those before it are kept.
void parse_params(MimeScanner& sc, std::vector<body_param>* params) {
  for (;;) {
    sc.skip_cfws();
    if (sc.eof()) return;
    if (sc.at(';')) {  // empty parameter
      sc.skip();
      continue;
    }
    body_param p;
    if (!sc.token('=', &p.attribute)) return;
    sc.skip_cfws();
    if (!sc.at('=')) return;
    sc.skip();
    sc.skip_cfws();
    if (sc.at('"')) {
      if (!sc.quoted(&p.value)) return;
    } else if (!sc.token(';', &p.value)) {
      return;
    }
    p.attribute = upper(p.attribute);
    params->push_back(std::move(p));
    sc.skip_cfws();
    if (!sc.at(';')) return;  // end, or garbage after a complete parameter
    sc.skip();
  }
}

// RFC 2231 percent-encoding of a plain piece joining an extended value.
// Non-ASCII bytes are encoded too: an extended value is ASCII by definition.
std::string percent_encode(std::string_view s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c <= 32 || c >= 127 || c == '*' || c == '\'' || c == '%' || is_tspecial(c)) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Joins RFC 2231 continuations: NAME*0 (or NAME*0*) collects NAME*1,
// NAME*2, ... up to NAME*99 (each plain or extended; the first missing
// number ends the chain) and is renamed NAME, or NAME* when the joined value
// is extended.
void fold_params(std::vector<body_param>* params) {
  std::vector<body_param>& ps = *params;
  std::vector<bool> gone(ps.size(), false);
  for (size_t i = 0; i < ps.size(); ++i) {
    if (gone[i]) continue;
    const std::string& attr = ps[i].attribute;
    bool extended;
    size_t base_len;
    if (attr.size() > 3 && attr.compare(attr.size() - 3, 3, "*0*") == 0) {
      extended = true;
      base_len = attr.size() - 3;
    } else if (attr.size() > 2 && attr.compare(attr.size() - 2, 2, "*0") == 0) {
      extended = false;
      base_len = attr.size() - 2;
    } else {
      continue;
    }
    std::string base = attr.substr(0, base_len);
    std::string value = ps[i].value;
    for (int n = 1; n <= 99; ++n) {
      std::string plain = base + "*" + std::to_string(n);
      std::string ext = plain + "*";
      size_t j = 0;
      for (; j < ps.size(); ++j)
        if (!gone[j] && j != i && (ps[j].attribute == plain || ps[j].attribute == ext)) break;
      if (j == ps.size()) break;
      bool piece_ext = ps[j].attribute == ext;
      if (piece_ext && !extended) {
        value = "''" + percent_encode(value);
        extended = true;
      }
      value += extended && !piece_ext ? percent_encode(ps[j].value) : ps[j].value;
      gone[j] = true;
    }
    ps[i].attribute = extended ? base + "*" : base;
    ps[i].value = std::move(value);
  }
  size_t w = 0;
  for (size_t i = 0; i < ps.size(); ++i)
    if (!gone[i]) {
      if (w != i) ps[w] = std::move(ps[i]);
      ++w;
    }
  ps.resize(w);
}

// type "/" subtype [";" params].  False (field ignored) when malformed.
bool parse_type(std::string_view value, body* b) {
  MimeScanner sc(value);
  std::string type, subtype;
  sc.skip_cfws();
  if (!sc.token('/', &type)) return false;
  sc.skip_cfws();
  if (!sc.at('/')) return false;
  sc.skip();
  sc.skip_cfws();
  if (!sc.token(';', &subtype)) return false;
  sc.skip_cfws();
  std::vector<body_param> params;
  if (sc.at(';')) {
    sc.skip();
    parse_params(sc, &params);
  } else if (!sc.eof()) {
    return false;
  }
  fold_params(&params);
  b->type = upper(type);
  b->subtype = upper(subtype);
  b->params = std::move(params);
  return true;
}

void parse_encoding(std::string_view value, body* b) {
  MimeScanner sc(value);
  std::string enc;
  sc.skip_cfws();
  if (!sc.token(0, &enc)) return;
  sc.skip_cfws();
  if (!sc.eof()) return;
  b->encoding = upper(enc);
}

void parse_disposition(std::string_view value, body* b) {
  MimeScanner sc(value);
  std::string disp;
  sc.skip_cfws();
  if (!sc.token(';', &disp)) return;
  sc.skip_cfws();
  std::vector<body_param> params;
  if (sc.at(';')) {
    sc.skip();
    parse_params(sc, &params);
  } else if (!sc.eof()) {
    return;
  }
  fold_params(&params);
  b->disposition = upper(disp);
  b->disposition_params = std::move(params);
}

// Comma-separated tags of letters and hyphens; any other character in a tag
// ends the list (the tags before it are kept).
void parse_language(std::string_view value, body* b) {
  auto is_tag_char = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-'; };
  size_t pos = 0;
  for (;;) {
    pos = skip_cfws_at(value, pos);
    if (pos >= value.size()) return;
    if (value[pos] == ',') {
      ++pos;
      continue;
    }
    size_t start = pos;
    while (pos < value.size() && is_tag_char(value[pos])) ++pos;
    if (pos == start) return;
    if (pos < value.size() && !is_ws(value[pos]) && value[pos] != ',' && value[pos] != '(') return;
    b->language.push_back(upper(value.substr(start, pos - start)));
  }
}

// Removes line breaks (CR LF pairs and bare LFs) and then leading blanks.
std::string unfold(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') {
      ++i;
      continue;
    }
    if (v[i] == '\n') continue;
    out += v[i];
  }
  size_t lead = 0;
  while (lead < out.size() && is_blank(out[lead])) ++lead;
  return out.substr(lead);
}

enum class Field {
  bcc,
  cc,
  description,
  disposition,
  id,
  language,
  md5,
  encoding,
  type,
  date,
  from,
  in_reply_to,
  message_id,
  reply_to,
  sender,
  subject,
  to
};

struct FieldName {
  const char* name;
  Field field;
};
constexpr FieldName kFields[] = {
    {"Bcc", Field::bcc},
    {"Cc", Field::cc},
    {"Content-Description", Field::description},
    {"Content-Disposition", Field::disposition},
    {"Content-ID", Field::id},
    {"Content-Language", Field::language},
    {"Content-MD5", Field::md5},
    {"Content-Transfer-Encoding", Field::encoding},
    {"Content-Type", Field::type},
    {"Date", Field::date},
    {"From", Field::from},
    {"In-Reply-To", Field::in_reply_to},
    {"Message-ID", Field::message_id},
    {"Reply-To", Field::reply_to},
    {"Sender", Field::sender},
    {"Subject", Field::subject},
    {"To", Field::to},
};

void add_addresses(AddressList* list, std::string_view value) {
  std::string text = unfold(value);
  address* head = list->release();
  parseaddr_list(text.c_str(), &head);
  list->reset(head);
}

void set_once(std::optional<std::string>* slot, std::string_view value) {
  if (!*slot) *slot = unfold(value);
}

// Picks the known fields out of the header text h (which ends before the
// blank line).  Returns whether a usable Content-Type was found.
bool pick_fields(std::string_view h, body* b) {
  bool have_type = false, seen_type = false, seen_encoding = false, seen_disposition = false, seen_language = false;
  size_t i = 0;
  while (i < h.size()) {
    size_t eol = h.find('\n', i);
    size_t line_end = eol == std::string_view::npos ? h.size() : eol + 1;
    if (is_blank(h[i])) {  // a continuation with no field before it
      i = line_end;
      continue;
    }
    size_t colon = h.find(':', i);
    if (colon == std::string_view::npos || colon >= line_end) {
      i = line_end;
      continue;
    }
    std::string_view name = h.substr(i, colon - i);
    size_t end = line_end;
    while (end < h.size() && is_blank(h[end])) {
      size_t e = h.find('\n', end);
      end = e == std::string_view::npos ? h.size() : e + 1;
    }
    std::string_view value = h.substr(colon + 1, end - colon - 1);
    i = end;
    const FieldName* f = nullptr;
    for (const FieldName& k : kFields)
      if (name.size() == strlen(k.name) && strncasecmp(name.data(), k.name, name.size()) == 0) f = &k;
    if (!f) continue;
    switch (f->field) {
      case Field::bcc:
        add_addresses(&b->bcc, value);
        break;
      case Field::cc:
        add_addresses(&b->cc, value);
        break;
      case Field::from:
        add_addresses(&b->from, value);
        break;
      case Field::reply_to:
        add_addresses(&b->reply_to, value);
        break;
      case Field::sender:
        add_addresses(&b->sender, value);
        break;
      case Field::to:
        add_addresses(&b->to, value);
        break;
      case Field::description:
        set_once(&b->description, value);
        break;
      case Field::id:
        set_once(&b->id, value);
        break;
      case Field::md5:
        set_once(&b->md5, value);
        break;
      case Field::date:
        set_once(&b->date, value);
        break;
      case Field::in_reply_to:
        set_once(&b->in_reply_to, value);
        break;
      case Field::message_id:
        set_once(&b->message_id, value);
        break;
      case Field::subject:
        set_once(&b->subject, value);
        break;
      case Field::type:
        if (!seen_type) have_type = parse_type(value, b);
        seen_type = true;
        break;
      case Field::encoding:
        if (!seen_encoding) parse_encoding(value, b);
        seen_encoding = true;
        break;
      case Field::disposition:
        if (!seen_disposition) parse_disposition(value, b);
        seen_disposition = true;
        break;
      case Field::language:
        if (!seen_language) parse_language(value, b);
        seen_language = true;
        break;
    }
  }
  return have_type;
}

// A field line: a name without white space, then ':'.
bool is_field_line(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (size_t k = 0; k < colon; ++k) {
    unsigned char c = static_cast<unsigned char>(line[k]);
    if (c <= 32 || c == 127) return false;
  }
  return true;
}

// Reads the part's header.  Returns true when it ran into a boundary line.
bool parse_headers(msg_state& m, body* b, std::string_view defaulttype) {
  const size_t start = m.offset;
  b->header_offset = start;
  size_t p = start;
  size_t fields_end = start;  // before the blank line, if any
  bool hit = false;
  bool dot = false;
  while (p < m.len) {
    std::string_view line = line_at(m, p);
    if (match_boundary(m, line)) {
      size_t moved = p > start ? break_before(m, p, start) : 0;
      b->boundary_size = line.size() + moved;
      b->boundary_lines = (line.back() == '\n') + (moved ? 1 : 0);
      m.offset = p + line.size();
      p -= moved;
      fields_end = p;
      hit = true;
      break;
    }
    if (p - start + line.size() > MESSAGE_MAX_HEADER) {
      // Too long to be a header: treat it all as body.
      p = fields_end = start;
      dot = false;
      break;
    }
    bool blank = true;
    for (char c : line) blank = blank && is_ws(c);
    if (blank) {
      fields_end = p;
      p += line.size();
      break;
    }
    if (!is_blank(line[0]) && !is_field_line(line)) break;  // pushed back: the body starts here
    if (line[0] == '.') dot = true;
    p += line.size();
    fields_end = p;
  }
  if (!hit) m.offset = p;
  b->content_offset = p;
  b->header_size = p - start;
  b->header_lines = 0;
  for (size_t k = start; k < p; ++k)
    if (m.base[k] == '\n') ++b->header_lines;
  b->has_leading_dot = dot;
  std::string_view fields(m.base + start, fields_end - start);
  if (!pick_fields(fields, b)) parse_type(defaulttype, b);
  return hit;
}

// Reads body lines until the end or a pending boundary.
void parse_content(msg_state& m, body* b) {
  const size_t start = m.offset;
  b->content_offset = start;
  m.hit_index = -1;
  size_t p = start;
  size_t lines = 0;
  while (p < m.len) {
    std::string_view line = line_at(m, p);
    if (line[0] == '-' && match_boundary(m, line)) {
      // The line break before a delimiter belongs to the delimiter.
      size_t moved = p > start ? break_before(m, p, start) : 0;
      b->boundary_size = line.size() + moved;
      b->boundary_lines = (line.back() == '\n') + (moved ? 1 : 0);
      if (moved) --lines;
      b->content_size = p - start - moved;
      b->content_lines = lines;
      m.offset = p + line.size();
      return;
    }
    if (line[0] == '.') b->has_leading_dot = true;
    if (line.back() == '\n') ++lines;
    p += line.size();
  }
  b->content_size = p - start;
  b->content_lines = lines;
  m.offset = p;
}

void parse_body(msg_state& m, body* b, std::string_view defaulttype, int depth);

const body_param* find_param(const std::vector<body_param>& ps, std::string_view attr) {
  for (const body_param& p : ps)
    if (p.attribute == attr) return &p;
  return nullptr;
}

void parse_multipart(msg_state& m, body* b, int depth) {
  const body_param* bp = find_param(b->params, "BOUNDARY");
  if (!bp || bp->value.empty()) {
    parse_content(m, b);
    return;
  }
  const int mine = static_cast<int>(m.boundaries.size());
  m.boundaries.push_back(bp->value);
  std::string_view part_type = b->subtype == "DIGEST" ? kDigestDefaultType : kDefaultType;

  // Where the text read so far stopped.
  enum class Stop { more, closed, outer, end };
  auto classify = [&]() {
    if (m.hit_index < 0) return Stop::end;
    if (m.hit_index < mine) return Stop::outer;  // a delimiter of an enclosing multipart
    return m.hit_closing ? Stop::closed : Stop::more;
  };

  body preamble;
  parse_content(m, &preamble);
  Stop stop = classify();
  // A delimiter at the very end of the message starts no part.
  while (stop == Stop::more && m.offset < m.len) {
    body& part = b->subpart.emplace_back();
    parse_body(m, &part, part_type, depth - 1);
    stop = classify();
  }
  body epilogue;
  if (stop == Stop::closed) parse_content(m, &epilogue);
  if (stop == Stop::more) m.hit_index = -1;  // our delimiter was the last line
  if (m.boundaries.size() > static_cast<size_t>(mine)) m.boundaries.resize(mine);

  size_t size = preamble.content_size + preamble.boundary_size;
  size_t lines = preamble.content_lines + preamble.boundary_lines;
  bool dot = preamble.has_leading_dot;
  for (const body& part : b->subpart) {
    size += part.header_size + part.content_size + part.boundary_size;
    lines += part.header_lines + part.content_lines + part.boundary_lines;
    dot = dot || part.has_leading_dot;
  }
  if (stop == Stop::closed) {
    size += epilogue.content_size;
    lines += epilogue.content_lines;
    dot = dot || epilogue.has_leading_dot;
    b->boundary_size = epilogue.boundary_size;
    b->boundary_lines = epilogue.boundary_lines;
  } else {
    // Not closed: the delimiter that ended the last piece ends the multipart.
    body* last = b->subpart.empty() ? &preamble : &b->subpart.back();
    b->boundary_size = last->boundary_size;
    b->boundary_lines = last->boundary_lines;
    size -= last->boundary_size;
    lines -= last->boundary_lines;
    last->boundary_size = last->boundary_lines = 0;
  }
  b->content_size = size;
  b->content_lines = lines;
  b->has_leading_dot = b->has_leading_dot || dot;
}

void parse_body(msg_state& m, body* b, std::string_view defaulttype, int depth) {
  *b = body();
  bool hit = parse_headers(m, b, defaulttype);
  bool rfc822 = b->type == "MESSAGE" && b->subtype == "RFC822";
  if (depth <= 0 && (b->type == "MULTIPART" || rfc822)) {
    b->type = "TEXT";  // nesting cut off here
    rfc822 = false;
  }
  if (b->type == "MULTIPART") {
    if (!hit) parse_multipart(m, b, depth);
  } else if (rfc822) {
    body& sub = b->subpart.emplace_back();
    if (hit) {
      parse_type(kDefaultType, &sub);
      sub.header_offset = sub.content_offset = b->content_offset;
      return;
    }
    parse_body(m, &sub, kDefaultType, depth - 1);
    b->content_size = sub.header_size + sub.content_size;
    b->content_lines = sub.header_lines + sub.content_lines;
    b->has_leading_dot = b->has_leading_dot || sub.has_leading_dot;
    b->boundary_size = sub.boundary_size;
    b->boundary_lines = sub.boundary_lines;
  } else if (!hit) {
    parse_content(m, b);
  }
}

// ---------------------------------------------------------------------------
// Dates.

bool digits(std::string_view s, size_t* pos, size_t min, size_t max, int* out) {
  size_t start = *pos;
  int v = 0;
  while (*pos < s.size() && *pos - start < max && s[*pos] >= '0' && s[*pos] <= '9') v = v * 10 + (s[(*pos)++] - '0');
  if (*pos - start < min) return false;
  if (*pos < s.size() && s[*pos] >= '0' && s[*pos] <= '9') return false;  // too many
  *out = v;
  return true;
}

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void skip_ws(std::string_view s, size_t* pos) {
  while (*pos < s.size() && is_ws(s[*pos])) ++*pos;
}

struct ZoneName {
  const char* name;
  int hours;
};
constexpr ZoneName kZones[] = {
    {"EDT", -4}, {"EST", -5}, {"CDT", -5}, {"CST", -6}, {"MDT", -6}, {"MST", -7},
    {"PDT", -7}, {"PST", -8}, {"GMT", 0},  {"UT", 0},   {"UTC", 0},  {"Z", 0},
};

}  // namespace

bool message_parse_date(std::string_view s, time_t* out) {
  static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                       "jul", "aug", "sep", "oct", "nov", "dec"};
  size_t p = 0;
  skip_ws(s, &p);
  if (p < s.size() && is_alpha(s[p])) {  // day of week
    if (p + 3 > s.size() || !is_alpha(s[p + 1]) || !is_alpha(s[p + 2])) return false;
    p += 3;
    skip_ws(s, &p);
    if (p >= s.size() || s[p] != ',') return false;
    ++p;
    skip_ws(s, &p);
  }
  struct tm tm = {};
  int day, year;
  if (!digits(s, &p, 1, 2, &day)) return false;
  skip_ws(s, &p);
  if (p + 3 > s.size() || !is_alpha(s[p]) || !is_alpha(s[p + 1]) || !is_alpha(s[p + 2])) return false;
  if (p + 3 < s.size() && is_alpha(s[p + 3])) return false;
  int mon = -1;
  for (int i = 0; i < 12; ++i)
    if (strncasecmp(s.data() + p, months[i], 3) == 0) mon = i;
  if (mon < 0) return false;
  p += 3;
  skip_ws(s, &p);
  size_t ystart = p;
  if (!digits(s, &p, 2, 4, &year)) return false;
  switch (p - ystart) {
    case 2:
      year += year < 50 ? 2000 : 1900;
      break;
    case 3:
      year += 1900;
      break;
    default:
      if (year < 1900) return false;
  }
  if (day < 1 || day > 31) return false;
  tm.tm_mday = day;
  tm.tm_mon = mon;
  tm.tm_year = year - 1900;
  skip_ws(s, &p);
  if (p >= s.size()) {  // date only: noon, local time
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) return false;
    *out = t;
    return true;
  }
  int h, mi, sec;
  if (!digits(s, &p, 1, 2, &h) || p >= s.size()) return false;
  ++p;
  if (!digits(s, &p, 1, 2, &mi) || p >= s.size()) return false;
  ++p;
  if (!digits(s, &p, 1, 2, &sec)) return false;
  if (h > 23 || mi > 59 || sec > 60) return false;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  skip_ws(s, &p);
  if (p >= s.size()) {  // no zone: local time
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) return false;
    *out = t;
    return true;
  }
  int offset = 0;  // minutes east of UTC
  if (s[p] == '+' || s[p] == '-' || (s[p] >= '0' && s[p] <= '9')) {
    int sign = s[p] == '-' ? -1 : 1;
    if (s[p] == '+' || s[p] == '-') ++p;
    size_t zstart = p;
    int hhmm;
    if (!digits(s, &p, 4, 4, &hhmm) || p - zstart != 4) return false;
    offset = sign * (hhmm / 100 * 60 + hhmm % 100);
  } else if (is_alpha(s[p])) {
    size_t zstart = p;
    while (p < s.size() && is_alpha(s[p])) ++p;
    std::string_view name = s.substr(zstart, p - zstart);
    for (const ZoneName& z : kZones)
      if (name.size() == strlen(z.name) && strncasecmp(name.data(), z.name, name.size()) == 0) offset = z.hours * 60;
    // Other names count as UTC.
  } else {
    return false;
  }
  time_t t = timegm(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  *out = t - static_cast<time_t>(offset) * 60;
  return true;
}

void message_parse_tree(const char* base, size_t len, body* root) {
  msg_state m{base, len, 0, {}, -1, false};
  parse_body(m, root, kDefaultType, MESSAGE_MAX_DEPTH);
}

// ---------------------------------------------------------------------------
// Cache items.

namespace {

void put_nstring(std::string& out, const char* s, size_t n) {
  if (!s) {
    out += "NIL";
    return;
  }
  bool literal = n >= 1024;
  for (size_t i = 0; i < n && !literal; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    literal = c >= 0x80 || c == '\r' || c == '\n' || c == '"' || c == '%' || c == '\\' || c == '\0';
  }
  if (literal) {
    out += '{';
    out += std::to_string(n);
    out += "}\r\n";
    out.append(s, n);
  } else {
    out += '"';
    out.append(s, n);
    out += '"';
  }
}
void put_nstring_opt(std::string& out, const std::optional<std::string>& s) {
  if (s)
    put_nstring(out, s->data(), s->size());
  else
    put_nstring(out, nullptr, 0);
}
void put_nstring(std::string& out, std::string_view s) { put_nstring(out, s.data(), s.size()); }
void put_nstring(std::string& out, const std::string& s) { put_nstring(out, s.data(), s.size()); }
void put_nstring(std::string& out, const char* s) { put_nstring(out, s, s ? strlen(s) : 0); }

void put_addresses(std::string& out, const address* a) {
  if (!a) {
    out += "NIL";
    return;
  }
  out += '(';
  for (; a; a = a->next) {
    out += '(';
    put_nstring(out, a->name);
    out += ' ';
    put_nstring(out, a->route);
    out += ' ';
    put_nstring(out, a->mailbox);
    out += ' ';
    put_nstring(out, a->domain);
    out += ')';
  }
  out += ')';
}

void put_envelope(std::string& out, const body& b) {
  const address* from = b.from.get();
  out += '(';
  put_nstring_opt(out, b.date);
  out += ' ';
  put_nstring_opt(out, b.subject);
  out += ' ';
  put_addresses(out, from);
  out += ' ';
  put_addresses(out, b.sender ? b.sender.get() : from);
  out += ' ';
  put_addresses(out, b.reply_to ? b.reply_to.get() : from);
  out += ' ';
  put_addresses(out, b.to.get());
  out += ' ';
  put_addresses(out, b.cc.get());
  out += ' ';
  put_addresses(out, b.bcc.get());
  out += ' ';
  put_nstring_opt(out, b.in_reply_to);
  out += ' ';
  put_nstring_opt(out, b.message_id);
  out += ')';
}

void put_params(std::string& out, const std::vector<body_param>& ps) {
  if (ps.empty()) {
    out += "NIL";
    return;
  }
  out += '(';
  for (size_t i = 0; i < ps.size(); ++i) {
    if (i) out += ' ';
    put_nstring(out, ps[i].attribute);
    out += ' ';
    put_nstring(out, ps[i].value);
  }
  out += ')';
}

void put_extensions_tail(std::string& out, const body& b) {
  out += ' ';
  if (b.disposition) {
    out += '(';
    put_nstring_opt(out, b.disposition);
    out += ' ';
    put_params(out, b.disposition_params);
    out += ')';
  } else {
    out += "NIL";
  }
  out += ' ';
  if (b.language.empty()) {
    out += "NIL";
  } else {
    out += '(';
    for (size_t i = 0; i < b.language.size(); ++i) {
      if (i) out += ' ';
      put_nstring(out, b.language[i]);
    }
    out += ')';
  }
}

void put_body(std::string& out, const body& b, bool ext) {
  if (b.type == "MULTIPART") {
    out += '(';
    if (b.subpart.empty()) {
      out += R"(("TEXT" "PLAIN" ("CHARSET" "us-ascii") NIL NIL "7BIT" 0 0)";
      out += ext ? " NIL NIL NIL)" : ")";
    }
    for (const body& part : b.subpart) put_body(out, part, ext);
    out += ' ';
    put_nstring(out, b.subtype);
    if (ext) {
      out += ' ';
      put_params(out, b.params);
      put_extensions_tail(out, b);
    }
    out += ')';
    return;
  }
  out += '(';
  put_nstring(out, b.type);
  out += ' ';
  put_nstring(out, b.subtype);
  out += ' ';
  put_params(out, b.params);
  out += ' ';
  put_nstring_opt(out, b.id);
  out += ' ';
  put_nstring_opt(out, b.description);
  out += ' ';
  if (b.encoding)
    put_nstring_opt(out, b.encoding);
  else
    out += "\"7BIT\"";
  out += ' ';
  out += std::to_string(b.content_size);
  if (b.type == "MESSAGE" && b.subtype == "RFC822" && !b.subpart.empty()) {
    out += ' ';
    put_envelope(out, b.subpart[0]);
    out += ' ';
    put_body(out, b.subpart[0], ext);
    out += ' ';
    out += std::to_string(b.content_lines);
  } else if (b.type == "TEXT") {
    out += ' ';
    out += std::to_string(b.content_lines);
  }
  if (ext) {
    out += ' ';
    put_nstring_opt(out, b.md5);
    put_extensions_tail(out, b);
  }
  out += ')';
}

void put_word(std::string& out, uint32_t v) {
  unsigned char w[4];
  put_be32(w, v);
  out.append(reinterpret_cast<const char*>(w), 4);
}

uint32_t encoding_code(const body& b) {
  if (!b.encoding || *b.encoding == "7BIT" || *b.encoding == "8BIT" || *b.encoding == "BINARY") return 0;
  if (*b.encoding == "QUOTED-PRINTABLE") return 1;
  if (*b.encoding == "BASE64") return 2;
  return 255;
}

uint32_t charset_word(const body& b) {
  if (b.type == "TEXT") {
    int cs = 0;
    if (const body_param* p = find_param(b.params, "CHARSET")) cs = charset_lookupname(p->value.c_str());
    return (static_cast<uint32_t>(cs) & 0xFFFF) << 16 | encoding_code(b);
  }
  if (b.type == "MESSAGE") return b.subtype == "RFC822" ? 0xFFFF0000u : 0;
  return 0xFFFF0000u | encoding_code(b);
}

// SECTION layout, all big-endian words.  A part without sub-parts is the
// single word 0.  A part with n sub-parts is n + 1, then five words for
// part 0 (its own header: for MESSAGE/RFC822 the encapsulated message's
// header offset, header size, content offset and content size, otherwise
// 0, 0xFFFFFFFF, 0, 0xFFFFFFFF; then 0xFFFF0000), then for each sub-part its
// header offset, header size, content offset, content size (0 for a
// multipart without parts) and charset word, then the sub-parts' sections
// in order.  Charset word: charset number (charset_lookupname, 0xFFFF for
// unknown) << 16 | encoding (0 none/7BIT/8BIT/BINARY, 1 QUOTED-PRINTABLE,
// 2 BASE64, 255 other) for TEXT; 0xFFFF0000 for MESSAGE/RFC822, 0 for other
// MESSAGE types, 0xFFFF0000 | encoding for the rest.
void put_section(std::string& out, const body& b) {
  if (b.subpart.empty()) {
    put_word(out, 0);
    return;
  }
  put_word(out, static_cast<uint32_t>(b.subpart.size() + 1));
  if (b.type == "MESSAGE") {
    const body& sub = b.subpart[0];
    put_word(out, static_cast<uint32_t>(sub.header_offset));
    put_word(out, static_cast<uint32_t>(sub.header_size));
    put_word(out, static_cast<uint32_t>(sub.content_offset));
    put_word(out, static_cast<uint32_t>(sub.content_size));
  } else {
    put_word(out, 0);
    put_word(out, 0xFFFFFFFFu);
    put_word(out, 0);
    put_word(out, 0xFFFFFFFFu);
  }
  put_word(out, 0xFFFF0000u);
  for (const body& sub : b.subpart) {
    put_word(out, static_cast<uint32_t>(sub.header_offset));
    put_word(out, static_cast<uint32_t>(sub.header_size));
    put_word(out, static_cast<uint32_t>(sub.content_offset));
    bool empty_multipart = sub.type == "MULTIPART" && sub.subpart.empty();
    put_word(out, empty_multipart ? 0 : static_cast<uint32_t>(sub.content_size));
    put_word(out, charset_word(sub));
  }
  for (const body& sub : b.subpart) put_section(out, sub);
}

// One cache item: length word, data, padding to 4.
void put_item(std::string& out, std::string_view data) {
  put_word(out, static_cast<uint32_t>(data.size()));
  out.append(data);
  out.append((4 - data.size() % 4) % 4, '\0');
}

}  // namespace

std::string message_envelope(const body& root) {
  std::string out;
  put_envelope(out, root);
  return out;
}

std::string message_bodystructure(const body& root, bool extensions) {
  std::string out;
  put_body(out, root, extensions);
  return out;
}

std::string message_section(const body& root) {
  std::string out;
  put_section(out, root);
  return out;
}

std::string message_search_addresses(const address* a) {
  std::string out;
  for (bool first = true; a; a = a->next, first = false) {
    if (!first) out += ',';
    if (!a->domain) {
      if (a->mailbox) {  // group start
        char name[256];
        out += charset_decode1522(a->mailbox, name, sizeof name);
        out += ':';
      } else {
        out += ';';
      }
      continue;
    }
    if (a->name) {
      char name[256];
      out += charset_decode1522(a->name, name, sizeof name);
      out += ' ';
    }
    out += '<';
    if (a->route) {
      out += lower(a->route);
      out += ':';
    }
    out += lower(a->mailbox ? a->mailbox : "");
    if (*a->domain) {  // addresses without a domain are written without '@'
      out += '@';
      out += lower(a->domain);
    }
    out += '>';
  }
  return out;
}

std::string message_subject(const body& root) {
  std::string out;
  if (root.subject) {
    put_nstring(out, std::string_view(charset_decode1522_str(*root.subject)));
  } else {
    out += "NIL";
  }
  return out;
}

namespace {

// A cache entry ready to write: items 1-4 and the header's length word; the
// header straight from the map; its padding, items 6-10 and item 11's length
// word; the extra text; its padding.  Five buffers, one write.
struct CacheEntry {
  std::string front, back;
  const char* header;
  size_t header_size;
  const char* extra;
  size_t extra_len;

  size_t size() const { return front.size() + header_size + back.size() + extra_len + (4 - extra_len % 4) % 4; }

  ssize_t write(int fd) const {
    static const char zeros[4] = {0, 0, 0, 0};
    struct iovec iov[5];
    iov[0] = {const_cast<char*>(front.data()), front.size()};
    iov[1] = {const_cast<char*>(header), header_size};
    iov[2] = {const_cast<char*>(back.data()), back.size()};
    iov[3] = {const_cast<char*>(extra), extra_len};
    iov[4] = {const_cast<char*>(zeros), (4 - extra_len % 4) % 4};
    return retry_writev(fd, iov, 5);
  }
};

CacheEntry build_cache(const body& root, const char* base, const char* extra) {
  CacheEntry e;
  put_item(e.front, message_envelope(root));
  put_item(e.front, message_bodystructure(root, true));
  put_item(e.front, message_bodystructure(root, false));
  put_item(e.front, message_section(root));
  put_word(e.front, static_cast<uint32_t>(root.header_size));
  e.header = base + root.header_offset;
  e.header_size = root.header_size;
  e.back.assign((4 - root.header_size % 4) % 4, '\0');
  put_item(e.back, message_search_addresses(root.from.get()));
  put_item(e.back, message_search_addresses(root.to.get()));
  put_item(e.back, message_search_addresses(root.cc.get()));
  put_item(e.back, message_search_addresses(root.bcc.get()));
  put_item(e.back, message_subject(root));
  e.extra = extra ? extra : "";
  e.extra_len = strlen(e.extra);
  put_word(e.back, static_cast<uint32_t>(e.extra_len));
  return e;
}

}  // namespace

ssize_t message_write_cache(int fd, const body& root, const char* base, const char* extra) {
  return build_cache(root, base, extra).write(fd);
}

int message_parse_mapped(const char* base, size_t len, const char* mboxname, int cache_fd, uint32_t cache_area_offset,
                         const char* extra, index_record* record) {
  if (len > UINT32_MAX) {
    bvlog(0, LOG_STORE_ERR, "Message of %zu bytes too large for %s", len, mboxname);
    return IMAP_MESSAGE_TOO_LARGE;
  }
  body root;
  message_parse_tree(base, len, &root);

  time_t sent;
  if (!root.date || !message_parse_date(*root.date, &sent)) sent = time(nullptr);
  // The record holds an unsigned 32-bit time: dates before 1970 become 0.
  record->sentdate = sent < 0 ? 0 : sent > static_cast<time_t>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(sent);
  // The parts tile the message, so this is len; taken from the file itself
  // so that a sender's broken structure can never make it disagree.
  record->size = static_cast<uint32_t>(len);
  record->header_size = static_cast<uint32_t>(root.header_size);
  record->content_offset = static_cast<uint32_t>(root.content_offset);
  if (!root.has_leading_dot && len >= 2 && base[len - 2] == '\r' && base[len - 1] == '\n')
    record->system_flags |= INDEX_FLAG_CRLF_NODOT;

  off_t pos = lseek(cache_fd, 0, SEEK_CUR);
  if (pos < 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to append cache for %s: %m", mboxname);
    return IMAP_IOERROR;
  }
  CacheEntry entry = build_cache(root, base, extra);
  if (pos < static_cast<off_t>(cache_area_offset) ||
      static_cast<uint64_t>(pos) - cache_area_offset + entry.size() > UINT32_MAX) {
    // The record's 32-bit cache offset could not reach the entry.
    bvlog(0, LOG_STORE_ERR, "Unable to append cache for %s: cache area full", mboxname);
    return IMAP_IOERROR;
  }
  if (entry.write(cache_fd) < 0) {
    int saved = errno;
    (void)lseek(cache_fd, pos, SEEK_SET);
    errno = saved;
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to append cache for %s: %m", mboxname);
    return IMAP_IOERROR;
  }
  record->cache_offset = static_cast<uint32_t>(static_cast<uint64_t>(pos) - cache_area_offset);
  record->system_flags |= msgtype_examine(base, len, &root) & INDEX_FLAG_MSGTYPE_MASK;
  return 0;
}

int message_parse_file(int msg_fd, const char* mboxname, int cache_fd, uint32_t cache_area_offset, const char* extra,
                       index_record* record) {
  MapPtr map(map_refresh(msg_fd, nullptr, MAP_F_SEQUENTIAL, -1));
  if (!map) {
    bvlog(0, LOG_STORE_ERR, "Unable to map message file for %s: %m", mboxname);
    return IMAP_IOERROR;
  }
  return message_parse_mapped(map->base, map->length, mboxname, cache_fd, cache_area_offset, extra, record);
}
