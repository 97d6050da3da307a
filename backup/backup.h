// The backup driver: command line, volume header, traversal and end marker.
//
// orvbackup parses its options, opens the target (a tape, a file, or "-"
// for standard output), starts the context, writes the volume header, saves
// each named object with its descendants (one record per object, through
// the stream device) and the end marker, and maps the outcome to an exit
// status.  All operator text goes to standard error: the backup stream is
// the only thing ever written to the target.
//
// Volume header, the first 149 bytes of the logical stream (integers
// big-endian):
//
//   offset  size  field
//   0       4     magicNum   "M_bk", no terminator
//   4       1     version    2
//   5       4     date       time of the backup (seconds since the epoch)
//   9       4     startdate  incremental cut-off, 0 for a full backup
//   13      128   storeid    "local.servername", NUL-padded (127 kept)
//   141     4     blocksize  physical block size (block factor * 512)
//   145     4     deaddata   0
//
// The stream is the header, the object records (backup/bkobj.h), then the
// end marker of 152 zero bytes; the rest of the last block is filler.
//
// Exit statuses: 0; 64 usage; 65 invalid name; 66 no names or unreadable
// name file; 69 context start-up; 70 a named object could not be saved; 73
// target cannot be created; 74 device failure; 75 temporary; 79 a named
// object does not exist.
//
// The driver runs on the main thread; the device's writer thread calls
// prompttape.  Functions return 1 for success and 0 for failure; the exit
// status collects in the context and the session.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "backup/bkdev.h"

class BkObj;
class BkSession;

// Program-wide settings, set once from the options and read by the objects.
extern time_t Startdate;  // incremental cut-off; 0 for a full backup
extern int Verbose;       // print the header and every saved object's id
extern int useHash;       // single-copy link detection

// Caller data of the medium-change callback.
struct backup_data {
  time_t start = 0;
  int fd = -1;              // descriptor of the current volume
  int autochange_tape = 0;  // -l on a tape
  std::string devname;      // the -f argument
  FILE* answers = nullptr;  // where the operator's answers are read (stdin)
};

struct Header {
  char magicNum[4] = {0, 0, 0, 0};
  char version = 0;
  time_t date = 0;
  time_t startdate = 0;
  char storeid[128] = {};
  uint32_t blocksize = 0;
  uint32_t deaddata = 0;

  // The header listing (the fields after version only from version 2 on).
  void print(FILE* f) const;
};
inline constexpr size_t HEADER_SIZE = 149;
static_assert(4 + 1 + 4 + 4 + 128 + 4 + 4 == HEADER_SIZE);
inline constexpr char HEADER_MAGIC[4] = {'M', '_', 'b', 'k'};
inline constexpr char HEADER_VERSION = 2;

void header_encode(const Header& h, char out[HEADER_SIZE]);
// 0 unless buf starts with the magic.
int header_decode(const char* buf, size_t len, Header* h);

// Writes (and under Verbose prints) the volume header; 1 on success.
int backup_start(BKDEV* dev);
// Saves one named object with its descendants; 1 when the session's error
// code is still 0.
int backup_path(BkSession* bks, BKDEV* dev, const char* name);
// Writes one object's record (subject to the cut-off) and visits its
// children; 1 on success.
int backup_object(BkSession* bks, BKDEV* dev, BkObj* obj);
// Writes the end marker; 1 unless the device has failed.
int backup_end(BKDEV* dev);
// The medium-change callback for writing: the descriptor of the next
// volume, or -1 when the operator cancels.
int prompttape(prompttape_type type, void* callerdata);

// The -d date: YYYYMMDD or YYYYMMDD:HHMMSS, local time; 0 when invalid.
long atot(const char* s);
// The value of the n decimal digits at s[start]; 0 if one is not a digit.
int satoi(const char* s, int start, int n);

struct backup_options {
  unsigned blkfactor = BK_DEFAULT_FACTOR;
  std::string devname;
  const char* userfile = nullptr;
  const char* encoding = nullptr;
  const char* nsrpath = nullptr;
  uint32_t minlink = 1;
  int debug = 0;
  int autochange = 0;
  int verbose = 0;
  int usehash = 1;
  time_t startdate = 0;
  std::vector<std::string> names;
  FILE* answers = nullptr;  // operator answers; null means standard input
  // Who writes the blocks: by default a writer thread only on a tape (see
  // backup/bkdev.h).  Not an option of the command line.
  BkWriter writer = BkWriter::automatic;
};

// Parses argv into *o.  0 when the backup can run; otherwise the exit status
// after printing the reason (64 usage, 66 nothing to save).
int backup_parse_options(int argc, char** argv, backup_options* o);
// The object name for name under the -n path nsrpath into *out.  0, or 64
// after printing "Invalid backup path".
int backup_map_path(const char* nsrpath, const char* name, std::string* out);
// Runs a whole backup; returns the exit status.  When it fails, a target
// file this run created is removed (a volume without its end is of no use
// and looks like a backup); an existing file or a device is left alone and
// said to be incomplete on standard error.
int backup_run(const backup_options& o, const char* progname);
