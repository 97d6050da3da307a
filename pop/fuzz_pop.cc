#include "pop/fuzz_pop.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "pop/command.h"
#include "net/linereader.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

struct Ev {
  int kind;  // 1 line, 2 too long
  std::string line;
  bool operator==(const Ev& o) const { return kind == o.kind && line == o.line; }
};

// Lines of at most 512 octets with their LF; CR before the LF removed.
std::vector<Ev> reference(std::string_view in) {
  std::vector<Ev> out;
  size_t pos = 0;
  while (pos < in.size()) {
    size_t lf = in.find('\n', pos);
    if (lf == std::string_view::npos) {
      if (in.size() - pos >= 512) out.push_back({2, ""});
      break;
    }
    if (lf - pos + 1 > 512) {
      out.push_back({2, ""});
    } else {
      std::string line(in.substr(pos, lf - pos));
      if (!line.empty() && line.back() == '\r') line.pop_back();
      out.push_back({1, line});
    }
    pos = lf + 1;
  }
  return out;
}

}  // namespace

void fuzz_linereader(const uint8_t* data, size_t size) {
  if (size < 1) return;
  size_t nsizes = data[0] % 8 + 1;
  if (size < 1 + nsizes) return;
  std::vector<size_t> sizes;
  for (size_t i = 0; i < nsizes; ++i) sizes.push_back(static_cast<size_t>(data[1 + i]) * 3 + 1);
  std::string_view in(reinterpret_cast<const char*>(data) + 1 + nsizes, size - 1 - nsizes);

  LineReader r(512, SIZE_MAX);
  std::vector<Ev> got;
  size_t pos = 0, turn = 0;
  auto drain = [&] {
    for (;;) {
      LineReader::Event ev = r.next();
      if (ev.kind == LineReader::Kind::kNone) return;
      check(ev.kind != LineReader::Kind::kAbusive);
      if (ev.kind == LineReader::Kind::kTooLong) {
        got.push_back({2, ""});
        continue;
      }
      check(ev.line.size() <= 511);
      check(ev.has_nul == (ev.line.find('\0') != std::string_view::npos));
      got.push_back({1, std::string(ev.line)});
    }
  };
  while (pos < in.size()) {
    size_t n = sizes[turn++ % sizes.size()];
    if (n > in.size() - pos) n = in.size() - pos;
    r.feed(in.data() + pos, n);
    pos += n;
    drain();
    // Never more buffered than one line and one read.
    check(r.buffered() <= 512 + n);
  }
  check(got == reference(in));
}

void fuzz_command(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  ParsedCommand c = parse_command_line(line);
  for (char ch : c.name) {
    check(!(ch >= 'A' && ch <= 'Z'));
    check(ch != ' ' && ch != '\t');
  }
  check(c.has_arg == !c.arg.empty());
  if (c.name != "pass" && c.has_arg) {
    check(c.arg.front() != ' ' && c.arg.front() != '\t');
    check(c.arg.back() != ' ' && c.arg.back() != '\t');
  }
  check(c.name.size() + c.arg.size() <= line.size());
  for (PopState st : {PopState::kAuthorization, PopState::kTransaction}) {
    CommandOffer offer;
    offer.state = st;
    offer.apop = offer.stls = true;
    const CommandSpec* spec = lookup_command(c.name, offer);
    if (spec == nullptr) continue;
    check(c.name == spec->name);
    check(st == PopState::kAuthorization ? spec->in_authorization : spec->in_transaction);
    const char* err = check_argument(*spec, c);
    if (err) check(std::string_view(err).substr(0, 5) == "-ERR ");
  }
}

#if defined(FUZZ_POP_LINEREADER) || defined(FUZZ_POP_COMMAND)
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef FUZZ_POP_LINEREADER
  fuzz_linereader(data, size);
#else
  fuzz_command(data, size);
#endif
  return 0;
}
#endif
