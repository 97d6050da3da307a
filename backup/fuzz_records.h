// The fuzz entry point of the backup record reader, also driven by a
// bounded randomized test in backup_test.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
