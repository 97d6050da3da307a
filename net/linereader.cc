#include "net/linereader.h"

#include <cstring>

LineReader::LineReader(size_t max_line, size_t max_discard) : max_line_(max_line), max_discard_(max_discard) {}

void LineReader::compact() {
  if (start_ == 0) return;
  buf_.erase(0, start_);
  start_ = 0;
  // An idle session should not keep a large buffer around.
  if (buf_.empty() && buf_.capacity() > 4096) std::string().swap(buf_);
}

void LineReader::feed(const char* data, size_t len) {
  while (discarding_ && len > 0) {
    const char* lf = static_cast<const char*>(memchr(data, '\n', len));
    size_t n = lf ? static_cast<size_t>(lf - data) + 1 : len;
    discarded_ += n;
    data += n;
    len -= n;
    if (lf) discarding_ = false;
  }
  if (len == 0) return;
  compact();
  buf_.append(data, len);
}

LineReader::Event LineReader::next() {
  Event ev;
  if (discarding_) {
    if (discarded_ > max_discard_ && !abusive_reported_) {
      abusive_reported_ = true;
      ev.kind = Kind::kAbusive;
    }
    return ev;
  }
  size_t avail = buf_.size() - start_;
  const char* p = buf_.data() + start_;
  size_t scan = avail < max_line_ ? avail : max_line_;
  const char* lf = static_cast<const char*>(memchr(p, '\n', scan));
  if (lf == nullptr) {
    if (avail < max_line_) return ev;  // may still end in time
    // max_line octets without a line end: whatever follows, the line is too
    // long.  Drop what is buffered of it and the rest as it arrives.
    const char* later = static_cast<const char*>(memchr(p + max_line_, '\n', avail - max_line_));
    if (later) {
      start_ += static_cast<size_t>(later - p) + 1;
    } else {
      discarding_ = true;
      abusive_reported_ = false;
      discarded_ = avail;
      start_ = buf_.size();
    }
    ev.kind = Kind::kTooLong;
    return ev;
  }
  size_t linelen = static_cast<size_t>(lf - p);
  start_ += linelen + 1;
  if (linelen > 0 && p[linelen - 1] == '\r') --linelen;
  ev.kind = Kind::kLine;
  ev.line = std::string_view(p, linelen);
  ev.has_nul = memchr(p, '\0', linelen) != nullptr;
  return ev;
}

size_t LineReader::discard() {
  size_t n = buffered();
  buf_.clear();
  start_ = 0;
  discarding_ = false;
  discarded_ = 0;
  return n;
}
