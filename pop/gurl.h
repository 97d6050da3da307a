// GURL, the account-URL extension of a logged-in POP3 session: the
// configured URL (gen.accounturl) with the user id put in, as one response
// line.
//
// Pure functions; usable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pop/greeting.h"  // kMaxResponseLine

// The response line "+OK <url>" (without its CRLF) for user userid: url
// with every "%u" and "%U" replaced by userid, every other character
// (another "%" sequence included) copied as it is.  Null, with *why set to
// the reason for the log, when there is no URL (empty), when the result
// holds CR, LF or NUL (it would end the line early and let the rest pass
// for another response), or when the line with its CRLF would pass the 512
// octets a POP3 response may have.
std::optional<std::string> gurl_response(std::string_view url, std::string_view userid, const char** why);
