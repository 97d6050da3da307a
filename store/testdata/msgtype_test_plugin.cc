// A message-type plug-in for the tests.  Arguments: "bad" names an illegal
// flag, "fail" makes initialisation fail; anything else is kept as the
// context.  It flags messages containing "X-Test-Spam: yes" with bit 24 and
// every message with bit 26, and sets low bits the store must ignore.
// Built without the examine function when MSGTYPE_TEST_NO_EXAMINE is set.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

struct body;

namespace {
std::string g_args;
int g_shutdowns = 0;
}  // namespace

extern "C" {

int bvplugin_init(const char* args, void** context) {
  g_args = args;
  *context = &g_args;
  return g_args == "fail" ? 1 : 0;
}

void bvplugin_shutdown(void* context) {
  if (context == &g_args) ++g_shutdowns;
}

void bvplugin_msgtype_getFlagNames(void* context, int count, const char** names) {
  if (context != &g_args || count != 8) return;
  names[0] = g_args == "bad" ? "bad name" : "$Spam";
  names[2] = "$Test";
}

#ifndef MSGTYPE_TEST_NO_EXAMINE
uint32_t bvplugin_msgtype_examineMessage(void* context, const char* base, size_t len, const body* root) {
  if (context != &g_args || !root) return 0;
  uint32_t flags = 0x04000000u | 0x00FF00FFu;
  if (std::string_view(base, len).find("X-Test-Spam: yes") != std::string_view::npos) flags |= 0x01000000u;
  return flags;
}
#endif
}
