// Allocators that never return null.  On exhaustion they log and abort:
// store code is written on the promise that allocations succeed.
#pragma once

#include <cstddef>

void* xmalloc(size_t n);
void* xcalloc(size_t count, size_t n);
void* xrealloc(void* p, size_t n);
char* xstrdup(const char* s);
char* xstrndup(const char* s, size_t n);
