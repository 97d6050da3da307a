#include "pop/dotstuff.h"

#include <cstring>

DotStuffer::DotStuffer(const char* base, size_t len, std::optional<uint64_t> body_lines)
    : base_(base), end_(len), limited_(body_lines.has_value()), body_left_(body_lines.value_or(0)) {}

size_t DotStuffer::fill(std::string* out, size_t max_in) {
  const size_t before = out->size();
  size_t budget = max_in == 0 ? 1 : max_in;
  while (!done_ && budget > 0 && pos_ < end_) {
    if (at_line_start_) {
      if (limited_) {
        if (in_header_) {
          blank_line_ = base_[pos_] == '\n' || (base_[pos_] == '\r' && pos_ + 1 < end_ && base_[pos_ + 1] == '\n');
        } else if (body_left_ == 0) {
          end_ = pos_;  // TOP: the cut falls here, at a line start
          break;
        } else {
          --body_left_;
        }
      }
      if (base_[pos_] == '.') out->push_back('.');
      at_line_start_ = false;
    }
    size_t span = end_ - pos_ < budget ? end_ - pos_ : budget;
    const void* lf = memchr(base_ + pos_, '\n', span);
    size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - (base_ + pos_)) + 1 : span;
    out->append(base_ + pos_, take);
    pos_ += take;
    budget -= take;
    if (lf) {
      at_line_start_ = true;
      if (blank_line_) {
        blank_line_ = false;
        in_header_ = false;
      }
    }
  }
  if (!done_ && pos_ >= end_) {
    // The cut (or the message) ends at a line start; without a final CRLF
    // the terminator would run into the last line.
    if (end_ < 2 || base_[end_ - 2] != '\r' || base_[end_ - 1] != '\n') out->append("\r\n");
    out->append(".\r\n");
    done_ = true;
  }
  return out->size() - before;
}
