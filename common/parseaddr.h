// Parsing of RFC 5322 address lists (From, To, Cc, ... header values).
//
// parseaddr_list turns a header value into a linked list of `address`
// records in the shape the IMAP envelope wants: one record per mailbox, and
// for a group a start record (group name in `mailbox`, no `domain`) before
// its members and an end record (neither `mailbox` nor `domain`) after them.
// Groups are always closed: a missing ';' is supplied at the end of the text.
//
// The parser never fails.  It accepts the RFC 5322 forms (display names made
// of atoms and quoted strings, angle addresses with source routes, groups,
// quoted local parts, domain literals, comments anywhere) and the common
// breakage of real mail: stray brackets, missing '>', unbalanced quotes and
// comments run to the end of the text, a bare word without '@' becomes a
// mailbox with an empty domain (never a null one, which would read as a
// group start).  Text it cannot place is skipped.
//
// Ownership: every record is one xmalloc'ed block plus one block `freeme`
// holding its strings; parseaddr_free releases a whole list.  Strings are
// kept as written (no case change, encoded words not decoded), except that
// quoted display names lose their quotes and escapes and folds are removed.
// Thread-safe: no shared state.
#pragma once

#include <memory>

struct address {
  char* name = nullptr;     // display name, or the first comment after a bare addr-spec; may be null
  char* route = nullptr;    // source route "@a,@b" (without the ':'), or null
  char* mailbox = nullptr;  // local part as written (quotes kept); group name of a group start
  char* domain = nullptr;   // domain as written; null for group start and end
  address* next = nullptr;
  char* freeme = nullptr;  // storage of the strings above
};

// Parses str (null is treated as empty) and appends its addresses to the
// list whose head pointer is *addrp (which may be null, an empty list).
void parseaddr_list(const char* str, address** addrp);

// Frees a whole list; null is ignored.
void parseaddr_free(address* addr);

struct ParseaddrFree {
  void operator()(address* a) const { parseaddr_free(a); }
};
using AddressList = std::unique_ptr<address, ParseaddrFree>;
