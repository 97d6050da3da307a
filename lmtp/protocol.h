// The LMTP protocol (RFC 2033) without I/O: the command parser, the
// transaction state machine, the reading of the DATA stream, and the
// replies for the store's results.
//
// A session feeds the machine one command line at a time (line end
// removed, at most kLmtpMaxLine octets; the net layer's line reader cuts
// them) and gets back a reply to send, or an action: check a recipient
// (blocking work, answered later through recipient_checked), start the
// data, or end the session.  Replies carry their CR LF.  The machine does
// no I/O and holds no pointer into the caller's buffers; one session owns
// it, on one thread.
//
// The data is read by LmtpDataReader, byte by byte as it arrives, without
// holding a line: it removes the dot-stuffing, finds the end, and emits
// the message as it is stored.  Line ends: CR LF ends a line; a bare LF
// also ends a line and is stored as CR LF, so a message is never stored
// with mixed line ends (a CR not before LF is kept as it is).  Only a "."
// line ended by CR LF ends the data: a "." line ended by a bare LF is a
// place where another program may have seen the end, so the message is
// refused (554 5.6.0) rather than guessed at, and the reading goes on to
// the real end.  Faults (too large, a line longer than kLmtpMaxDataLine,
// NUL octets, that bare-LF end) stop the output at once, so memory and
// disk stay flat, and are reported after the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Longest command line with its line end (RFC 5321 4.5.3.1.4 allows 512;
// room is left for long addresses with parameters).
inline constexpr size_t kLmtpMaxLine = 2048;
// Longest line of a message, line end excluded: far beyond the 998 octets
// RFC 5322 allows, so real mail passes; a longer one is refused.
inline constexpr size_t kLmtpMaxDataLine = 128 * 1024;

// A command line split into its verb (upper-cased) and the rest.
struct LmtpCommand {
  std::string verb;
  std::string_view arg;  // into the line given
};
LmtpCommand lmtp_parse_command(std::string_view line);

// "FROM:<path> params" / "TO:<path> params" after MAIL / RCPT.  The path
// without its angle brackets (a quoted local part keeps its quotes), and
// the parameters as upper-cased keyword and value.  False on bad syntax.
struct LmtpPath {
  std::string address;
  std::vector<std::pair<std::string, std::string>> params;
};
bool lmtp_parse_path(std::string_view arg, std::string_view prefix, LmtpPath* out);

// The user id of a recipient address: its local part, unquoted.  The domain
// is not looked at: the MTA sends to this server only addresses it found to
// be local.  "" for an address without a usable local part.
std::string lmtp_recipient_user(std::string_view address);

// The reply line for the store's result of a recipient check or delivery
// (0 -> ok_text).  Permanent and temporary failures are told apart by the
// store's own classification (deliver_exit_status).
std::string lmtp_result_reply(int code, const char* ok_text);

class LmtpMachine {
 public:
  enum class Action { kReply, kCheckRecipient, kStartData, kQuit };
  struct Step {
    Action action = Action::kReply;
    std::string reply;  // sent first (kStartData: the 354 line)
    std::string user;   // kCheckRecipient
  };
  struct Recipient {
    std::string user;
    std::string folder;  // the internal folder name the check resolved
  };

  // hostname: the name in the greeting and LHLO reply; max_size: SIZE (0 =
  // none announced, no limit of ours); max_recipients per transaction.
  LmtpMachine(std::string hostname, uint64_t max_size, size_t max_recipients);

  std::string greeting() const;
  Step on_line(std::string_view line, bool has_nul);
  // The line reader found a command longer than kLmtpMaxLine.
  Step on_too_long() const;
  // The answer to the kCheckRecipient step: 0 adds the recipient (folder:
  // what deliver_resolve found).
  std::string recipient_checked(int code, const std::string& folder);
  // The data was read: the transaction ends (its recipients stay readable
  // until the next command).
  void data_done();

  const std::vector<Recipient>& recipients() const { return rcpts_; }
  const std::string& sender() const { return sender_; }
  uint64_t size_hint() const { return size_hint_; }
  uint64_t max_size() const { return max_size_; }
  bool in_transaction() const { return state_ == State::kMail; }

 private:
  enum class State { kStart, kReady, kMail };
  Step mail(std::string_view arg);
  Step rcpt(std::string_view arg);
  Step data(std::string_view arg);
  void reset();

  std::string hostname_;
  uint64_t max_size_;
  size_t max_recipients_;
  State state_ = State::kStart;
  std::string sender_;
  uint64_t size_hint_ = 0;
  std::string pending_user_;  // the RCPT being checked
  std::vector<Recipient> rcpts_;
};

class LmtpDataReader {
 public:
  enum class Fault { kNone, kTooLarge, kLineTooLong, kNul, kBareLfEnd };

  // max_size: octets of the stored message beyond which it is refused (0:
  // no limit).
  LmtpDataReader(uint64_t max_size, size_t max_line = kLmtpMaxDataLine);

  // Reads n octets of the data stream and appends the message octets they
  // make to *out (nothing after a fault).  Returns the octets taken: fewer
  // than n when the end came first (the rest are the client's next
  // commands).
  size_t feed(const char* p, size_t n, std::string* out);
  bool done() const { return state_ == State::kDone; }
  Fault fault() const { return fault_; }
  // Octets of the message as stored (counted even after a fault).
  uint64_t size() const { return size_; }
  // The reply for each recipient when fault() is not kNone.
  std::string fault_reply() const;

 private:
  enum class State { kLineStart, kDot, kDotCr, kMid, kCr, kDone };
  void emit(const char* p, size_t n, std::string* out);
  void set_fault(Fault f);

  uint64_t max_size_;
  size_t max_line_;
  State state_ = State::kLineStart;
  Fault fault_ = Fault::kNone;
  uint64_t size_ = 0;
  size_t line_ = 0;
};
