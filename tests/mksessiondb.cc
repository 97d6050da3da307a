// Writes a web-mail session environment and database as the web-mail
// server keeps them, for the connection report's tests.
//
//   mksessiondb DIR RECORD...
//   RECORD  uid,login_time,a.b.c.d,port,conn_addr  a session
//           short                                  a value of 40 bytes
//           nonul                                  a record whose user id has no NUL
// Keys are the 8-byte session ids 1, 2, ... in big-endian order, so the
// records are read back in the order given.
#include <db.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    out.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

void put32(std::string* v, size_t off, uint32_t x) { memcpy(&(*v)[off], &x, 4); }

bool value_of(const std::string& spec, std::string* v) {
  if (spec == "short") {
    *v = std::string(40, 'x');
    return true;
  }
  if (spec == "nonul") {
    *v = std::string(88, '\0') + "joe";
    return true;
  }
  std::vector<std::string> f = split(spec);
  unsigned a[4];
  if (f.size() != 5 || sscanf(f[2].c_str(), "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]) != 4) return false;
  *v = std::string(88, '\0');
  put32(v, 0, static_cast<uint32_t>(strtoul(f[1].c_str(), nullptr, 10)));
  for (int i = 0; i < 4; i++) (*v)[12 + i] = static_cast<char>(a[i]);
  put32(v, 16, static_cast<uint32_t>(atoi(f[3].c_str())));
  memcpy(&(*v)[20], f[4].data(), std::min<size_t>(f[4].size(), 20));
  *v += f[0];
  v->push_back('\0');
  return true;
}

int fail(const char* what, int r) {
  fprintf(stderr, "mksessiondb: %s: %s\n", what, db_strerror(r));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: mksessiondb DIR RECORD...\n");
    return 2;
  }
  DB_ENV* env;
  if (int r = db_env_create(&env, 0)) return fail("db_env_create", r);
  if (int r = env->open(env, argv[1], DB_CREATE | DB_THREAD | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN,
                        0600)) {
    env->close(env, 0);
    return fail(argv[1], r);
  }
  DB* db;
  if (int r = db_create(&db, env, 0)) return fail("db_create", r);
  db->set_pagesize(db, 4096);
  db->set_flags(db, DB_REVSPLITOFF);
  if (int r = db->open(db, nullptr, "session.db", nullptr, DB_BTREE, DB_CREATE | DB_THREAD | DB_AUTO_COMMIT, 0600))
    return fail("session.db", r);
  int status = 0;
  for (int i = 2; i < argc; i++) {
    std::string v;
    if (!value_of(argv[i], &v)) {
      fprintf(stderr, "mksessiondb: bad record %s\n", argv[i]);
      status = 2;
      break;
    }
    unsigned char id[8] = {};
    uint64_t n = static_cast<uint64_t>(i - 1);
    for (int b = 0; b < 8; b++) id[7 - b] = static_cast<unsigned char>(n >> (8 * b));
    DBT key{}, data{};
    key.data = id;
    key.size = 8;
    data.data = v.data();
    data.size = static_cast<uint32_t>(v.size());
    if (int r = db->put(db, nullptr, &key, &data, DB_AUTO_COMMIT)) {
      status = fail("put", r);
      break;
    }
  }
  db->close(db, 0);
  env->close(env, 0);
  return status;
}
