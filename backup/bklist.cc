// Listing a backup stream.
#include "backup/bklist.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "backup/backup.h"
#include "backup/bkcontext.h"
#include "backup/bkobj.h"
#include "backup/bkutils.h"

const char* bklist_type_name(unsigned type) {
  static const char* const names[] = {"store", "partition", "group", "user", "mailbox", "message", "link"};
  return type < BK_NTYPES ? names[type] : "?";
}

unsigned bklist_probe_factor(int fd) {
  char buf[BK_BLOCK_PREFIX + HEADER_SIZE];
  if (pread(fd, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) return 0;
  Header h;
  if (readPRInt32(buf) != BK_CHECKSUM || !header_decode(buf + BK_BLOCK_PREFIX, HEADER_SIZE, &h)) return 0;
  if (h.blocksize == 0 || h.blocksize % BK_BLOCK_UNIT != 0 || h.blocksize / BK_BLOCK_UNIT > BK_MAX_FACTOR) return 0;
  return h.blocksize / BK_BLOCK_UNIT;
}

namespace {

void print_attrs(BkSession* bks, const BkRecord& rec, uint32_t dlen, FILE* out) {
  std::string name = rec.id;
  BkObj* obj = bks->createBkObj(name.data(), rec.type);
  if (!obj) {
    std::fprintf(out, "  (attributes cannot be shown: not a valid object name)\n");
    return;
  }
  BkAttr a;
  a.objectId = rec.id;
  a.objectType = rec.type;
  a.timestamp = static_cast<time_t>(rec.timestamp);
  a.info.set(static_cast<uint32_t>(rec.info.size()), rec.info.data(), 0);
  a.datasize = dlen;
  (void)obj->setAttr(a);
  obj->printAttr(out);
  bks->deleteBkObj(obj);
}

}  // namespace

int bklist_stream(BkInput& dev, BkSession* bks, int verbose, FILE* out, FILE* err) {
  char hb[HEADER_SIZE];
  Header h;
  if (!dev.read(hb, sizeof hb) || !header_decode(hb, sizeof hb, &h)) {
    std::fprintf(err, "Not a backup volume: no volume header\n");
    return 65;
  }
  h.print(out);
  BkRecord rec;
  std::string e;
  for (;;) {
    uint32_t dlen = 0;
    int r = bkobj_read_head(dev, &rec, &dlen, &e);
    if (r == 0) return 0;
    if (r < 0) {
      std::fprintf(err, "%s\n", e.c_str());
      return 65;
    }
    char when[32] = "-";
    if (rec.timestamp) {
      time_t t = static_cast<time_t>(rec.timestamp);
      struct tm tm;
      localtime_r(&t, &tm);
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    }
    std::fprintf(out, "%s\t%s\t%s\t%u\n", rec.id.c_str(), bklist_type_name(rec.type), when, dlen);
    if (verbose && bks) print_attrs(bks, rec, dlen, out);
    if (!bkobj_skip_data(dev, dlen)) {
      std::fprintf(err, "backup stream ends inside the data of %s\n", rec.id.c_str());
      return 65;
    }
  }
}
