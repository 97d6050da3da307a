#include "store/mailbox_check.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "common/imap_err.h"
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/quota.h"

namespace {

void add(mailbox_check_report* rep, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(mailbox_check_report* rep, const char* fmt, ...) {
  char buf[1024];  // room for two folder names and the counts
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  rep->problems.emplace_back(buf);
}

bool read_all(int fd, std::string* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  out->resize(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < out->size()) {
    ssize_t n = pread(fd, out->data() + got, out->size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  return true;
}

// Walks the 11 items of the entry at cache[pos]; returns its end, or 0
// when an item leaves the cache.
uint64_t entry_end(const unsigned char* cache, uint64_t len, uint64_t pos) {
  for (uint32_t i = 0; i < CACHE_ITEM_COUNT; ++i) {
    if (pos + 4 > len) return 0;
    uint64_t l = get_be32(cache + pos);
    if (pos + 4 + l > len) return 0;
    pos += 4 + ((l + 3) & ~uint64_t(3));
  }
  return std::min(pos, len);
}

}  // namespace

int mailbox_check(const char* path, const char* msgpath, mailbox_check_report* rep) {
  *rep = mailbox_check_report{};
  if (!msgpath || !*msgpath) msgpath = path;
  std::string fname = mailbox_file(path, FNAME_INDEX);
  UniqueFd fd(open(fname.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  std::string data;
  if (!read_all(fd.get(), &data)) return errno;
  const auto* b = reinterpret_cast<const unsigned char*>(data.data());
  const uint64_t size = data.size();
  rep->file_size = size;
  if (size < INDEX_HEADER_SIZE) {
    add(rep, "index is %llu bytes, shorter than its 80-byte fixed header", static_cast<unsigned long long>(size));
    return 0;
  }
  rep->readable = true;
  rep->mbd = mboxdata_decode(b);
  mboxidxhdr hdr = mboxidxhdr_decode(b + MBOXDATA_SIZE);
  rep->start_offset = hdr.start_offset;
  rep->cache_offset = hdr.cache_offset;
  const mboxdata& mbd = rep->mbd;
  const bool v1 = mbd.version == MBOX_VERSION_V1;
  if (mbd.version != MBOX_VERSION && !v1 && mbd.version != MBOX_VERSION_TRANSITION) {
    add(rep, "unknown version 0x%x", mbd.version);
    return 0;
  }
  if (hdr.start_offset < INDEX_HEADER_SIZE || hdr.start_offset > size) {
    add(rep, "start_offset %u outside 80..%llu", hdr.start_offset, static_cast<unsigned long long>(size));
    return 0;
  }
  // Variable header.
  const char* vh = data.data() + INDEX_HEADER_SIZE;
  size_t vlen = hdr.start_offset - INDEX_HEADER_SIZE;
  const char* lf = static_cast<const char*>(memchr(vh, '\n', vlen));
  if (!lf) {
    add(rep, "variable header has no end of the flag list");
  } else {
    for (const char* p = vh; p < lf;) {
      const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(lf - p)));
      const char* end = nul ? nul : lf;
      rep->flagnames.emplace_back(p, end);
      p = nul ? nul + 1 : lf;
    }
    if (rep->flagnames.size() > MAX_USER_FLAGS) add(rep, "%zu flag slots, more than 96", rep->flagnames.size());
    const char* acl = lf + 1;
    const char* nul = static_cast<const char*>(memchr(acl, '\0', static_cast<size_t>(vh + vlen - acl)));
    if (!nul) {
      add(rep, "ACL not terminated inside the variable header");
    } else {
      rep->acl.assign(acl, nul);
    }
  }

  // Records and the cache they point at.
  const size_t recsize = v1 ? INDEX_RECORD_V1_SIZE : INDEX_RECORD_SIZE;
  uint64_t rec_end = hdr.start_offset + uint64_t(recsize) * mbd.exists;
  std::string cch;
  const unsigned char* cache = nullptr;
  uint64_t cache_len = 0;
  if (v1) {
    UniqueFd cfd(open(mailbox_file(path, FNAME_CACHE).c_str(), O_RDONLY | O_CLOEXEC));
    if (!cfd || !read_all(cfd.get(), &cch)) {
      add(rep, "older-format folder without a readable store.cch");
    } else if (cch.size() < 4 || get_le32(reinterpret_cast<const unsigned char*>(cch.data())) != hdr.cache_offset) {
      add(rep, "store.cch does not belong to this index (first word differs from cache_offset)");
    } else {
      cache = reinterpret_cast<const unsigned char*>(cch.data());
      cache_len = cch.size();
    }
  } else {
    if (rec_end > hdr.cache_offset) {
      add(rep, "records (%u) reach offset %llu, past cache_offset %u", mbd.exists,
          static_cast<unsigned long long>(rec_end), hdr.cache_offset);
    }
    if (hdr.cache_offset > size) {
      add(rep, "cache_offset %u past the end of the file (%llu)", hdr.cache_offset,
          static_cast<unsigned long long>(size));
    } else {
      cache = b + hdr.cache_offset;
      cache_len = size - hdr.cache_offset;
    }
  }
  if (rec_end > size) {
    add(rep, "records past the end of the file: %u records need %llu bytes, file has %llu", mbd.exists,
        static_cast<unsigned long long>(rec_end), static_cast<unsigned long long>(size));
  }
  uint32_t n = mbd.exists;
  if (rec_end > size) n = static_cast<uint32_t>((size - hdr.start_offset) / recsize);
  uint64_t prev_end = v1 ? 4 : 0;
  uint32_t prev_uid = 0;
  uint64_t total = 0;
  uint32_t max_size = 0, min_uid = UINT32_MAX, min_date = UINT32_MAX, max_uid = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const unsigned char* p = b + hdr.start_offset + recsize * i;
    index_record r = v1 ? index_record_decode_v1(p) : index_record_decode(p);
    rep->records.push_back(r);
    const unsigned msgno = i + 1;
    if (r.uid == 0 || r.uid <= prev_uid)
      add(rep, "record %u: uid %u not above the previous uid %u", msgno, r.uid, prev_uid);
    prev_uid = std::max(prev_uid, r.uid);
    max_uid = std::max(max_uid, r.uid);
    min_uid = std::min(min_uid, r.uid);
    min_date = std::min(min_date, r.internaldate);
    max_size = std::max(max_size, r.size);
    total += r.size;
    if (cache) {
      uint64_t pos = r.cache_offset;
      uint64_t end = pos < cache_len ? entry_end(cache, cache_len, pos) : 0;
      if (end == 0) {
        add(rep, "record %u (uid %u): cache entry at %u out of bounds", msgno, r.uid, r.cache_offset);
      } else if (pos < prev_end) {
        add(rep, "record %u (uid %u): cache entry at %u overlaps the previous one (ends at %llu)", msgno, r.uid,
            r.cache_offset, static_cast<unsigned long long>(prev_end));
      } else {
        uint32_t hlen = 0;
        // Item 5 (HEADER) holds exactly header_size bytes.
        uint64_t q = pos;
        for (int k = 0; k < CACHE_HEADER; ++k) q += 4 + ((uint64_t(get_be32(cache + q)) + 3) & ~uint64_t(3));
        hlen = get_be32(cache + q);
        if (hlen != r.header_size) {
          add(rep, "record %u (uid %u): cached header is %u bytes, record says %u", msgno, r.uid, hlen, r.header_size);
        }
        prev_end = end;
      }
    }
    char rel[MAILBOX_FNAME_LEN];
    std::string msg = std::string(msgpath) + "/" + mailbox_message_fname(nullptr, r.uid, rel);
    struct stat st;
    if (stat(msg.c_str(), &st) != 0) {
      add(rep, "record %u (uid %u): message file %s missing", msgno, r.uid, rel);
    } else if (static_cast<uint64_t>(st.st_size) != r.size) {
      add(rep, "record %u (uid %u): message file %s is %llu bytes, record says %u", msgno, r.uid, rel,
          static_cast<unsigned long long>(st.st_size), r.size);
    }
  }
  if (n > 0) {
    if (max_uid > mbd.last_uid) add(rep, "uid %u above last_uid %u", max_uid, mbd.last_uid);
    if (mbd.largest_msg < max_size)
      add(rep, "largest_msg %u below the largest record size %u", mbd.largest_msg, max_size);
    if (mbd.oldest_uid > min_uid) add(rep, "oldest_uid %u above the smallest uid %u", mbd.oldest_uid, min_uid);
    if (mbd.oldest_msg > min_date)
      add(rep, "oldest_msg %u after the oldest internal date %u", mbd.oldest_msg, min_date);
  }
  if (mbd.qused != total) {
    add(rep, "qused %llu differs from the total of message sizes %llu", static_cast<unsigned long long>(mbd.qused),
        static_cast<unsigned long long>(total));
  }
  return 0;
}

int mailbox_check_usage(const char* name, mailbox_check_report* rep) {
  if (!rep->readable) return 0;
  mboxdata list;
  if (int r = mboxlist_lookup(name, &list, nullptr, nullptr, nullptr, nullptr)) return r;
  char root[MBOXNAME_BUF];
  quotadata qd;
  const bool has_root = mboxlist_quotaroot(name, root) == 0 && mboxlist_getquotaroot(name, &qd, nullptr) == 0;
  const mboxdata& idx = rep->mbd;
  auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  if (idx.exists != list.exists || idx.qused != list.qused) {
    std::string quota;
    if (has_root) {
      quota = std::string(" (quota root ") + root + ": " + std::to_string(qd.msgqrused) + " messages, " +
              std::to_string(qd.qrused) + " bytes)";
    }
    add(rep, "usage of %s: the index counts %u messages (%llu bytes), the mailbox list %u messages (%llu bytes)%s%s",
        name, idx.exists, ull(idx.qused), list.exists, ull(list.qused), quota.c_str(),
        mboxlist_index_ahead(idx, list)    ? "; an append died before its commit, the folder's next open catches up"
        : mboxlist_index_behind(idx, list) ? "; an expunge died before its commit, the folder's next open catches up"
                                           : "");
  }
  if (has_root) {
    uint64_t used = 0;
    uint32_t msgs = 0;
    int r = mboxlist_sumquota(root, &used, &msgs);
    if (r == 0 && (used != qd.qrused || msgs != qd.msgqrused)) {
      add(rep, "quota root %s counts %u messages (%llu bytes), its folders' list records %u messages (%llu bytes)",
          root, qd.msgqrused, ull(qd.qrused), msgs, ull(used));
    }
  }
  return 0;
}
