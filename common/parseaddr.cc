#include "common/parseaddr.h"

#include <cstring>
#include <string>
#include <string_view>

#include "common/xmalloc.h"

namespace {

enum class Tok { end, atom, quoted, literal, special };

struct Token {
  Tok kind = Tok::end;
  char c = 0;        // the character of a special
  std::string text;  // display form: quotes and escapes removed
  std::string raw;   // as written (quoted strings and literals keep their brackets)
  bool space_before = false;
  std::string comment;  // first comment skipped just before this token
  bool has_comment = false;
};

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_special(unsigned char c) { return strchr("()<>@,;:\".[]", c) != nullptr && c != 0; }
// Other control bytes are dropped like white space.
bool is_skipped(unsigned char c) { return is_space(c) || c < 32 || c == 127; }

class Lexer {
 public:
  explicit Lexer(std::string_view s) : s_(s) {}

  const Token& peek() {
    if (!have_) {
      tok_ = scan();
      have_ = true;
    }
    return tok_;
  }
  Token take() {
    peek();
    have_ = false;
    return std::move(tok_);
  }
  bool at_special(char c) {
    const Token& t = peek();
    return t.kind == Tok::special && t.c == c;
  }
  bool at_end() { return peek().kind == Tok::end; }

 private:
  // Skips a comment starting at '(' (nesting, escapes, folds); an unclosed
  // comment runs to the end.  Returns its text.
  std::string comment() {
    std::string out;
    int depth = 0;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '(') {
        if (depth++ > 0) out += c;
      } else if (c == ')') {
        if (--depth == 0) break;
        out += c;
      } else if (c == '\\' && pos_ < s_.size()) {
        out += s_[pos_++];
      } else if (c == '\r' || c == '\n') {
        // folds vanish
      } else {
        out += c;
      }
    }
    size_t b = out.find_first_not_of(" \t");
    size_t e = out.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : out.substr(b, e - b + 1);
  }

  Token scan() {
    Token t;
    for (;;) {
      while (pos_ < s_.size() && is_skipped(static_cast<unsigned char>(s_[pos_]))) {
        ++pos_;
        t.space_before = true;
      }
      if (pos_ < s_.size() && s_[pos_] == '(') {
        std::string c = comment();
        if (!t.has_comment) {
          t.comment = std::move(c);
          t.has_comment = true;
        }
        t.space_before = true;
        continue;
      }
      if (pos_ < s_.size() && s_[pos_] == ')') {  // stray
        ++pos_;
        continue;
      }
      break;
    }
    if (pos_ >= s_.size()) return t;
    char c = s_[pos_];
    if (c == '"') {
      t.kind = Tok::quoted;
      size_t start = pos_++;
      while (pos_ < s_.size() && s_[pos_] != '"') {
        char q = s_[pos_++];
        if (q == '\\' && pos_ < s_.size())
          q = s_[pos_++];
        else if (q == '\r' || q == '\n')
          continue;
        t.text += q;
      }
      bool closed = pos_ < s_.size();
      if (closed) ++pos_;
      for (size_t i = start; i < pos_; ++i)
        if (s_[i] != '\r' && s_[i] != '\n') t.raw += s_[i];
      if (!closed) t.raw += '"';  // an unbalanced quote runs to the end
      return t;
    }
    if (c == '[') {
      t.kind = Tok::literal;
      while (pos_ < s_.size()) {
        char q = s_[pos_++];
        if (q == '\\' && pos_ < s_.size()) {
          t.raw += q;
          q = s_[pos_++];
        } else if (q == '\r' || q == '\n') {
          continue;
        }
        t.raw += q;
        if (q == ']') break;
      }
      if (t.raw.back() != ']') t.raw += ']';
      t.text = t.raw;
      return t;
    }
    if (is_special(static_cast<unsigned char>(c))) {
      t.kind = Tok::special;
      t.c = c;
      t.text = t.raw = std::string(1, c);
      ++pos_;
      return t;
    }
    t.kind = Tok::atom;
    while (pos_ < s_.size()) {
      unsigned char a = static_cast<unsigned char>(s_[pos_]);
      if (is_skipped(a) || is_special(a)) break;
      t.raw += static_cast<char>(a);
      ++pos_;
    }
    t.text = t.raw;
    return t;
  }

  std::string_view s_;
  size_t pos_ = 0;
  Token tok_;
  bool have_ = false;
};

// Builds one record; null arguments stay null.
address* make_address(const std::string* name, const std::string* route, const std::string* mailbox,
                      const std::string* domain) {
  const std::string* parts[4] = {name, route, mailbox, domain};
  size_t total = 0;
  for (const std::string* p : parts)
    if (p) total += p->size() + 1;
  auto* a = static_cast<address*>(xcalloc(1, sizeof(address)));
  a->freeme = static_cast<char*>(xmalloc(total ? total : 1));
  char* w = a->freeme;
  char** fields[4] = {&a->name, &a->route, &a->mailbox, &a->domain};
  for (int i = 0; i < 4; ++i) {
    if (!parts[i]) continue;
    memcpy(w, parts[i]->data(), parts[i]->size());
    w[parts[i]->size()] = '\0';
    *fields[i] = w;
    w += parts[i]->size() + 1;
  }
  return a;
}

class Parser {
 public:
  Parser(std::string_view s, address** tail) : lex_(s), tail_(tail) {}

  void run() {
    while (!lex_.at_end()) {
      if (lex_.at_special(',')) {
        lex_.take();
      } else if (lex_.at_special(';')) {
        lex_.take();
        if (in_group_) end_group();
      } else {
        one_address();
      }
    }
    if (in_group_) end_group();
  }

 private:
  void emit(address* a) {
    *tail_ = a;
    tail_ = &a->next;
  }
  void end_group() {
    emit(make_address(nullptr, nullptr, nullptr, nullptr));
    in_group_ = false;
  }

  // The words before '<', ':' or '@': a display name, a group name or a
  // local part, depending on what follows.
  struct Phrase {
    std::string display;  // words with quotes removed, single blanks between
    std::string raw;      // words as written, blanks dropped (local part form)
    bool empty = true;
  };

  Phrase phrase() {
    Phrase p;
    for (;;) {
      const Token& t = lex_.peek();
      if (t.kind == Tok::end) break;
      if (t.kind == Tok::special && t.c != '.') {
        if (t.c == '>' || t.c == ']') {  // stray closers are dropped
          lex_.take();
          continue;
        }
        break;
      }
      Token w = lex_.take();
      if (!p.display.empty() && w.space_before) p.display += ' ';
      p.display += w.text;
      p.raw += w.raw;
      p.empty = false;
    }
    return p;
  }

  // Atoms, dots and domain literals joined as written.
  std::string domain() {
    std::string d;
    for (;;) {
      const Token& t = lex_.peek();
      if (t.kind == Tok::atom || t.kind == Tok::literal || (t.kind == Tok::special && t.c == '.')) {
        d += lex_.take().raw;
      } else {
        break;
      }
    }
    return d;
  }

  // Drops whatever follows a complete address up to the next separator.
  void skip_to_separator() {
    while (!lex_.at_end() && !lex_.at_special(',') && !lex_.at_special(';')) lex_.take();
  }

  void angle_address(const Phrase& p) {
    lex_.take();  // '<'
    std::string route;
    bool has_route = false;
    while (lex_.at_special('@')) {  // source route: @a,@b:
      lex_.take();
      if (has_route) route += ',';
      route += '@';
      route += domain();
      has_route = true;
      if (lex_.at_special(',')) lex_.take();
    }
    if (has_route && lex_.at_special(':')) lex_.take();
    std::string local;
    for (;;) {
      const Token& t = lex_.peek();
      if (t.kind == Tok::end) break;
      if (t.kind == Tok::special && (t.c == '@' || t.c == '>' || t.c == ',' || t.c == ';')) break;
      Token w = lex_.take();
      if (w.kind == Tok::special && w.c != '.') continue;  // stray ':' or '<'
      local += w.raw;
    }
    std::string dom;
    if (lex_.at_special('@')) {
      lex_.take();
      dom = domain();
      while (!lex_.at_end() && !lex_.at_special('>') && !lex_.at_special(',') && !lex_.at_special(';')) lex_.take();
    }
    if (lex_.at_special('>')) lex_.take();
    if (local.empty() && dom.empty()) return;  // "<>": no address
    std::string name = p.display;
    emit(make_address(p.empty || name.empty() ? nullptr : &name, has_route ? &route : nullptr, &local, &dom));
  }

  void one_address() {
    Phrase p = phrase();
    const Token& t = lex_.peek();
    if (t.kind == Tok::special && t.c == '<') {
      angle_address(p);
      skip_to_separator();
      return;
    }
    if (t.kind == Tok::special && t.c == ':') {
      lex_.take();
      if (!in_group_) {
        emit(make_address(nullptr, nullptr, &p.display, nullptr));
        in_group_ = true;
      }
      return;
    }
    std::string local = p.raw;
    std::string dom;
    if (t.kind == Tok::special && t.c == '@') {
      lex_.take();
      dom = domain();
    } else if (p.empty) {
      if (!lex_.at_end() && !lex_.at_special(',') && !lex_.at_special(';')) lex_.take();  // progress
      return;
    }
    // A bare addr-spec may carry its owner's name in a following comment.
    const Token& after = lex_.peek();
    std::string name = after.comment;
    bool has_name = after.has_comment && !name.empty();
    emit(make_address(has_name ? &name : nullptr, nullptr, &local, &dom));
    skip_to_separator();
  }

  Lexer lex_;
  address** tail_;
  bool in_group_ = false;
};

}  // namespace

void parseaddr_list(const char* str, address** addrp) {
  if (!str || !addrp) return;
  address** tail = addrp;
  while (*tail) tail = &(*tail)->next;
  Parser(str, tail).run();
}

void parseaddr_free(address* addr) {
  while (addr) {
    address* next = addr->next;
    free(addr->freeme);
    free(addr);
    addr = next;
  }
}
