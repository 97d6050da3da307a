// Buffered output stream on a descriptor.
//
// prot_write collects bytes in a buffer and writes them with retry_write when
// it fills or on prot_flush.  After the first failed write the stream keeps
// the error and drops further output; prot_error returns its text.  One
// stream is used by one thread at a time.  The descriptor is borrowed.
#pragma once

#include <sys/types.h>

#include <memory>

struct protstream;

// A write stream on fd (write must be 1; reading streams are not offered).
protstream* prot_file(int fd, int write);
// 0, or -1 once the stream has failed.
int prot_write(protstream* s, const char* buf, size_t n);
int prot_printf(protstream* s, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes what is buffered.  0 or -1.
int prot_flush(protstream* s);
// Null while all writes succeeded, else the text of the first failure.
const char* prot_error(protstream* s);
// Bytes accepted so far (buffered or written).
long prot_numbytes(protstream* s);
// Flushes (errors are kept but not reported) and frees.  Null is ignored.
void prot_free(protstream* s);

struct ProtFree {
  void operator()(protstream* s) const { prot_free(s); }
};
using ProtPtr = std::unique_ptr<protstream, ProtFree>;
