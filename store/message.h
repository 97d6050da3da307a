// Message parsing and the message's cache entry.
//
// A message entering a folder is parsed once, from a read-only map of its
// file: its MIME structure is walked into a tree of `body` parts, the header
// fields IMAP clients ask for are picked out, and the result is appended to
// the folder's cache area as one cache entry while the sizes, offsets, sent
// date and some system flags go into the message's index record.
//
// Parsing never fails on malformed mail: broken headers, parameters, dates
// and MIME structure fall back to defaults (see message.cc for each rule).
// Only mapping the message and writing the cache can fail; both log one line
// naming the folder and return IMAP_IOERROR.  Nesting of multiparts and
// encapsulated messages is cut at 50 levels, so recursion is bounded.
//
// Cache entry (written with one gathered write behind the cache area's
// current end): 11 items, each a 4-byte big-endian length L, L bytes of data
// and zero bytes up to the next multiple of 4:
//    1 ENVELOPE       IMAP envelope text (RFC 3501)
//    2 BODYSTRUCTURE  IMAP body structure with extension data
//    3 BODY           IMAP body structure without extension data
//    4 SECTION        table of part offsets and sizes, big-endian 32-bit
//                     words (layout at message_write_section in message.cc)
//    5 HEADER         the raw header of the message (header_size bytes)
//    6-9 FROM, TO, CC, BCC  addresses in search form:
//                     `Name <route:mailbox@domain>` items joined by ',',
//                     names decoded from RFC 2047, the rest lower-cased; a
//                     group start is `Name:`, a group end `;`
//   10 SUBJECT        the Subject decoded from RFC 2047, as an IMAP nstring
//   11 extra          the caller's text, raw (empty when none)
//
// The folder handle of the index module is not used here: callers pass the
// folder name (for log lines only) and the descriptor of the folder's index
// file, positioned at the end of its cache area, plus the header's
// cache_offset.  The index module adds the `mailbox*` wrappers.
//
// Threads: parsing has no shared state except the message-type plug-in
// (store/msgtype.h), which is loaded before and unloaded after any parsing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/parseaddr.h"
#include "store/index_record.h"

// Content-Type or Content-Disposition parameter; attribute upper-cased.
struct body_param {
  std::string attribute;
  std::string value;
};

// One MIME part; the root describes the whole message.  Offsets are from the
// start of the message; sizes in bytes; line counts are numbers of line
// feeds.  A part occupies header_size + content_size + boundary_size bytes
// from header_offset, and the parts of a message tile it without gaps.
struct body {
  std::string type;     // upper-cased, e.g. "TEXT"
  std::string subtype;  // upper-cased, e.g. "PLAIN"
  std::vector<body_param> params;
  std::optional<std::string> id, description, encoding, md5;  // encoding upper-cased
  std::optional<std::string> disposition;                     // upper-cased
  std::vector<body_param> disposition_params;
  std::vector<std::string> language;  // upper-cased tags

  size_t header_offset = 0, header_size = 0, header_lines = 0;
  size_t content_offset = 0, content_size = 0, content_lines = 0;
  // The delimiter line that ends this part, with the line break before it.
  size_t boundary_size = 0, boundary_lines = 0;

  // MULTIPART: the parts; MESSAGE/RFC822: the encapsulated message.
  std::vector<body> subpart;

  // Unfolded raw header values (null when absent).
  std::optional<std::string> date, subject, in_reply_to, message_id;
  AddressList from, sender, reply_to, to, cc, bcc;

  // Some line of the part (header or body, sub-parts included) starts with '.'.
  bool has_leading_dot = false;
};

// Maps the message file open on msg_fd whole and calls message_parse_mapped.
// A failed map logs "Unable to map message file for <folder>: <error>" and
// returns IMAP_IOERROR.
[[nodiscard]] int message_parse_file(int msg_fd, const char* mboxname, int cache_fd, uint32_t cache_area_offset,
                                     const char* extra, index_record* record);

// Parses the message at base/len, appends its cache entry at the current file
// position of cache_fd (the folder's index file, at the end of its cache
// area, whose header cache_offset is cache_area_offset) and fills in record:
// sentdate, size, header_size, content_offset, cache_offset (relative to
// cache_area_offset), and ORs INDEX_FLAG_CRLF_NODOT and the message-type
// plug-in's bits into system_flags.  Other fields are left alone.  extra is
// the text of cache item 11 (null for none).
// Returns 0; IMAP_IOERROR when the cache cannot be written (logged; the file
// position is back where it was, bytes of a partial entry may follow it and
// the caller, which remembers the old length, truncates them);
// IMAP_MESSAGE_TOO_LARGE for messages of 4 GiB or more, whose sizes do not
// fit the record.
[[nodiscard]] int message_parse_mapped(const char* base, size_t len, const char* mboxname, int cache_fd,
                                       uint32_t cache_area_offset, const char* extra, index_record* record);
