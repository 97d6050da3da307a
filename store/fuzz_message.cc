// libFuzzer target for the MIME parser: any bytes parse into a tree that
// tiles the message, and the envelope, body structure, section table and
// search forms can be written for it.  Built only with clang (see
// store/CMakeLists.txt); seeded with the corpus in tests/data/mime.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "store/message_internal.h"

namespace {

// The parts of a message tile it: each part's header, content and
// delimiter are within the message.  Returns false on a broken tree.
bool tiles(const body& b, size_t len) {
  if (b.header_offset + b.header_size > len) return false;
  if (b.content_offset != b.header_offset + b.header_size) return false;
  if (b.content_offset + b.content_size + b.boundary_size > len) return false;
  for (const body& p : b.subpart)
    if (!tiles(p, len)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* base = reinterpret_cast<const char*>(data);
  body root;
  message_parse_tree(base, size, &root);
  if (!tiles(root, size)) abort();
  std::string out = message_envelope(root);
  out += message_bodystructure(root, true);
  out += message_bodystructure(root, false);
  out += message_section(root);
  out += message_subject(root);
  out += message_search_addresses(root.from.get());
  out += message_search_addresses(root.to.get());
  if (out.empty()) abort();
  return 0;
}
