// The maildrop of a logged-in POP3 session: the user's open INBOX and the
// table of the messages it held at login, with the session's deletion marks.
//
// The table is built once, on the blocking pool, by one pass over the index
// records (maildrop_build) and never re-read: messages delivered later are
// not seen and message numbers stay fixed for the session.  Entries are in
// index order, which is uid order, so the expunge decision at QUIT finds a
// record's entry by binary search.
//
// A Maildrop belongs to its session (shared with work the session sent to
// the pool); the deletion marks and "highest" are changed on the event loop
// only, and never while pool work uses the maildrop.  The argument parsers
// below are pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/mailbox.h"

struct MaildropMessage {
  uint32_t uid = 0;
  uint32_t size = 0;
  // The unique id is "<id_uid>-<id_validity>": the record's origin, or the
  // INBOX's own uid and UID validity where the origin is missing or already
  // taken by an earlier message of the table (see maildrop_assign_ids).
  uint32_t id_uid = 0;
  uint32_t id_validity = 0;
  bool no_dots = false;  // the store found no line starting with "." and a final CRLF
  bool deleted = false;
};

struct Maildrop {
  mailbox box;
  std::vector<MaildropMessage> messages;
  uint64_t octets = 0;          // all messages of the table
  uint64_t deleted_octets = 0;  // those marked deleted
  uint32_t deleted_count = 0;
  uint32_t highest = 0;  // LAST: highest number retrieved or deleted
  // kStatusLineOctets with the status option, else 0: every transfer then
  // starts with a "Status:" line, and the sizes told to the client count it.
  uint32_t status_octets = 0;
  ~Maildrop() { mailbox_close(&box); }

  uint32_t count() const { return static_cast<uint32_t>(messages.size()); }
  uint32_t live_count() const { return count() - deleted_count; }
  uint64_t live_octets() const { return octets - deleted_octets; }
  // The sizes told to the client (STAT, LIST, RETR, XAUTHLIST).
  uint64_t reported_size(const MaildropMessage& m) const { return uint64_t{m.size} + status_octets; }
  uint64_t reported_live_octets() const { return live_octets() + uint64_t{status_octets} * live_count(); }
  // The header line a transfer of message n starts with under the status
  // option ("" without it): R when an earlier position (highest) already
  // covers n, else U.  Judge it before the command moves highest.
  std::string status_line(uint32_t n) const;
  // The entry of message number n (from 1) when it exists and is not marked
  // deleted, else null.
  MaildropMessage* find(uint64_t n);
  void mark_deleted(uint32_t n);
  // RSET: clears every mark and highest.
  void reset();
  // The uids marked deleted, ascending.
  std::vector<uint32_t> deleted_uids() const;
};

// Fills drop->messages and octets from the index records of the open
// drop->box.  0 or the store's error (the table is then incomplete).
[[nodiscard]] int maildrop_build(Maildrop* drop);

// The status option for a table just built: status_octets set, and highest
// where the user's earlier POP sessions got to (the last position kept in
// the record of the user's quota root).  No record yet, or one that cannot
// be read (the store logs it), starts at 0.  Blocking (a database read).
void maildrop_load_last_position(Maildrop* drop, const std::string& userid);

// "Status: R\r\n" or "Status: U\r\n".
inline constexpr uint32_t kStatusLineOctets = 11;

// Where the status option starts highest: the number of the last message
// whose uid is not above last_uid, when the position was stored under the
// INBOX's current UID validity (last_validity == box_validity); else 0 (a
// recreated INBOX numbers its uids anew).  messages are in uid order.
uint32_t maildrop_last_position(const std::vector<MaildropMessage>& messages, uint32_t box_validity,
                                uint32_t last_validity, uint32_t last_uid);

// Resolves the unique ids of a table whose entries carry the records'
// origin (id_uid, id_validity as stored): an entry without an origin (either
// field zero) gets "<uid>-<uidvalidity>" of the INBOX, and so does an entry
// whose id an earlier entry already has (a copy keeps its origin).  Ids that
// are unique stay as they are.  Returns how many entries were changed
// because of a duplicate.
uint32_t maildrop_assign_ids(std::vector<MaildropMessage>* messages, uint32_t uidvalidity);

// The mailbox_expunge decision at QUIT: rock is a sorted
// std::vector<uint32_t> of the uids to remove.
int maildrop_expunge_marked(void* rock, const index_record* record);

// A decimal number of the command line: digits only (leading zeros
// allowed), saturating at UINT64_MAX.  Null for anything else ("", "-1",
// "+1", "1x").
std::optional<uint64_t> parse_decimal(std::string_view text);

// Splits a command argument at runs of blanks.
std::vector<std::string_view> split_arguments(std::string_view arg);

// Sanitises stored text for one response line: CR, LF and other control
// bytes become blanks and the result is cut to max octets, so it can
// neither end the line nor forge a terminating ".".
std::string response_safe(std::string_view text, size_t max);
