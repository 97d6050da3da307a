// The bounded line reader of a server session (POP3 and LMTP commands).
//
// The session feeds it the bytes it read from the client and takes complete
// command lines out; the reader does no I/O.  A line may end in CR LF or a
// bare LF and is at most max_line octets long with its line end (512 for
// commands).  A longer line is reported once as kTooLong as soon as it is
// known to be too long; its remaining bytes, up to the next LF, are dropped
// as they arrive, so they are never taken for a command and never held in
// memory.  When the dropped tail passes max_discard octets the reader
// reports kAbusive (the session then ends the connection).  Lines are
// handed out with the line end removed; has_nul tells whether one holds a
// NUL octet.  Not thread-safe: one session's loop owns it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class LineReader {
 public:
  enum class Kind { kNone, kLine, kTooLong, kAbusive };
  struct Event {
    Kind kind = Kind::kNone;
    std::string_view line;  // kLine: valid until the next call on the reader
    bool has_nul = false;
  };

  explicit LineReader(size_t max_line = 512, size_t max_discard = 64 * 1024);

  // Adds bytes read from the client.
  void feed(const char* data, size_t len);
  // The next event: a complete line, an overlong line, or kNone when the
  // buffered bytes hold no complete line yet.
  Event next();
  // Drops every buffered byte and any overlong line in progress (after
  // STLS: nothing sent before the handshake may be taken as a command).
  // Returns the number of octets dropped.
  size_t discard();
  // Changes the longest line accepted from the next line on (an SASL
  // exchange's responses may be longer than commands).
  void set_max_line(size_t max_line) { max_line_ = max_line; }
  // Octets buffered and not yet handed out.
  size_t buffered() const { return buf_.size() - start_; }
  // Those octets, valid until the next call that changes the reader.
  std::string_view pending() const { return std::string_view(buf_).substr(start_); }

 private:
  void compact();

  size_t max_line_;
  size_t max_discard_;
  std::string buf_;
  size_t start_ = 0;         // first octet not yet handed out
  bool discarding_ = false;  // inside the tail of an overlong line
  bool abusive_reported_ = false;
  size_t discarded_ = 0;     // octets of that tail dropped so far
};
