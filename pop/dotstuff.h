// The byte stream of a POP3 message transfer (RETR and TOP), made from the
// message file's bytes as the connection accepts them.
//
// The stream is the message with an extra "." in front of every line that
// starts with "." (a line starts at the beginning of the message and after
// every LF), cut for TOP after the header, its blank line and n body lines,
// then CRLF when what was sent does not already end in CRLF, then ".\r\n".
// So the client always sees the terminator CRLF "." CRLF, and removing the
// stuffed dots returns exactly the message (or its cut) plus the CRLF
// added to a message without a final line end.
//
// A DotStuffer reads borrowed bytes (the mapped file) that must stay valid
// and unchanged while it is used; it copies nothing until fill().  Pure,
// no I/O; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

class DotStuffer {
 public:
  // body_lines: for TOP the number of body lines after the header (any
  // count above the message's sends all of it); nullopt for the whole message.
  DotStuffer(const char* base, size_t len, std::optional<uint64_t> body_lines);

  // Appends to *out the next part of the stream, reading at most about
  // max_in octets of the message (the terminator comes with the last call).
  // Returns the octets appended.
  size_t fill(std::string* out, size_t max_in);
  bool done() const { return done_; }

 private:
  const char* base_;
  size_t end_;
  size_t pos_ = 0;
  bool limited_;
  uint64_t body_left_;
  bool in_header_ = true;
  bool at_line_start_ = true;
  bool blank_line_ = false;  // the line being sent is the header's end
  bool done_ = false;
};
