#include "pop/gurl.h"

std::optional<std::string> gurl_response(std::string_view url, std::string_view userid, const char** why) {
  if (url.empty()) {
    *why = "no account URL is configured";
    return std::nullopt;
  }
  std::string out = "+OK ";
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 1 < url.size() && (url[i + 1] == 'u' || url[i + 1] == 'U')) {
      out += userid;
      ++i;
    } else {
      out += url[i];
    }
    // Checked as it grows: a template with many "%u" never builds a huge string.
    if (out.size() + 2 > kMaxResponseLine) {
      *why = "the account URL does not fit a response line";
      return std::nullopt;
    }
  }
  if (out.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    *why = "the account URL holds a line break or NUL";
    return std::nullopt;
  }
  return out;
}
