#include "pop/userlist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <prshm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "common/config.h"
#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

constexpr size_t kSlots = 3;
constexpr size_t kSize = kSlots * 532 + 4;

uint32_t u32(const unsigned char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
std::string text(const unsigned char* p) { return reinterpret_cast<const char*>(p); }

// A connected loopback pair: the server's end and the client's port.
struct Conn {
  UniqueFd server;
  UniqueFd client;
  unsigned client_port = 0, server_port = 0;
};
Conn connect_loopback() {
  Conn c;
  UniqueFd lst(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(lst.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(lst.get(), 4) != 0 ||
      getsockname(lst.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return c;
  c.server_port = ntohs(a.sin_port);
  c.client = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (connect(c.client.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return c;
  sockaddr_in mine{};
  len = sizeof mine;
  getsockname(c.client.get(), reinterpret_cast<sockaddr*>(&mine), &len);
  c.client_port = ntohs(mine.sin_port);
  c.server = UniqueFd(accept4(lst.get(), nullptr, nullptr, SOCK_CLOEXEC));
  return c;
}

// The layout read at its documented offsets: slots, valid flags, counters.
TEST(UserList, LoginsFillSlotsAndEndsClearThem) {
  TempDir dir;
  // A segment left by a process that is gone: the first login sweeps it.
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  std::string stale = dir / ("pop." + std::to_string(dead));
  PRSharedMemory* old = PR_OpenSharedMemory(stale.c_str(), 64, PR_SHM_CREATE, 0600);
  ASSERT_NE(old, nullptr);
  PR_CloseSharedMemory(old);

  ASSERT_EQ(configmsg_init_text("local.pop.enableuserlist = on\nlocal.tmpdir = " + dir.path() +
                                    "\nservice.pop.maxsessions = " + std::to_string(kSlots) + "\n",
                                "test", "t"),
            0);
  Conn c1 = connect_loopback(), c2 = connect_loopback();
  ASSERT_TRUE(c1.server.valid() && c2.server.valid());
  userlist_login(11, "joe", "plaintext", c1.server.get());
  EXPECT_FALSE(std::filesystem::exists(stale)) << "the dead process's segment stays";
  if (std::filesystem::exists(stale)) PR_DeleteSharedMemory(stale.c_str());

  std::string name = dir / ("pop." + std::to_string(getpid()));
  PRSharedMemory* shm = PR_OpenSharedMemory(name.c_str(), kSize, 0, 0600);
  ASSERT_NE(shm, nullptr) << "no segment " << name;
  auto* seg = static_cast<unsigned char*>(PR_AttachSharedMemory(shm, PR_SHM_READONLY));
  ASSERT_NE(seg, nullptr);
  const unsigned char* s0 = seg + 4;
  const unsigned char* s1 = seg + 4 + 532;

  EXPECT_EQ(u32(seg), 1u);
  EXPECT_EQ(text(s0), "joe");
  EXPECT_EQ(text(s0 + 496), "plaintext");
  EXPECT_EQ(text(s0 + 388), "127.0.0.1");
  EXPECT_EQ(text(s0 + 438), "127.0.0.1");
  EXPECT_EQ(u32(s0 + 488), c1.client_port);
  EXPECT_EQ(u32(s0 + 492), c1.server_port);
  EXPECT_EQ(s0[516], 1);
  uint32_t counter = u32(s0 + 520);
  EXPECT_EQ(counter % 2, 0u) << "a finished write leaves the counter even";
  EXPECT_GT(u32(s0 + 384), 1700000000u);

  userlist_login(12, std::string(200, 'a'), "apop", c2.server.get());
  EXPECT_EQ(u32(seg), 2u);
  EXPECT_EQ(text(s1), std::string(127, 'a')) << "the user id is cut to stay NUL-terminated";
  EXPECT_EQ(s1[516], 1);

  userlist_logout(11);
  EXPECT_EQ(s0[516], 0);
  EXPECT_NE(u32(s0 + 520), counter) << "a reader copying across the logout must see it";
  EXPECT_EQ(u32(seg), 2u) << "slot 1 is still in use";
  userlist_logout(11);  // twice: nothing more happens
  userlist_login(13, "ann", "plaintext", c1.server.get());
  EXPECT_EQ(text(s0), "ann") << "the free slot is reused";
  userlist_login(14, "lea", "plaintext", c1.server.get());
  userlist_login(15, "bob", "plaintext", c1.server.get());  // no slot left
  EXPECT_EQ(u32(seg), 3u);
  EXPECT_EQ(text(seg + 4 + 2 * 532), "lea");
  userlist_logout(15);
  userlist_logout(12);
  userlist_logout(14);
  EXPECT_EQ(u32(seg), 1u) << "the mark comes down to the highest slot in use";
  userlist_logout(13);
  EXPECT_EQ(u32(seg), 0u);

  PR_DetachSharedMemory(shm, seg);
  PR_CloseSharedMemory(shm);
  PR_DeleteSharedMemory(name.c_str());
  configmsg_free();
}

TEST(UserList, NothingIsPublishedWhenTheSwitchIsOff) {
  TempDir dir;
  ASSERT_EQ(configmsg_init_text("local.tmpdir = " + dir.path() + "\n", "test", "t"), 0);
  Conn c = connect_loopback();
  userlist_login(1, "joe", "plaintext", c.server.get());
  userlist_logout(1);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  configmsg_free();
}

}  // namespace
