#include "common/map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

TEST(Map, RefreshFollowsAGrowingFile) {
  TempDir dir;
  std::string path = dir / "index";
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_EQ(write(fd.get(), "hello", 5), 5);
  MapPtr m(map_refresh(fd.get(), nullptr, 0, -1));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->length, 5u);
  EXPECT_EQ(std::string(m->base, m->length), "hello");

  std::string more(10000, 'z');
  ASSERT_EQ(write(fd.get(), more.data(), more.size()), static_cast<ssize_t>(more.size()));
  map_handle* same = map_refresh(fd.get(), m.release(), MAP_F_WHOLE, -1);
  m.reset(same);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->length, 10005u);
  EXPECT_EQ(m->fdlength, 10005u);
  EXPECT_EQ(m->base[10004], 'z');
  EXPECT_EQ(memcmp(m->base, "hello", 5), 0);
}

TEST(Map, LengthIsCappedAtTheEndOfTheFile) {
  TempDir dir;
  std::string path = dir / "short";
  write_text_file(path, "abc");
  UniqueFd fd(open(path.c_str(), O_RDONLY));
  MapPtr m(map_refresh(fd.get(), nullptr, 0, 4096));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->length, 3u);  // never past the end: touching that would fault
  EXPECT_EQ(m->fdlength, 3u);
  m.reset(map_refresh(fd.get(), m.release(), 0, 2));
  EXPECT_EQ(m->length, 2u);
}

TEST(Map, EmptyFilesAndMissingFiles) {
  TempDir dir;
  std::string path = dir / "empty";
  write_text_file(path, "");
  MapPtr m(map_open(path.c_str(), -1, 0, 0));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->length, 0u);
  EXPECT_NE(m->base, nullptr);
  EXPECT_EQ(map_open((dir / "absent").c_str(), -1, 0, 0), nullptr);
  EXPECT_EQ(map_refresh(-1, nullptr, 0, -1), nullptr);
}

TEST(Map, RefreshOntoAReplacedFileRemaps) {
  TempDir dir;
  std::string a = dir / "a", b = dir / "b";
  write_text_file(a, "first file");
  write_text_file(b, "second");
  UniqueFd fa(open(a.c_str(), O_RDONLY)), fb(open(b.c_str(), O_RDONLY));
  MapPtr m(map_refresh(fa.get(), nullptr, 0, -1));
  m.reset(map_refresh(fb.get(), m.release(), 0, -1));
  ASSERT_TRUE(m);
  EXPECT_EQ(std::string(m->base, m->length), "second");
}

}  // namespace
