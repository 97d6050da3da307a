#include "pop/maildrop.h"

#include <algorithm>
#include <unordered_set>

#include "common/bvlog.h"
#include "store/mboxlist_lright.h"
#include "store/quota_record.h"

static_assert(sizeof("Status: R\r\n") - 1 == kStatusLineOctets);

MaildropMessage* Maildrop::find(uint64_t n) {
  if (n == 0 || n > messages.size()) return nullptr;
  MaildropMessage& m = messages[n - 1];
  return m.deleted ? nullptr : &m;
}

void Maildrop::mark_deleted(uint32_t n) {
  MaildropMessage* m = find(n);
  if (!m) return;
  m->deleted = true;
  ++deleted_count;
  deleted_octets += m->size;
  highest = std::max(highest, n);
}

void Maildrop::reset() {
  for (MaildropMessage& m : messages) m.deleted = false;
  deleted_count = 0;
  deleted_octets = 0;
  highest = 0;
}

std::string Maildrop::status_line(uint32_t n) const {
  if (status_octets == 0) return "";
  return n <= highest ? "Status: R\r\n" : "Status: U\r\n";
}

std::vector<uint32_t> Maildrop::deleted_uids() const {
  std::vector<uint32_t> out;
  out.reserve(deleted_count);
  for (const MaildropMessage& m : messages)
    if (m.deleted) out.push_back(m.uid);
  // Already ascending (index order); sorted anyway, the decision relies on it.
  std::sort(out.begin(), out.end());
  return out;
}

int maildrop_build(Maildrop* drop) {
  const uint32_t exists = drop->box.mbd.exists;
  drop->messages.clear();
  drop->messages.reserve(exists);
  drop->octets = 0;
  for (uint32_t n = 1; n <= exists; ++n) {
    index_record rec;
    if (int r = mailbox_read_index_record(&drop->box, n, &rec)) return r;
    MaildropMessage m;
    m.uid = rec.uid;
    m.size = rec.size;
    m.id_uid = rec.orig_uid;
    m.id_validity = rec.orig_uidvalidity;
    m.no_dots = (rec.system_flags & INDEX_FLAG_CRLF_NODOT) != 0;
    drop->messages.push_back(m);
    drop->octets += rec.size;
  }
  if (uint32_t dups = maildrop_assign_ids(&drop->messages, drop->box.mbd.uid_validity))
    bvlog(0, LOG_SEV_NOTICE, "%s: %u message%s share an origin with an earlier one; given the folder's own unique id",
          drop->box.name ? drop->box.name : "INBOX", dups, dups == 1 ? "" : "s");
  return 0;
}

void maildrop_load_last_position(Maildrop* drop, const std::string& userid) {
  drop->status_octets = kStatusLineOctets;
  std::string name = userid;  // canonicalised in place
  quotadata qd;
  if (mboxlist_getlastaccess(name.data(), &qd) != 0) return;
  drop->highest =
      maildrop_last_position(drop->messages, drop->box.mbd.uid_validity, qd.pop_last_uidvalidity, qd.pop_last_uid);
}

uint32_t maildrop_last_position(const std::vector<MaildropMessage>& messages, uint32_t box_validity,
                                uint32_t last_validity, uint32_t last_uid) {
  if (last_validity == 0 || last_validity != box_validity) return 0;
  auto past = std::upper_bound(messages.begin(), messages.end(), last_uid,
                               [](uint32_t uid, const MaildropMessage& m) { return uid < m.uid; });
  return static_cast<uint32_t>(past - messages.begin());
}

uint32_t maildrop_assign_ids(std::vector<MaildropMessage>* messages, uint32_t uidvalidity) {
  auto key = [](uint32_t a, uint32_t b) { return (static_cast<uint64_t>(a) << 32) | b; };
  // The records' own ids come first: an id that is unique in the table
  // never changes, whatever the position of the message.
  std::unordered_set<uint64_t> seen;
  seen.reserve(messages->size() * 2);
  uint32_t dups = 0;
  std::vector<size_t> redo;
  for (size_t i = 0; i < messages->size(); ++i) {
    MaildropMessage& m = (*messages)[i];
    if (m.id_uid == 0 || m.id_validity == 0) {
      // The store's fallback for records without an origin.
      m.id_uid = m.uid;
      m.id_validity = uidvalidity;
    }
    if (!seen.insert(key(m.id_uid, m.id_validity)).second) redo.push_back(i);
  }
  for (size_t i : redo) {
    MaildropMessage& m = (*messages)[i];
    ++dups;
    m.id_uid = m.uid;
    m.id_validity = uidvalidity;
    // The folder's own (uid, UID validity) is unique unless an origin
    // happens to name it; then the UID validity is stepped down until free.
    // Bounded: at most messages->size() values can be taken.
    for (size_t tries = 0; !seen.insert(key(m.id_uid, m.id_validity)).second && tries <= messages->size(); ++tries)
      m.id_validity = m.id_validity == 1 ? UINT32_MAX : m.id_validity - 1;
  }
  return dups;
}

int maildrop_expunge_marked(void* rock, const index_record* record) {
  const auto* uids = static_cast<const std::vector<uint32_t>*>(rock);
  if (uids->empty() || record->uid > uids->back()) return -1;  // keep the rest
  return std::binary_search(uids->begin(), uids->end(), record->uid) ? 1 : 0;
}

std::optional<uint64_t> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned d = static_cast<unsigned>(c - '0');
    v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
  }
  return v;
}

std::vector<std::string_view> split_arguments(std::string_view arg) {
  std::vector<std::string_view> out;
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < arg.size()) {
    while (i < arg.size() && blank(arg[i])) ++i;
    size_t start = i;
    while (i < arg.size() && !blank(arg[i])) ++i;
    if (i > start) out.push_back(arg.substr(start, i - start));
  }
  return out;
}

std::string response_safe(std::string_view text, size_t max) {
  std::string out(text.substr(0, max));
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) c = ' ';
  }
  return out;
}
