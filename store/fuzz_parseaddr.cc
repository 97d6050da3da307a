// libFuzzer target for the address-list parser: any text parses into a
// list whose strings are readable, and the search form can be written.
// Built only with clang (see store/CMakeLists.txt).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/parseaddr.h"
#include "store/message_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser takes a C string, as header values reach it.
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(strlen(text.c_str()));
  address* list = nullptr;
  parseaddr_list(text.c_str(), &list);
  AddressList owner(list);
  size_t total = 0;
  for (const address* a = list; a; a = a->next) {
    for (const char* s : {a->name, a->route, a->mailbox, a->domain})
      if (s) total += strlen(s);
  }
  std::string search = message_search_addresses(list);
  (void)total;
  return 0;
}
