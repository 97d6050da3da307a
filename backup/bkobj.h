// Backup objects and the object record format.
//
// Everything a backup saves is a BkObj: the store, a partition, a user
// group, a user, a mailbox (folder), a message, or a link (a message whose
// file is shared with one saved before).  An object has an attribute block
// (BkAttr: id, type, timestamp, a small type-specific info block) and a data
// block (Vdata), and enumerates its children.  The driver writes one record
// per object from the two blocks (bkobj_write_record); a reader gets them
// back with bkobj_read_record and hands them to an object of the recorded
// type through setAttr and restoreData.
//
// Object record (all integers big-endian):
//
//   size           field
//   2              id length (no record has 0: every id begins with '/')
//   id length      id bytes, UTF-8, no terminator
//   2              type (BkType)
//   4              timestamp (seconds since the epoch, unsigned)
//   2              info length
//   info length    info bytes
//   4              data length
//   data length    data bytes
//
// The end of a backup is marked by 152 zero bytes; a reader sees an id
// length of 0 and checks that the rest of the marker is zero.
//
// Ownership: objects handed out by getFirstChild/getNextChild belong to the
// caller.  Vdata and BkAttr views borrow bytes owned elsewhere (see each
// operation).  Functions return 1 for success and 0 for failure, as the
// rest of the backup code does; the record reader also gives a message.
// Objects are used by one thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

class BkSession;
class BkInput;
class BKDEV;

// Object types; the values are written to the stream.
enum class BkType : uint16_t { store = 0, partition = 1, group = 2, user = 3, mailbox = 4, message = 5, link = 6 };
inline constexpr uint16_t BK_NTYPES = 7;

enum class BkMode { Other = 0, Backup = 1, Restore = 2 };

// A length-counted byte block that either owns its bytes or views bytes
// owned elsewhere.  Copying makes a non-owning view of the other block's
// bytes (valid while that block holds them); moving transfers ownership.
class Vdata {
 public:
  Vdata() = default;
  explicit Vdata(const char* s) { setcstring(s); }
  // freedata 1: the block takes over data, which was allocated with malloc.
  Vdata(uint32_t len, const void* data, int freedata) { set(len, data, freedata); }
  Vdata(const Vdata& o) : len_(o.len_), data_(o.data_) {}
  Vdata& operator=(const Vdata& o);
  Vdata(Vdata&& o) noexcept;
  Vdata& operator=(Vdata&& o) noexcept;
  ~Vdata() = default;

  // Owned copy of s without its terminator.  1.
  int setcstring(const char* s);
  // A new NUL-terminated copy the caller frees with free().
  char* getcstring() const;
  void set(uint32_t len, const void* data, int freedata);
  // An owned copy of o's bytes.
  void copy(const Vdata& o);
  // Appends o as a part-list element (4-byte big-endian length, bytes); the
  // result is owned.
  Vdata& operator+=(const Vdata& o);
  // Makes out a view of element i (from 0).  0 when there are fewer
  // elements or an element's length runs past the bytes that remain.
  int part(int i, Vdata& out) const;
  // Reads a whole file into an owned block; 0 when it is missing, empty,
  // unreadable or larger than 4 GiB - 1.
  int load(const char* path);
  // Creates or truncates path (0666 before the umask) and writes the block;
  // 0 when it cannot be opened or written.
  int save(const char* path) const;

  uint32_t length() const { return len_; }
  const char* bytes() const { return data_; }
  int owns() const { return own_ != nullptr; }

 private:
  struct FreeDeleter {
    void operator()(char* p) const;
  };
  uint32_t len_ = 0;
  const char* data_ = nullptr;
  std::unique_ptr<char, FreeDeleter> own_;
};

// An object's attribute block.
class BkAttr {
 public:
  BkAttr() = default;
  // Copies the id, shares info.
  BkAttr(const BkAttr& o);
  // Takes o's id only when this one has none yet; copies type, timestamp,
  // a view of info and datasize.
  BkAttr& operator=(const BkAttr& o);
  // A new block with its own copy of the id and of the info bytes.
  std::unique_ptr<BkAttr> getCopy() const;

  // "Object Id", "Type", "Timestamp" and "Data Size" lines.
  void print(FILE* f) const;
  // The id, and a newline when newline is set.
  void printId(FILE* f, int newline) const;
  // A local file's copy of the block (host byte order, not the stream
  // format): id length (4), id, type (2), timestamp (4), info length (4),
  // info, datasize (4).  1 or 0.
  int save(int fd) const;
  // Reads what save wrote; 0 unless every field was read and the type is a
  // known one.
  int load(int fd);

  std::string objectId;
  uint16_t objectType = 0;
  time_t timestamp = 0;
  Vdata info;
  uint32_t datasize = 0;  // size of the content; not written to the stream
};

class BkObj {
 public:
  // Starts not valid unless name begins with '/'.  For a message or link
  // made while the session restores into another folder (current mailbox
  // with rename set), the id becomes that mailbox's id and the name's last
  // component.  One trailing '/' is dropped from ids longer than "/".
  BkObj(BkSession* session, const char* name, BkType type);
  virtual ~BkObj();
  BkObj(const BkObj&) = delete;
  BkObj& operator=(const BkObj&) = delete;

  virtual int exists() { return exist; }
  virtual long getTimestamp() { return 0; }
  // The attributes when valid, else null.
  virtual const BkAttr* getAttr() { return valid ? &att : nullptr; }
  virtual int setAttr(BkAttr& a) {
    att = a;
    return valid;
  }
  virtual void printAttr(FILE* f) { att.print(f); }
  // The data block to write, or null when it cannot be produced.
  virtual const Vdata* backupData() = 0;
  virtual int restoreData(Vdata* data) = 0;
  virtual std::unique_ptr<BkObj> getFirstChild() = 0;
  virtual std::unique_ptr<BkObj> getNextChild() = 0;

  BkSession* getSession() const { return bks; }
  int isvalid() const { return valid; }
  const char* getObjectId() const { return att.objectId.c_str(); }
  // The object's own name component (the whole id for the store); "" when
  // the object is not valid.
  const char* basename() const { return myid_ == std::string::npos ? "" : att.objectId.c_str() + myid_; }
  // The component just before the object's own (the parent's name) copied
  // into buf (size bytes); null when the object sits directly under the
  // store, has no name, or buf is too small.
  char* parentId(char* buf, size_t size) const;

 protected:
  BkAttr att;
  Vdata mydata;
  int valid = 0;
  int exist = 0;
  size_t myid_ = std::string::npos;  // offset of the own component in the id
  BkSession* bks;
};

// ---------------------------------------------------------------------------
// Info and data payloads.

// MbxInfo, the info block of a mailbox record (20 bytes, big-endian):
//   0  4  uid_validity
//   4  1  sub          1 when the owner is subscribed
//   5  3  padding      0
//   8  4  last_read    0
//   12 4  last_uid     the owner's last-read UID (0 when none)
//   16 4  last_change  0
struct MbxInfo {
  uint32_t uid_validity = 0;
  uint8_t sub = 0;
  uint32_t last_read = 0;
  uint32_t last_uid = 0;
  uint32_t last_change = 0;
};
inline constexpr size_t MBXINFO_SIZE = 20;
static_assert(4 + 1 + 3 + 4 + 4 + 4 == MBXINFO_SIZE);
void mbxinfo_encode(const MbxInfo& m, char out[MBXINFO_SIZE]);
// 0 unless len is exactly MBXINFO_SIZE.
int mbxinfo_decode(const char* buf, size_t len, MbxInfo* m);

// MsgInfo, the info block of message and link records (52 bytes):
//   0  4  uid               big-endian
//   4  4  internaldate      big-endian
//   8  4  sentdate          big-endian
//   12 4  size              big-endian
//   16 4  last_updated      big-endian
//   20 4  system_flags      little-endian
//   24 4  peruser_flags     little-endian; bit 0 seen, bit 1 deleted
//   28 12 user_flags[3]     little-endian each
//   40 4  orig_uid          big-endian
//   44 4  orig_uidvalidity  big-endian
//   48 4  unused            0
// The flag words are little-endian on every host: that is the order of the
// stores this system writes, and fixing it lets any host read a backup.
struct MsgInfo {
  uint32_t uid = 0;
  uint32_t internaldate = 0;
  uint32_t sentdate = 0;
  uint32_t size = 0;
  uint32_t last_updated = 0;
  uint32_t system_flags = 0;
  uint32_t peruser_flags = 0;
  uint32_t user_flags[3] = {0, 0, 0};
  uint32_t orig_uid = 0;
  uint32_t orig_uidvalidity = 0;
};
inline constexpr uint32_t MSGINFO_PERUSER_SEEN = 1;
inline constexpr uint32_t MSGINFO_PERUSER_DELETED = 2;
inline constexpr size_t MSGINFO_SIZE = 52;
static_assert(5 * 4 + 4 + 4 + 12 + 4 + 4 + 4 == MSGINFO_SIZE);
void msginfo_encode(const MsgInfo& m, char out[MSGINFO_SIZE]);
int msginfo_decode(const char* buf, size_t len, MsgInfo* m);

// Reference, the data block of a link record (276 bytes): names the copy
// saved earlier in the same backup.
//   0   257  iname             internal folder name, NUL-terminated; bytes
//                              after the terminator are not significant
//   257 3    padding           not significant (written as 0)
//   260 4    uid               big-endian
//   264 4    uidvalidity       big-endian
//   268 4    orig_uid          big-endian
//   272 4    orig_uidvalidity  big-endian
struct Reference {
  std::string iname;  // at most 256 bytes
  uint32_t uid = 0;
  uint32_t uidvalidity = 0;
  uint32_t orig_uid = 0;
  uint32_t orig_uidvalidity = 0;
};
inline constexpr size_t REFERENCE_INAME = 257;
inline constexpr size_t REFERENCE_SIZE = 276;
static_assert(REFERENCE_INAME + 3 + 4 * 4 == REFERENCE_SIZE);
// 0 when the name does not fit (256 bytes at most).
int reference_encode(const Reference& r, char out[REFERENCE_SIZE]);
// 0 unless len is exactly REFERENCE_SIZE and iname is terminated.
int reference_decode(const char* buf, size_t len, Reference* r);

// ---------------------------------------------------------------------------
// Records.

// Bytes of the end marker.
inline constexpr unsigned BK_END_MARKER = 152;

// Writes one record: the attributes, then data (a missing block is written
// as length 0).  0 when the id or info is too long for its 16-bit length
// (nothing is written then) or when the device has failed.
int bkobj_write_record(BKDEV& dev, const BkAttr& att, const Vdata* data);

// One record as read back.
struct BkRecord {
  std::string id;
  uint16_t type = 0;
  uint32_t timestamp = 0;
  std::string info;
  std::string data;
};

// Reads the next record into rec.  1: a record; 0: the end marker; -1: the
// stream is damaged or ends early, with a message in *err.  Data longer
// than maxdata is refused; data is read in pieces, so a bogus length fails
// at the end of the stream rather than allocating it.
int bkobj_read_record(BkInput& in, BkRecord* rec, std::string* err, uint32_t maxdata = UINT32_MAX);

// Reads a record up to its data: fills rec (without data) and *dlen, the
// data length; the caller reads or skips the data next.  Results as
// bkobj_read_record.
int bkobj_read_head(BkInput& in, BkRecord* rec, uint32_t* dlen, std::string* err);
// Reads and drops n stream bytes through a small buffer.  1 or 0.
int bkobj_skip_data(BkInput& in, uint32_t n);

// Reads a whole stream from in: the raw bytes of a record stream ending in
// an end marker, checked record by record; used by the fuzz target and
// tests.  Returns the number of records, or -1 with *err.
long bkobj_scan_records(BkInput& in, std::string* err, uint32_t maxdata);
