// The backup driver.
#include "backup/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/bkcontext.h"
#include "backup/bkmailbox.h"
#include "backup/bkobj.h"
#include "backup/bktape.h"
#include "backup/bkutils.h"
#include "common/assert.h"
#include "common/config.h"

time_t Startdate = 0;
int Verbose = 0;
int useHash = 1;

namespace {

constexpr const char* USAGE =
    "USAGE: %s: -f device [-b blockfactor] [-d date] [-m link_count] [-e encoding] [-u file] [-ivlgx] "
    "[name ...]\n";
constexpr size_t NAME_MAX_BYTES = 1024;
// Autoloader: probes of the device name and the pause between them.
constexpr int AUTOLOAD_TRIES = 12;
constexpr unsigned AUTOLOAD_PAUSE_SECONDS = 12;

// Digits only, at most max.  1 when s is such a number.
int parse_count(const char* s, unsigned long max, unsigned long* out) {
  if (!*s) return 0;
  unsigned long v = 0;
  for (const char* p = s; *p; p++) {
    if (*p < '0' || *p > '9') return 0;
    v = v * 10 + static_cast<unsigned long>(*p - '0');
    if (v > max) return 0;
  }
  *out = v;
  return 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Header

void header_encode(const Header& h, char out[HEADER_SIZE]) {
  opstream o(out);
  o.writeBytes(h.magicNum, 4);
  o.writeBytes(&h.version, 1);
  o.writePRInt32(static_cast<uint32_t>(h.date));
  o.writePRInt32(static_cast<uint32_t>(h.startdate));
  o.writeBytes(h.storeid, sizeof h.storeid);
  o.writePRInt32(h.blocksize);
  o.writePRInt32(h.deaddata);
}

int header_decode(const char* buf, size_t len, Header* h) {
  if (len < HEADER_SIZE || std::memcmp(buf, HEADER_MAGIC, 4) != 0) return 0;
  ipstream in(buf);
  in.readBytes(h->magicNum, 4);
  in.readBytes(&h->version, 1);
  uint32_t v;
  in.readPRInt32(&v);
  h->date = v;
  in.readPRInt32(&v);
  h->startdate = v;
  in.readBytes(h->storeid, sizeof h->storeid);
  h->storeid[sizeof h->storeid - 1] = '\0';
  in.readPRInt32(&h->blocksize);
  in.readPRInt32(&h->deaddata);
  return 1;
}

void Header::print(FILE* f) const {
  char tbuf[BK_TIMESTR];
  std::fprintf(f, "--------------------------------------------\n");
  std::fprintf(f, " Tape Version  : %d\n", version);
  if (version >= 2) {
    std::fprintf(f, " Backup Date   : %s", time2str(static_cast<long>(date), tbuf));
    if (startdate != 0) std::fprintf(f, " Incremental   : %s", time2str(static_cast<long>(startdate), tbuf));
    std::fprintf(f, " Message Store : %.127s\n", storeid);
    std::fprintf(f, " Block factor  : %d\n", static_cast<int>(blocksize / BK_BLOCK_UNIT));
  }
  std::fprintf(f, "--------------------------------------------\n");
}

// ---------------------------------------------------------------------------
// Traversal

int backup_start(BKDEV* dev) {
  Header h;
  std::memcpy(h.magicNum, HEADER_MAGIC, 4);
  h.version = HEADER_VERSION;
  h.date = time(nullptr);
  h.startdate = Startdate;
  const char* sid = config_get_string(config_getdefaultcache(), "local.servername", "");
  std::strncpy(h.storeid, sid, sizeof h.storeid - 1);
  h.blocksize = static_cast<uint32_t>(dev->blksize());
  h.deaddata = 0;
  char buf[HEADER_SIZE];
  header_encode(h, buf);
  if (!dev->write(buf, HEADER_SIZE)) {
    std::fprintf(stderr, "Cannot write header\n");
    return 0;
  }
  if (dev->error()) return 0;
  if (Verbose) h.print(stderr);
  return 1;
}

int backup_object(BkSession* bks, BKDEV* dev, BkObj* obj) {
  const BkAttr* att = obj->getAttr();
  if (!att) return 0;
  if (att->timestamp >= Startdate) {
    if (Verbose) att->printId(stderr, 1);
    const Vdata* data = obj->backupData();
    // A record too large for its length fields is not written at all (the
    // writer logs it); a device failure shows in the device's error flag.
    bool fits = att->objectId.size() <= 0xFFFF && att->info.length() <= 0xFFFF;
    (void)bkobj_write_record(*dev, *att, data);
    if (!fits) return 0;
    if (!data) return 0;  // the record is complete, but the object failed
  } else if (att->objectType == static_cast<uint16_t>(BkType::mailbox)) {
    return 1;  // an unchanged folder is skipped with all its messages
  }
  // Only a store folder can become the session's current mailbox.
  if (auto* mb = dynamic_cast<Mailbox*>(obj)) bks->setMailbox(mb, 0);
  for (std::unique_ptr<BkObj> child = obj->getFirstChild(); child; child = obj->getNextChild()) {
    if (!backup_object(bks, dev, child.get())) std::fprintf(stderr, "unable to backup: %s\n", child->getObjectId());
    child.reset();
    if (bks->interrupted()) break;
    if (dev->error()) return 0;
  }
  return 1;
}

int backup_path(BkSession* bks, BKDEV* dev, const char* name) {
  // createBkObj trims trailing slashes in place: it gets its own copy.
  std::string n = name;
  BkObj* obj = bks->createBkObj(n.data(), 0);
  if (!obj) {
    bks->errorcode = 65;
    std::fprintf(stderr, "Invalid path %s\n", name);
  } else if (!obj->exists()) {
    bks->errorcode = 79;
    std::fprintf(stderr, "%s does not exist\n", name);
  } else if (!backup_object(bks, dev, obj) && bks->errorcode == 0) {
    bks->errorcode = 70;
  }
  if (obj) bks->deleteBkObj(obj);
  return bks->errorcode == 0 ? 1 : 0;
}

int backup_end(BKDEV* dev) {
  static const char zeros[BK_END_MARKER] = {};
  (void)dev->write(zeros, sizeof zeros);
  return dev->error() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Medium change

int prompttape(prompttape_type type, void* callerdata) {
  ORV_ASSERT(type == blanktape);
  auto* data = static_cast<backup_data*>(callerdata);
  FILE* in = data->answers ? data->answers : stdin;
  int do_auto = data->autochange_tape;
  if (do_auto) {
    std::fprintf(stderr, "Attempting to load next tape\n");
    if (rewind_off_line(data->fd) != 0) {
      std::perror("Couldn't take the tape off-line");
      do_auto = 0;
    }
  }
  if (data->fd >= 0 && close(data->fd) != 0) std::perror("Error closing file");
  data->fd = -1;
  if (do_auto) {
    int i = 0;
    for (; i < AUTOLOAD_TRIES; i++) {
      int probe = open(data->devname.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
      if (probe >= 0) {
        close(probe);
        break;
      }
      sleep(AUTOLOAD_PAUSE_SECONDS);
    }
    if (i == AUTOLOAD_TRIES) {
      std::fprintf(stderr, "Autoloading of next tape timed-out. Resuming manual mode.\n");
      do_auto = 0;
    }
  }
  if (!do_auto) std::fprintf(stderr, "Device full. Please insert a new blank tape.\n");
  for (;;) {
    std::string name;
    if (do_auto) {
      name = data->devname.substr(0, NAME_MAX_BYTES - 1);
    } else {
      std::fprintf(stderr, "Enter new device name ($ to cancel)> ");
      std::fflush(stderr);
      char line[NAME_MAX_BYTES];
      if (!std::fgets(line, sizeof line, in)) return -1;
      size_t n = std::strlen(line);
      if (n && line[n - 1] == '\n') line[--n] = '\0';
      if (std::strcmp(line, "$") == 0) return -1;
      name = line;
    }
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      data->fd = fd;
      return fd;
    }
    std::perror("Couldn't open file");
    do_auto = 0;
  }
}

// ---------------------------------------------------------------------------
// Options

int satoi(const char* s, int start, int n) {
  int v = 0;
  for (int i = 0; i < n; i++) {
    char c = s[start + i];
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

long atot(const char* s) {
  size_t len = std::strlen(s);
  if (len != 8 && len != 15) return 0;
  if (len == 15 && s[8] != ':') return 0;
  struct tm tm {};
  int year = satoi(s, 0, 4), mon = satoi(s, 4, 2), day = satoi(s, 6, 2);
  if (year < 2000 || mon < 1 || mon > 12 || day < 1 || day > 31) return 0;
  if (len == 15) {
    tm.tm_hour = satoi(s, 9, 2);
    tm.tm_min = satoi(s, 11, 2);
    tm.tm_sec = satoi(s, 13, 2);
    if (tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59) return 0;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  return t == static_cast<time_t>(-1) ? 0 : static_cast<long>(t);
}

int backup_parse_options(int argc, char** argv, backup_options* o) {
  int errflg = 0;
  bool have_f = false;
  unsigned long v;
  optind = 0;  // full re-initialisation: the parser may run more than once
  int c;
  while ((c = getopt(argc, argv, "b:d:f:lviu:gm:e:n:?")) != -1) {
    switch (c) {
      case 'b':
        // A negative or huge factor would make a nonsense block size.
        if (!parse_count(optarg, BK_MAX_FACTOR, &v))
          errflg++;
        else
          o->blkfactor = v ? static_cast<unsigned>(v) : BK_DEFAULT_FACTOR;
        break;
      case 'd':
        o->startdate = atot(optarg);
        if (o->startdate == 0) errflg++;
        break;
      case 'e':
        if (o->encoding || !bk_charset_known(optarg))
          errflg++;
        else
          o->encoding = optarg;
        break;
      case 'f':
        if (have_f) errflg++;
        have_f = true;
        o->devname = optarg;
        break;
      case 'g':
        o->debug = 1;
        break;
      case 'i':
        o->usehash = 0;
        break;
      case 'l':
        o->autochange = 1;
        break;
      case 'm':
        if (!parse_count(optarg, UINT32_MAX, &v))
          errflg++;
        else
          o->minlink = static_cast<uint32_t>(v);
        break;
      case 'n':
        o->nsrpath = optarg;
        o->usehash = 0;
        break;
      case 'u':
        if (o->userfile) errflg++;
        o->userfile = optarg;
        break;
      case 'v':
        o->verbose = 1;
        break;
      default:
        errflg++;
        break;
    }
  }
  if (!have_f) errflg++;
  if (errflg) {
    std::fprintf(stderr, USAGE, argv[0]);
    return 64;
  }
  for (int i = optind; i < argc; i++) o->names.emplace_back(argv[i]);
  if (o->names.empty() && !o->userfile) {
    std::fprintf(stderr, "Warning: Backup path is not provided. To perform a full backup, use / as the backup path.\n");
    return 66;
  }
  return 0;
}

int backup_map_path(const char* nsrpath, const char* name, std::string* out) {
  std::string p = nsrpath;
  std::string tail;
  std::string d = config_get_string(config_getdefaultcache(), "local.store.backupdir", "");
  while (!d.empty() && d.back() == '/') d.pop_back();
  if (!d.empty() && p.size() > d.size() && p.compare(0, d.size(), d) == 0) {
    tail = p.substr(d.size());
  } else {
    // The last three components with their leading slash; a single
    // trailing slash is not counted (but kept).
    size_t end = p.size();
    if (end && p[end - 1] == '/') end--;
    int slashes = 0;
    size_t i = end;
    while (i > 0 && slashes < 3) {
      i--;
      if (p[i] == '/') slashes++;
    }
    if (slashes < 3) {
      std::fprintf(stderr, "Invalid backup path: %s\n", nsrpath);
      return 64;
    }
    tail = p.substr(i);
  }
  std::string r = tail + name;
  int count = 0;
  for (char ch : r) count += ch == '/';
  if (count == 4) {
    size_t last = r.rfind('/');
    for (size_t k = last + 1; k < r.size(); k++)
      if (r[k] == '%') r[k] = '/';
  }
  *out = std::move(r);
  return 0;
}

// ---------------------------------------------------------------------------
// The run

namespace {

// The outcome of the traversal part of a run, with the device alive.
void save_all(BkContext& ctx, BKDEV& dev, const backup_options& o, const UserList& names) {
  bool ok = backup_start(&dev) != 0;
  if (ok) {
    BkSession* bks = ctx.getSession(BkMode::Backup, useHash, o.minlink);
    for (int i = 0; ok && i < names.count(); i++) ok = backup_path(bks, &dev, names[i]) != 0;
  }
  if (ok) (void)backup_end(&dev);
  // The exit status must cover every block reaching the medium, so the
  // device is finished (last block, writer drained, file mark) before the
  // status is taken.
  (void)dev.finish();
  if (dev.error()) {
    ctx.errorcode = 74;
    std::fprintf(stderr, "Device error\n");
  }
}

}  // namespace

namespace {

// Opens the -f target for writing.  created tells whether this call made the
// file (only such a file may be removed when the backup fails); an existing
// file is truncated, a device is used as it is.  The descriptor, or -1.
int open_target(const char* path, bool* created) {
  *created = false;
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    *created = true;
    return fd;
  }
  if (errno != EEXIST) return -1;
  fd = open(path, O_RDWR | O_TRUNC | O_CLOEXEC);
  // A dangling symbolic link (or a file removed meanwhile) is created as
  // before, but never counted as ours.
  if (fd < 0 && errno == ENOENT) fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  return fd;
}

// After a failed backup: removes the file this run created, provided the
// name still leads to it; anything else is left in place and said to be
// incomplete, so no one mistakes it for a usable volume.
void drop_failed_target(const char* path, bool created, const struct stat& made) {
  struct stat now;
  bool same = lstat(path, &now) == 0 && S_ISREG(now.st_mode) && now.st_dev == made.st_dev && now.st_ino == made.st_ino;
  if (created && same) {
    if (unlink(path) == 0) {
      std::fprintf(stderr, "Removed the incomplete backup file %s\n", path);
      return;
    }
    std::fprintf(stderr, "The backup in %s is incomplete (it cannot be removed: %s)\n", path, std::strerror(errno));
    return;
  }
  std::fprintf(stderr, "The backup in %s is incomplete\n", path);
}

int run_to_target(const backup_options& o, const char* progname, backup_data& data, bool to_stdout);

}  // namespace

int backup_run(const backup_options& o, const char* progname) {
  Startdate = o.startdate;
  Verbose = o.verbose;
  useHash = o.usehash;

  backup_data data;
  data.start = time(nullptr);
  data.devname = o.devname;
  data.answers = o.answers;
  bool to_stdout = o.devname == "-";
  bool created = false;
  struct stat made {};
  if (to_stdout) {
    data.fd = 1;
  } else {
    data.fd = open_target(o.devname.c_str(), &created);
    if (data.fd < 0) {
      std::perror("Cannot create backup file");
      return 73;
    }
    if (fstat(data.fd, &made) != 0) created = false;
  }
  int rc = run_to_target(o, progname, data, to_stdout);
  if (rc != 0 && !to_stdout) drop_failed_target(o.devname.c_str(), created, made);
  return rc;
}

namespace {

// The run proper, from the open target to the exit status; the target's
// descriptor is closed on every way out.
int run_to_target(const backup_options& o, const char* progname, backup_data& data, bool to_stdout) {
  // Closes the current volume on every way out; the normal end closes it
  // itself to see the result.
  struct VolumeCloser {
    backup_data* d;
    ~VolumeCloser() {
      if (d->fd > 1) close(d->fd);
      d->fd = -1;
    }
  } closer{&data};

  BkContext ctx(progname, o.debug);
  if (!ctx.isvalid()) return 69;
  // Only a plain file is given the store's owner and mode: a device node is
  // the system's, not the backup's.
  struct stat st;
  if (!to_stdout && fstat(data.fd, &st) == 0 && S_ISREG(st.st_mode)) (void)ctx.setFileOwner(o.devname.c_str());
  data.autochange_tape = o.autochange;
  if (data.autochange_tape && !is_tape(data.fd)) {
    std::fprintf(stderr, "device is not a tape, autochange tapes flag ignored");
    data.autochange_tape = 0;
  }

  UserList names;
  if (o.userfile && !names.load(o.userfile, o.encoding, 1)) return 66;
  for (const std::string& arg : o.names) {
    std::string name = arg;
    if (o.nsrpath) {
      int rc = backup_map_path(o.nsrpath, arg.c_str(), &name);
      if (rc) return rc;
    }
    // A name that cannot be taken as given must not be silently dropped.
    if (!name.empty() && !names.adduser(name.c_str(), o.encoding)) {
      std::fprintf(stderr, "Invalid path %s\n", name.c_str());
      ctx.errorcode = 65;
    }
  }

  if (ctx.errorcode == 0) {
    auto dev = std::make_unique<BKDEV>(data.fd, O_RDWR, o.blkfactor, prompttape, &data, o.writer);
    if (dev->error()) {
      ctx.errorcode = 74;
      std::fprintf(stderr, "Cannot creat BKDEV\n");
    } else {
      save_all(ctx, *dev, o, names);
    }
    dev.reset();
  }

  // A backup file whose last blocks the kernel could not store reports it
  // here at the latest.
  if (data.fd > 1) {
    int fd = data.fd;
    data.fd = -1;
    if (close(fd) != 0) {
      std::perror("Error closing file");
      if (ctx.errorcode == 0) ctx.errorcode = 74;
    }
  }
  int rc = ctx.exitCode();
  if (rc != 0) std::fprintf(stderr, "Error occured, see default logfile\n");
  return rc;
}

}  // namespace
