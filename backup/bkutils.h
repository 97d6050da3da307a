// Byte-order helpers, cursor streams and the small containers of the backup
// subsystem.
//
// Every integer of the backup format (block prefixes, volume header, object
// records, the info and data payloads) is big-endian on the stream; the
// writePRIntNN/readPRIntNN helpers are the only place that turns host values
// into stream bytes and back.  pstream/opstream/ipstream walk a caller's
// buffer with a cursor; they do no bounds checking of their own, so callers
// size the buffer from the fixed record sizes (static_asserts beside each
// record) or check the remaining length first.
//
// The containers keep the names and observable behaviour the rest of the
// backup code relies on (Vector's cursor and null past the end, List's
// insert-at-front order, HashTable's 87641 buckets searched newest first) and
// use the standard library inside.  Containers own what is added to them.
// None of them is thread-safe; callers that share one lock around it.
// Nothing here fails except by the allocators aborting.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <forward_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Byte order.

// Store v big-endian at buf; return buf advanced past the value.
inline char* writePRInt16(char* buf, uint16_t v) {
  buf[0] = static_cast<char>(v >> 8);
  buf[1] = static_cast<char>(v);
  return buf + 2;
}
inline char* writePRInt32(char* buf, uint32_t v) {
  for (int i = 0; i < 4; i++) buf[i] = static_cast<char>(v >> (24 - 8 * i));
  return buf + 4;
}
inline char* writePRInt64(char* buf, uint64_t v) {
  for (int i = 0; i < 8; i++) buf[i] = static_cast<char>(v >> (56 - 8 * i));
  return buf + 8;
}

// Decode big-endian values at buf.
inline uint16_t readPRInt16(const char* buf) {
  const auto* b = reinterpret_cast<const unsigned char*>(buf);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
inline uint32_t readPRInt32(const char* buf) {
  const auto* b = reinterpret_cast<const unsigned char*>(buf);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}
inline uint64_t readPRInt64(const char* buf) { return (uint64_t{readPRInt32(buf)} << 32) | readPRInt32(buf + 4); }

// Little-endian 32-bit, used for MsgInfo's flag words: the stores this system
// writes keep them little-endian, and fixing the order makes a backup
// readable on any host.
inline char* writeLE32(char* buf, uint32_t v) {
  for (int i = 0; i < 4; i++) buf[i] = static_cast<char>(v >> (8 * i));
  return buf + 4;
}
inline uint32_t readLE32(const char* buf) {
  const auto* b = reinterpret_cast<const unsigned char*>(buf);
  return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}

// v with its eight bytes in big-endian order (an involution on every host).
inline uint64_t htonll(uint64_t v) {
  char b[8];
  writePRInt64(b, v);
  uint64_t r;
  std::memcpy(&r, b, 8);
  return r;
}

// ---------------------------------------------------------------------------
// Cursor streams over a caller's buffer (not owned, not bounds-checked).

class pstream {
 public:
  explicit pstream(char* buf) : buf_(buf), cur_(buf) {}
  char* buffer() const { return buf_; }
  char* cursor() const { return cur_; }
  size_t offset() const { return static_cast<size_t>(cur_ - buf_); }

 protected:
  char* buf_;
  char* cur_;
};

class opstream : public pstream {
 public:
  explicit opstream(char* buf) : pstream(buf) {}
  void writePRInt16(uint16_t v) { cur_ = ::writePRInt16(cur_, v); }
  void writePRInt32(uint32_t v) { cur_ = ::writePRInt32(cur_, v); }
  void writePRInt64(uint64_t v) { cur_ = ::writePRInt64(cur_, v); }
  void writeLE32(uint32_t v) { cur_ = ::writeLE32(cur_, v); }
  void writeBytes(const void* p, size_t n) {
    if (n) std::memcpy(cur_, p, n);
    cur_ += n;
  }
  void writeZeros(size_t n) {
    std::memset(cur_, 0, n);
    cur_ += n;
  }
};

class ipstream : public pstream {
 public:
  explicit ipstream(const char* buf) : pstream(const_cast<char*>(buf)) {}
  void readPRInt16(uint16_t* v) {
    *v = ::readPRInt16(cur_);
    cur_ += 2;
  }
  void readPRInt32(uint32_t* v) {
    *v = ::readPRInt32(cur_);
    cur_ += 4;
  }
  void readPRInt64(uint64_t* v) {
    *v = ::readPRInt64(cur_);
    cur_ += 8;
  }
  void readLE32(uint32_t* v) {
    *v = ::readLE32(cur_);
    cur_ += 4;
  }
  void readBytes(void* p, size_t n) {
    if (n) std::memcpy(p, cur_, n);
    cur_ += n;
  }
  void skip(size_t n) { cur_ += n; }
};

// ---------------------------------------------------------------------------
// Containers.

// Number of buckets of every HashTable.
inline constexpr unsigned BK_HASH_BUCKETS = 87641;

// An owned NUL-terminated string.
class String {
 public:
  String() = default;
  explicit String(const char* s) { setcstring(s); }
  void setcstring(const char* s) { s_ = s ? s : ""; }
  const char* getcstring() const { return s_.c_str(); }
  int length() const { return static_cast<int>(s_.size()); }
  void append(const char* s) { s_ += s; }
  void append(char c) { s_ += c; }
  void append(unsigned n) { s_ += std::to_string(n); }
  bool operator==(const String& o) const { return s_ == o.s_; }

 private:
  std::string s_;
};

// Bucket of s: h = (c + h * 32) mod 87641 over its characters taken as signed
// bytes.  The arithmetic is done in a wide signed type so a negative byte
// cannot wrap; the result is normalised into [0, 87641).
unsigned bkhash(const String& s);

// A growable array of owned elements with a read cursor.  T is the element
// type; the vector holds T objects through owning pointers.
template <typename T>
class Vector {
 public:
  explicit Vector(int initial = 10) { array_.reserve(initial > 0 ? static_cast<size_t>(initial) : 1); }
  // Takes ownership of item (null is refused).  1 on success.
  int add(std::unique_ptr<T> item) {
    if (!item) return 0;
    array_.push_back(std::move(item));
    return 1;
  }
  // The element at the cursor, then advances; null past the end.
  T* next() { return cur_ < array_.size() ? array_[cur_++].get() : nullptr; }
  void rewind() { cur_ = 0; }
  int count() const { return static_cast<int>(array_.size()); }
  // Element i; null outside the elements.
  T* operator[](int i) const {
    return i >= 0 && static_cast<size_t>(i) < array_.size() ? array_[static_cast<size_t>(i)].get() : nullptr;
  }
  void clear() {
    array_.clear();
    cur_ = 0;
  }

 private:
  std::vector<std::unique_ptr<T>> array_;
  size_t cur_ = 0;
};

// A singly linked list of owned elements; insert puts the new one first.
template <typename T>
class List {
 public:
  void insert(std::unique_ptr<T> item) {
    nodes_.push_front(std::move(item));
    inuse_++;
    rewind();
  }
  void rewind() { index_ = nodes_.begin(); }
  // The element at the cursor, then advances; null at the end.
  T* next() {
    if (index_ == nodes_.end()) return nullptr;
    return (index_++)->get();
  }
  int count() const { return inuse_; }
  void removeAll() {
    nodes_.clear();
    inuse_ = 0;
    rewind();
  }

 private:
  std::forward_list<std::unique_ptr<T>> nodes_;
  typename std::forward_list<std::unique_ptr<T>>::iterator index_ = nodes_.begin();
  int inuse_ = 0;
};

// A chained hash table of 87641 buckets keyed by K (which provides == and a
// bkhash overload).  insert puts the entry at the head of its bucket, so a
// search finds the newest entry of equal keys.
template <typename K, typename V>
class HashTable {
 public:
  HashTable() : heads_(BK_HASH_BUCKETS) {}
  // Stores (key, value); returns the stored value.
  V* insert(K key, V value) {
    unsigned h = bkhash(key) % BK_HASH_BUCKETS;
    auto e = std::make_unique<Entry>(Entry{std::move(heads_[h]), std::move(key), std::move(value)});
    heads_[h] = std::move(e);
    entries_++;
    return &heads_[h]->value;
  }
  // The value of the newest entry whose key equals key, or null.
  V* search(const K& key) const {
    for (Entry* e = heads_[bkhash(key) % BK_HASH_BUCKETS].get(); e; e = e->next.get())
      if (e->key == key) return &e->value;
    return nullptr;
  }
  int entries() const { return entries_; }
  // Calls f(key, value) for every entry, bucket by bucket.
  template <class F>
  void forEach(F f) {
    for (auto& head : heads_)
      for (Entry* e = head.get(); e; e = e->next.get()) f(e->key, e->value);
  }
  ~HashTable() {
    // Unlink iteratively so a long chain cannot exhaust the stack.
    for (auto& head : heads_)
      while (head) head = std::move(head->next);
  }
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;

 private:
  struct Entry {
    std::unique_ptr<Entry> next;
    K key;
    V value;
  };
  std::vector<std::unique_ptr<Entry>> heads_;
  int entries_ = 0;
};

// An owned (key, value) pair of strings.
class KeyValue {
 public:
  KeyValue(const char* k, const char* v) : key_(k ? k : ""), value_(v ? v : "") {}
  const char* key() const { return key_.c_str(); }
  const char* value() const { return value_.c_str(); }

 private:
  std::string key_;
  std::string value_;
};

// A file's identity: device and inode.
struct DevIno {
  dev_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const DevIno& o) const { return dev == o.dev && ino == o.ino; }
};
// Bucket of d: the low 32 bits of the inode number modulo 87641.
inline unsigned bkhash(const DevIno& d) { return static_cast<uint32_t>(d.ino) % BK_HASH_BUCKETS; }

// Where a message was saved earlier in the same backup (the content of a
// link record's Reference).  Values are host order here; the Reference
// encoder writes them big-endian.
class MsgRef {
 public:
  void setAttr(const char* name, uint32_t uid, uint32_t uidvalidity, uint32_t orig_uid, uint32_t orig_uidvalidity) {
    iname_ = name ? name : "";
    uid_ = uid;
    uidvalidity_ = uidvalidity;
    orig_uid_ = orig_uid;
    orig_uidvalidity_ = orig_uidvalidity;
  }
  const char* iname() const { return iname_.c_str(); }
  uint32_t uid() const { return uid_; }
  uint32_t uidvalidity() const { return uidvalidity_; }
  uint32_t orig_uid() const { return orig_uid_; }
  uint32_t orig_uidvalidity() const { return orig_uidvalidity_; }

 private:
  std::string iname_;
  uint32_t uid_ = 0, uidvalidity_ = 0, orig_uid_ = 0, orig_uidvalidity_ = 0;
};

// ---------------------------------------------------------------------------
// Text helpers.

// Size of a time2str buffer.
inline constexpr size_t BK_TIMESTR = 64;
// t as local time, "%a, %d %b %Y %H:%M:%S\n" (newline included), in buf
// (BK_TIMESTR bytes); returns buf.  Thread-safe.
char* time2str(long t, char* buf);

// Converts in from charset to UTF-8 into *out.  1, or 0 when the character
// set is unknown or in is not valid in it.
int bk_to_utf8(const char* charset, const std::string& in, std::string* out);
// 1 when charset names a character set the conversion knows.
int bk_charset_known(const char* charset);
