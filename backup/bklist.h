// Listing a backup stream, for administrators (orvrestore -t): one line
// per record, like a tape archive's table of contents.
//
// Line format (tab-separated): object id, type name, timestamp as local
// "YYYY-MM-DD HH:MM:SS" (or "-" for 0), data length in bytes.  With
// verbose, each line is followed by the object's attributes as its class
// prints them (printAttr).  The volume header is printed first (the
// header listing of backup/backup.h).  Message data is skipped through a
// small buffer, so listing needs no memory proportional to a message.
//
// The caller owns the descriptor.  Functions return an exit status: 0;
// 65 for a damaged stream or one cut short (message on err); 74 when the
// device cannot be read.  The store is not opened.
#pragma once

#include <cstdio>

#include "backup/bkdev.h"

class BkSession;

// The block factor of the stream on fd: read from the volume header when
// fd can be read at an offset (the first block is not consumed), else 0.
unsigned bklist_probe_factor(int fd);
// Lists the stream read through dev.  bks (mode Other) rebuilds each object
// for the verbose attribute listing; it may be null when verbose is 0.
int bklist_stream(BkInput& dev, BkSession* bks, int verbose, FILE* out, FILE* err);
// Type name of a record type ("store" ... "link"), "?" for others.
const char* bklist_type_name(unsigned type);
