// Fuzz entry points of the line reader and the command parser.  Each feeds
// the input through the code and aborts when a property fails; pop_test
// runs them over fixed inputs, the libFuzzer targets over generated ones.
#pragma once

#include <cstddef>
#include <cstdint>

// The input is split into reads of sizes taken from its first bytes and
// fed to a LineReader; the events must equal those of a reference split of
// the whole input.
void fuzz_linereader(const uint8_t* data, size_t size);
// The input is one command line: parsed, looked up in both states and
// checked against its argument rule.
void fuzz_command(const uint8_t* data, size_t size);
