// The fuzz entry points over fixed inputs and bounded random ones (seed
// printed; POP_FUZZ_SEED replays one).
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "pop/fuzz_pop.h"

namespace {

void run(void (*fn)(const uint8_t*, size_t), const std::string& s) {
  fn(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(PopFuzz, FixedInputs) {
  const std::string inputs[] = {
      "",
      std::string("\x03\x01\x02\x05", 4) + "CAPA\r\nNOOP\r\n",
      std::string("\x00\xff", 2) + std::string(600, 'a') + "\r\nQUIT\r\n",
      std::string("\x01\x00", 2) + std::string(2000, 'b'),
      std::string("\x02\x10\x01", 3) + "US\0ER\r\n\r\n\n" + std::string(511, 'c') + "\n" + std::string(512, 'd'),
  };
  for (const auto& in : inputs) {
    run(fuzz_linereader, in);
    run(fuzz_command, in);
  }
  for (const char* line : {"PASS  x ", "quit", "USER\t", "STLS now", "gurl", "\t\t", "APOP a b"})
    run(fuzz_command, line);
}

TEST(PopFuzz, RandomInputs) {
  const char* env = getenv("POP_FUZZ_SEED");
  unsigned seed = env ? static_cast<unsigned>(strtoul(env, nullptr, 10)) : std::random_device()();
  SCOPED_TRACE("POP_FUZZ_SEED=" + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::string alphabet = "aQ \t\r\n\0.:";
  for (int i = 0; i < 300; ++i) {
    std::string s;
    size_t len = rng() % 3000;
    for (size_t j = 0; j < len; ++j)
      s.push_back(j < 9 ? static_cast<char>(rng()) : alphabet[rng() % (alphabet.size() + 1) % alphabet.size()]);
    run(fuzz_linereader, s);
    run(fuzz_command, s);
  }
}

}  // namespace
