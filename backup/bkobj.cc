// Backup objects, attribute and data blocks, payload and record codecs.
#include "backup/bkobj.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bkmailbox.h"
#include "backup/bkutils.h"
#include "common/assert.h"
#include "common/bvlog.h"
#include "common/fileio.h"
#include "common/unique_fd.h"
#include "common/xmalloc.h"

// ---------------------------------------------------------------------------
// Vdata

void Vdata::FreeDeleter::operator()(char* p) const { std::free(p); }

Vdata& Vdata::operator=(const Vdata& o) {
  if (this != &o) {
    // A view of o's bytes; drop our own only after taking the view, since
    // o may be a view of them.
    if (own_ && o.data_ >= own_.get() && o.data_ < own_.get() + len_) {
      copy(o);
      return *this;
    }
    own_.reset();
    data_ = o.data_;
    len_ = o.len_;
  }
  return *this;
}

Vdata::Vdata(Vdata&& o) noexcept : len_(o.len_), data_(o.data_), own_(std::move(o.own_)) {
  o.len_ = 0;
  o.data_ = nullptr;
}

Vdata& Vdata::operator=(Vdata&& o) noexcept {
  if (this != &o) {
    own_ = std::move(o.own_);
    len_ = o.len_;
    data_ = o.data_;
    o.len_ = 0;
    o.data_ = nullptr;
  }
  return *this;
}

int Vdata::setcstring(const char* s) {
  size_t n = s ? std::strlen(s) : 0;
  char* p = static_cast<char*>(xmalloc(n ? n : 1));
  if (n) std::memcpy(p, s, n);
  set(static_cast<uint32_t>(n), p, 1);
  return 1;
}

char* Vdata::getcstring() const {
  char* p = static_cast<char*>(xmalloc(static_cast<size_t>(len_) + 1));
  if (len_) std::memcpy(p, data_, len_);
  p[len_] = '\0';
  return p;
}

void Vdata::set(uint32_t len, const void* data, int freedata) {
  char* old = own_.release();
  const char* d = static_cast<const char*>(data);
  bool inside = old && d >= old && d < old + (len_ ? len_ : 1);
  if (freedata) {
    own_.reset(const_cast<char*>(d));
    if (old != d) std::free(old);
  } else if (inside) {
    own_.reset(old);  // the new view points into the buffer: keep it
  } else {
    std::free(old);
  }
  len_ = len;
  data_ = d;
}

void Vdata::copy(const Vdata& o) {
  char* p = static_cast<char*>(xmalloc(o.len_ ? o.len_ : 1));
  if (o.len_) std::memcpy(p, o.data_, o.len_);
  set(o.len_, p, 1);
}

Vdata& Vdata::operator+=(const Vdata& o) {
  size_t n = static_cast<size_t>(len_) + 4 + o.len_;
  ORV_ASSERT(n <= UINT32_MAX);
  char* p = static_cast<char*>(xmalloc(n));
  if (len_) std::memcpy(p, data_, len_);
  writePRInt32(p + len_, o.len_);
  if (o.len_) std::memcpy(p + len_ + 4, o.data_, o.len_);
  set(static_cast<uint32_t>(n), p, 1);
  return *this;
}

int Vdata::part(int i, Vdata& out) const {
  if (i < 0) return 0;
  uint32_t off = 0;
  for (int k = 0;; k++) {
    if (len_ - off < 4) return 0;
    uint32_t n = readPRInt32(data_ + off);
    off += 4;
    if (n > len_ - off) return 0;
    if (k == i) {
      out = Vdata();
      out.set(n, data_ + off, 0);
      return 1;
    }
    off += n;
  }
}

int Vdata::load(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > UINT32_MAX) return 0;
  size_t size = static_cast<size_t>(st.st_size);
  char* p = static_cast<char*>(xmalloc(size));
  size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd.get(), p + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the file shrank: keep what was there
    got += static_cast<size_t>(n);
  }
  if (got == 0) {
    std::free(p);
    return 0;
  }
  set(static_cast<uint32_t>(got), p, 1);
  return 1;
}

int Vdata::save(const char* path) const {
  UniqueFd fd(fs_open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd) return 0;
  if (len_ && retry_write(fd.get(), data_, len_) < 0) return 0;
  return 1;
}

// ---------------------------------------------------------------------------
// BkAttr

BkAttr::BkAttr(const BkAttr& o)
    : objectId(o.objectId), objectType(o.objectType), timestamp(o.timestamp), info(o.info), datasize(o.datasize) {}

BkAttr& BkAttr::operator=(const BkAttr& o) {
  if (this == &o) return *this;
  if (objectId.empty()) objectId = o.objectId;
  objectType = o.objectType;
  timestamp = o.timestamp;
  info = o.info;
  datasize = o.datasize;
  return *this;
}

std::unique_ptr<BkAttr> BkAttr::getCopy() const {
  auto a = std::make_unique<BkAttr>();
  a->objectId = objectId;
  a->objectType = objectType;
  a->timestamp = timestamp;
  a->info.copy(info);
  a->datasize = datasize;
  return a;
}

void BkAttr::printId(FILE* f, int newline) const {
  // Ids are UTF-8, which is what the operator's terminal is taken to show.
  std::fprintf(f, "%s%s", objectId.c_str(), newline ? "\n" : "");
}

void BkAttr::print(FILE* f) const {
  char tbuf[BK_TIMESTR];
  std::fprintf(f, "Object Id   : ");
  printId(f, 1);
  std::fprintf(f, "Type        : %d\n", objectType);
  std::fprintf(f, "Timestamp   : %s", time2str(static_cast<long>(timestamp), tbuf));
  std::fprintf(f, "Data Size   : %d\n", static_cast<int>(datasize));
}

namespace {

template <typename T>
int put_host(int fd, T v) {
  return retry_write(fd, &v, sizeof v) == static_cast<ssize_t>(sizeof v);
}

int read_all(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 0;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return 1;
}

template <typename T>
int get_host(int fd, T* v) {
  return read_all(fd, v, sizeof *v);
}

// Longest id or info a local attribute file may hold; ids are short, and a
// bogus length must not make load allocate gigabytes.
constexpr uint32_t ATTR_FIELD_MAX = 1 << 20;

}  // namespace

int BkAttr::save(int fd) const {
  uint32_t idlen = static_cast<uint32_t>(objectId.size());
  int32_t ts = static_cast<int32_t>(timestamp);
  return put_host(fd, idlen) && (idlen == 0 || retry_write(fd, objectId.data(), idlen) == idlen) &&
         put_host(fd, objectType) && put_host(fd, ts) && put_host(fd, info.length()) &&
         (info.length() == 0 || retry_write(fd, info.bytes(), info.length()) == info.length()) &&
         put_host(fd, datasize);
}

int BkAttr::load(int fd) {
  uint32_t idlen, infolen, size;
  uint16_t type;
  int32_t ts;
  if (!get_host(fd, &idlen) || idlen > ATTR_FIELD_MAX) return 0;
  std::string id(idlen, '\0');
  if (!read_all(fd, id.data(), idlen) || !get_host(fd, &type) || !get_host(fd, &ts) || !get_host(fd, &infolen) ||
      infolen > ATTR_FIELD_MAX)
    return 0;
  char* p = static_cast<char*>(xmalloc(infolen ? infolen : 1));
  Vdata in(infolen, p, 1);
  if (!read_all(fd, p, infolen) || !get_host(fd, &size) || type >= BK_NTYPES) return 0;
  objectId = std::move(id);
  objectType = type;
  timestamp = ts;
  info = std::move(in);
  datasize = size;
  return 1;
}

// ---------------------------------------------------------------------------
// BkObj

BkObj::BkObj(BkSession* session, const char* name, BkType type) : bks(session) {
  if (!name || name[0] != '/') return;
  std::string id = name;
  if (type == BkType::message || type == BkType::link) {
    BkObj* cur = bks ? bks->getMailbox() : nullptr;
    if (cur && bks->getRename()) {
      const char* last = std::strrchr(name, '/');
      id = std::string(cur->getObjectId()) + last;
    }
  }
  if (id.size() > 1 && id.back() == '/') id.pop_back();
  att.objectId = std::move(id);
  att.objectType = static_cast<uint16_t>(type);
  // The own component starts after the type-th '/' (the whole id for the
  // store).
  size_t pos = 0;
  const std::string& s = att.objectId;
  for (int k = 0; k < static_cast<int>(type); k++) {
    size_t slash = s.find('/', pos);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  myid_ = pos;
  valid = 1;
}

BkObj::~BkObj() {
  if (bks) bks->clearMailbox(this);
}

char* BkObj::parentId(char* buf, size_t size) const {
  if (myid_ == std::string::npos || myid_ <= 1) return nullptr;
  // The parent's component runs from the '/' before it to the '/' that ends
  // it, just before myid.
  const std::string& s = att.objectId;
  size_t end = myid_ - 1;
  size_t start = s.rfind('/', end - 1);
  if (start == std::string::npos) return nullptr;
  size_t n = end - start - 1;
  if (n + 1 > size) return nullptr;
  std::memcpy(buf, s.data() + start + 1, n);
  buf[n] = '\0';
  return buf;
}

// ---------------------------------------------------------------------------
// Payloads

void mbxinfo_encode(const MbxInfo& m, char out[MBXINFO_SIZE]) {
  opstream o(out);
  o.writePRInt32(m.uid_validity);
  char sub[4] = {static_cast<char>(m.sub), 0, 0, 0};
  o.writeBytes(sub, 4);
  o.writePRInt32(m.last_read);
  o.writePRInt32(m.last_uid);
  o.writePRInt32(m.last_change);
}

int mbxinfo_decode(const char* buf, size_t len, MbxInfo* m) {
  if (len != MBXINFO_SIZE) return 0;
  ipstream in(buf);
  in.readPRInt32(&m->uid_validity);
  m->sub = static_cast<uint8_t>(buf[4]);
  in.skip(4);
  in.readPRInt32(&m->last_read);
  in.readPRInt32(&m->last_uid);
  in.readPRInt32(&m->last_change);
  return 1;
}

void msginfo_encode(const MsgInfo& m, char out[MSGINFO_SIZE]) {
  opstream o(out);
  o.writePRInt32(m.uid);
  o.writePRInt32(m.internaldate);
  o.writePRInt32(m.sentdate);
  o.writePRInt32(m.size);
  o.writePRInt32(m.last_updated);
  o.writeLE32(m.system_flags);
  o.writeLE32(m.peruser_flags);
  for (uint32_t w : m.user_flags) o.writeLE32(w);
  o.writePRInt32(m.orig_uid);
  o.writePRInt32(m.orig_uidvalidity);
  o.writePRInt32(0);
}

int msginfo_decode(const char* buf, size_t len, MsgInfo* m) {
  if (len != MSGINFO_SIZE) return 0;
  ipstream in(buf);
  in.readPRInt32(&m->uid);
  in.readPRInt32(&m->internaldate);
  in.readPRInt32(&m->sentdate);
  in.readPRInt32(&m->size);
  in.readPRInt32(&m->last_updated);
  in.readLE32(&m->system_flags);
  in.readLE32(&m->peruser_flags);
  for (uint32_t& w : m->user_flags) in.readLE32(&w);
  in.readPRInt32(&m->orig_uid);
  in.readPRInt32(&m->orig_uidvalidity);
  return 1;
}

int reference_encode(const Reference& r, char out[REFERENCE_SIZE]) {
  if (r.iname.size() >= REFERENCE_INAME || r.iname.find('\0') != std::string::npos) return 0;
  opstream o(out);
  o.writeBytes(r.iname.data(), r.iname.size());
  o.writeZeros(REFERENCE_INAME + 3 - r.iname.size());
  o.writePRInt32(r.uid);
  o.writePRInt32(r.uidvalidity);
  o.writePRInt32(r.orig_uid);
  o.writePRInt32(r.orig_uidvalidity);
  return 1;
}

int reference_decode(const char* buf, size_t len, Reference* r) {
  if (len != REFERENCE_SIZE) return 0;
  const void* nul = std::memchr(buf, '\0', REFERENCE_INAME);
  if (!nul) return 0;
  r->iname.assign(buf, static_cast<size_t>(static_cast<const char*>(nul) - buf));
  ipstream in(buf + REFERENCE_INAME + 3);
  in.readPRInt32(&r->uid);
  in.readPRInt32(&r->uidvalidity);
  in.readPRInt32(&r->orig_uid);
  in.readPRInt32(&r->orig_uidvalidity);
  return 1;
}

// ---------------------------------------------------------------------------
// Records

int bkobj_write_record(BKDEV& dev, const BkAttr& att, const Vdata* data) {
  if (att.objectId.size() > 0xFFFF || att.info.length() > 0xFFFF) {
    bvlog(0, LOG_STORE_ERR, "Record of %.200s is too large for the backup stream", att.objectId.c_str());
    return 0;
  }
  int ok = dev.writestring(att.objectId.c_str());
  ok &= dev.writePRInt16(att.objectType);
  ok &= dev.writePRInt32(static_cast<uint32_t>(att.timestamp));
  ok &= dev.writePRInt16(static_cast<uint16_t>(att.info.length()));
  if (att.info.length()) ok &= dev.write(att.info.bytes(), att.info.length());
  uint32_t dlen = data ? data->length() : 0;
  ok &= dev.writePRInt32(dlen);
  if (dlen) ok &= dev.write(data->bytes(), dlen);
  return ok;
}

namespace {

int fail(std::string* err, const std::string& msg) {
  if (err) *err = msg;
  return -1;
}

// Reads n bytes into *out in pieces, so the allocation follows the bytes
// that actually arrive.
int read_piecewise(BkInput& in, uint32_t n, std::string* out) {
  constexpr uint32_t PIECE = 1 << 16;
  out->clear();
  while (n > 0) {
    uint32_t k = n < PIECE ? n : PIECE;
    size_t at = out->size();
    out->resize(at + k);
    if (!in.read(out->data() + at, k)) return 0;
    n -= k;
  }
  return 1;
}

}  // namespace

int bkobj_read_head(BkInput& in, BkRecord* rec, uint32_t* dlen, std::string* err) {
  char b[8];
  if (!in.read(b, 2)) return fail(err, "backup stream ends before the end marker");
  uint16_t idlen = readPRInt16(b);
  if (idlen == 0) {
    char rest[BK_END_MARKER - 2];
    if (!in.read(rest, sizeof rest)) return fail(err, "backup stream ends inside the end marker");
    for (char c : rest)
      if (c != 0) return fail(err, "damaged end marker");
    return 0;
  }
  std::string id(idlen, '\0');
  if (!in.read(id.data(), idlen)) return fail(err, "backup stream ends inside a record id");
  if (id[0] != '/' || id.find('\0') != std::string::npos)
    return fail(err, "damaged record: the id is not an object name");
  if (!in.read(b, 8)) return fail(err, "backup stream ends inside the record of " + id);
  uint16_t type = readPRInt16(b);
  uint32_t ts = readPRInt32(b + 2);
  uint16_t infolen = readPRInt16(b + 6);
  if (type >= BK_NTYPES) return fail(err, "damaged record of " + id + ": unknown type " + std::to_string(type));
  std::string info(infolen, '\0');
  if (infolen && !in.read(info.data(), infolen)) return fail(err, "backup stream ends inside the info of " + id);
  if (!in.read(b, 4)) return fail(err, "backup stream ends inside the record of " + id);
  *dlen = readPRInt32(b);
  rec->id = std::move(id);
  rec->type = type;
  rec->timestamp = ts;
  rec->info = std::move(info);
  rec->data.clear();
  return 1;
}

int bkobj_skip_data(BkInput& in, uint32_t n) {
  char buf[1 << 14];
  while (n > 0) {
    uint32_t k = n < sizeof buf ? n : static_cast<uint32_t>(sizeof buf);
    if (!in.read(buf, k)) return 0;
    n -= k;
  }
  return 1;
}

int bkobj_read_record(BkInput& in, BkRecord* rec, std::string* err, uint32_t maxdata) {
  BkRecord head;
  uint32_t dlen = 0;
  int r = bkobj_read_head(in, &head, &dlen, err);
  if (r <= 0) return r;
  if (dlen > maxdata)
    return fail(err, "damaged record of " + head.id + ": data length " + std::to_string(dlen) + " is too large");
  // The data goes into the previous record's buffer: a restore reads one
  // record after another into the same BkRecord, and a new buffer for each
  // message (mapped afresh by malloc above 128 KB, grown in steps) cost
  // more CPU than copying the message into it.
  head.data = std::move(rec->data);
  if (!read_piecewise(in, dlen, &head.data)) return fail(err, "backup stream ends inside the data of " + head.id);
  *rec = std::move(head);
  return 1;
}

long bkobj_scan_records(BkInput& in, std::string* err, uint32_t maxdata) {
  BkRecord rec;
  long n = 0;
  for (;;) {
    int r = bkobj_read_record(in, &rec, err, maxdata);
    if (r < 0) return -1;
    if (r == 0) return n;
    // Fixed-size payloads must have their size.
    if ((rec.type == static_cast<uint16_t>(BkType::mailbox) && !rec.info.empty() && rec.info.size() != MBXINFO_SIZE) ||
        ((rec.type == static_cast<uint16_t>(BkType::message) || rec.type == static_cast<uint16_t>(BkType::link)) &&
         rec.info.size() != MSGINFO_SIZE) ||
        (rec.type == static_cast<uint16_t>(BkType::link) && rec.data.size() != REFERENCE_SIZE)) {
      if (err) *err = "damaged record of " + rec.id + ": payload of the wrong size";
      return -1;
    }
    n++;
  }
}

int BkMemInput::read(void* buf, unsigned len) {
  if (len > left_) return 0;
  if (len) std::memcpy(buf, p_, len);
  p_ += len;
  left_ -= len;
  return 1;
}
