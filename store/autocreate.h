// Account provisioning: a user's INBOX made on first use from the user's
// directory attributes, with the directory's quotas and one welcome message.
//
// The caller reads the attributes (store/userattr.h) and hands them in;
// nothing here talks to the directory.  Without attributes an INBOX is made
// with the configured default quotas on the wanted or default partition,
// and no mail-host check is made.
//
// Values handed in are untrusted: a value holding CR, LF or NUL, or longer
// than 4096 bytes, counts as absent; a language tag is used only when it is
// 1-35 letters, digits and '-'.  User ids are checked before anything else
// (non-empty, at most 128 bytes, no '/', and "user/<id>" accepted by the
// folder-name policy, which also keeps an owner below 128 bytes).
//
// Configuration keys read:
//   store.defaultmailboxquota   quota text when the directory has none ("-1")
//   store.defaultmessagequota   message-count quota likewise ("-1")
//   local.hostname              comma list; the first name is this host's
//                               (gethostname() when unset)
//   local.mta.hostnamealiases   comma list of further names of this host
//   gen.newuserforms            the welcome template; "gen.newuserforms;lang-xx"
//                               for language xx is tried first
//   gen.sitelanguage            the language tried after the user's
//   gen.accounturl              replaces "[URL]" in a body ("[UNKNOWN]")
//
// Quotas: KB and message counts as uint32_t, QUOTA_UNLIMITED (the "-1" of
// the directory) for none.  Results are store error codes; CreateMessage and
// CreateMessage_from_text give -1 for a template that cannot be used.
// Thread-safe: no state of its own; the store's folder creation lock makes
// concurrent provisioning of one user create one INBOX and one welcome
// message.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "store/userattr.h"

struct appendmbox;

// ---- Quotas ----------------------------------------------------------------

// Quota text to KB: blanks, an optional sign, decimal digits, then nothing
// (bytes, rounded up to whole KB), k, m or g (any case).  "-1" is
// QUOTA_UNLIMITED.  Anything else (no digits, another suffix or trailing
// text, another negative value, a result of 0xFFFFFFFF KB or more) logs the
// warning "Invalid mailquota value: %s" and gives QUOTA_UNLIMITED: a bad
// value never blocks mail.
uint32_t quota_to_kb(const char* text);

// The INBOX quotas from the attributes (vals may be null): "mailquota" via
// quota_to_kb, "mailmsgquota" a plain count validated the same way ("Invalid
// mailmsgquota value: %s").  An absent or empty value, or "-2", takes
// store.defaultmailboxquota / store.defaultmessagequota.
void quotas_from_attrs(const UserAttrs* vals, uint32_t* mailquota, uint32_t* mailmsgquota);

// ---- Mail hosts -------------------------------------------------------------

// 1 when host is one of the comma-separated names of local.hostname or
// local.mta.hostnamealiases (any case), else 0.
int islocalhost(const char* host);
// 1 when hostname and userhost name the same host, first rule that applies:
// equal ignoring case; when not both hold a dot, equal first labels (so
// "mail" matches "mail.other.org"); both local: same, one local: different;
// else both resolve and their first addresses are equal.
int compare_mailhosts(const char* hostname, const char* userhost);
// 0 when some "mailhost" value names hostname, else IMAP_WRONG_MAILHOST
// ("Missing mailhost attribute" logged at debug when there is none).
[[nodiscard]] int check_mailhost(const char* hostname, const UserAttrs* vals);

// ---- Partitions and locations ------------------------------------------------

// The partition named by a path: its last component (trailing '/' ignored),
// letters and digits only, lower-cased ("/var/Part_2/" -> "part2"); "" when
// nothing is left ("/", "///").
std::string UPGetPNameFromPath(std::string_view fullname);

// Looks up a user's attributes for mailbox_location; 0 when found.
using autocreate_attr_lookup = int (*)(const char* userid, UserAttrs* out);

// Where folder mbox (internal name, or "Shared Folders/User/<owner>/...")
// lives: 0 on this host, 1 on another (*ownerhost, when ownerhost is given,
// receives a malloc'ed copy of the owner's mail host when known, else
// null), 2 when the owner is cut short by a wildcard.  Names of no user are
// local.  Another owner is local when his INBOX is in the mailbox list or,
// through lookup (may be null: no directory), his first mail host is
// localhost; myid's own folders are local unless mymailhost names another
// host.
int mailbox_location(const char* mbox, const char* myid, const char* mymailhost, const char* localhost,
                     char** ownerhost, autocreate_attr_lookup lookup = nullptr);

// ---- Messages ----------------------------------------------------------------

// "Mon, 7 Dec 2026 04:12:24 +0100": English names whatever the locale, the
// day without a leading zero, the local offset from GMT.  None when the
// time cannot be broken down.
std::optional<std::string> GetRFC822Date(time_t now);

// A template as configured: "$" is a line feed, "\hh" the byte hh (any
// other backslash stays).  None when an escape gives NUL or CR (a message
// may hold neither, except CR in CRLF, which composing adds).
std::optional<std::string> DecodeMultiLineMsg(std::string_view encoded);

// Composes a message from template msg (decoded by DecodeMultiLineMsg) for
// userid: every template line becomes a CRLF line (the last too); the
// header ends at an empty line or at the first line that is not a field
// (name of printable characters, then ':'); a non-empty such line opens the
// body.  The template's first To: and Date: are replaced (later ones
// dropped), other values encoded for lang (RFC 2047); missing To (the mail
// address, or userid), Date, From ("Mail Administrator
// <Postmaster@host>"), MIME-Version and, with a body, Content-Type and
// Content-Transfer-Encoding are added; "[URL]" in the body becomes
// gen.accounturl.  The body is converted to the charset of lang
// (common/charset.h) unless the template declares its own Content-Type or
// Content-Transfer-Encoding (then it is left as written).
// 0 with *out; AUTOCREATE_BAD_TEMPLATE (logged: "Bad date for the message",
// "Failed to decode greeting message (out of memory?)",
// "Incomplete message") or AUTOCREATE_BAD_TEXT (text not UTF-8 or a value
// with control characters).  mailaddress may be null.
inline constexpr int AUTOCREATE_BAD_TEMPLATE = -1;
inline constexpr int AUTOCREATE_BAD_TEXT = -2;
[[nodiscard]] int ParseMsg(const char* userid, const char* mailaddress, std::string_view msg, const char* lang,
                           time_t now, std::string* out);

// Composes (ParseMsg, now) and appends the message to inboxname, or through
// mbp (an append already set up on it, index lock held) when given.  0;
// -1 when the template cannot be used ("Failed to parse message for %s.
// Please check (lang=%s) configuration option", "Failed to convert message
// for %s (lang=%s)."); or the append's error ("Unable to deliver message to
// %s: %s").
[[nodiscard]] int CreateMessage_from_text(const char* userid, const char* inboxname, const char* mailaddress,
                                          const char* lang, std::string_view msg, appendmbox* mbp);

// The text of configuration option which ("gen.newuserforms" is the
// welcome message) in the user's language, the site language or plain,
// composed and appended as CreateMessage_from_text.  -1 when no text is
// configured.
[[nodiscard]] int CreateMessage(const char* userid, const char* inboxname, const char* mailaddress,
                                const char* userLang, const char* which, appendmbox* mbp);

// ---- Provisioning ------------------------------------------------------------

// Makes sure userid's INBOX exists with the directory's quotas.
// hostname (may be null): this host, for the mail-host check (only with
// vals).  desire_partition (may be null; ignored when it starts with '/'):
// the partition to use, else "mailmessagestore" (a path reduced by
// UPGetPNameFromPath; empty, "default" or nothing left: the default
// partition).  partitionp (may be null): receives a malloc'ed copy of the
// INBOX's partition (null on failure).  vals (may be null): the user's
// attributes.  uid_validity: for a new INBOX (0: now).
// An existing INBOX only gets its quotas set when vals give other limits.
// A new one gets exactly one welcome message (none with
// AutocreateWelcome::kNone: a restore brings the user's own mail back), whose
// failure never fails the creation.  0; IMAP_INVALID_USER (nothing looked at or made);
// IMAP_WRONG_MAILHOST ("User %s not on this mailhost", debug); or the
// creation's error ("Unable to auto create mailbox %s: %s"), such as
// IMAP_PARTITION_UNKNOWN for a partition that is not configured.
enum class AutocreateWelcome { kSend, kNone };
[[nodiscard]] int autocreate(const char* userid, const char* hostname, const char* desire_partition, char** partitionp,
                             const UserAttrs* vals, uint32_t uid_validity,
                             AutocreateWelcome welcome = AutocreateWelcome::kSend);

// This host's name for the mail-host check: the first name of
// local.hostname, else gethostname().
std::string autocreate_hostname();

// autocreate for userid with the attributes its directory entry holds
// (userattr_get; the directory is set up from the configuration on the first
// call, which must not run concurrently with other lookups) and this host's
// name, so the mail-host check applies.  0; IMAP_INVALID_USER;
// IMAP_MAILBOX_NONEXISTENT when the directory has no such user;
// IMAP_TEMP_AUTH_FAILURE while the directory cannot answer;
// IMAP_CONFIG_ERROR without a usable directory set-up; IMAP_WRONG_MAILHOST;
// or autocreate's error.  Nothing is made unless the entry was read.
[[nodiscard]] int autocreate_from_directory(const char* userid, char** partitionp);

// Sets the quotas of userid's INBOX from vals when they differ.  0,
// IMAP_INVALID_USER, IMAP_MAILBOX_NONEXISTENT (no quota root) or
// IMAP_IOERROR.
[[nodiscard]] int update_userquota(const char* userid, const UserAttrs& vals);
