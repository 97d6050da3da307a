#include "common/plugin.h"

#include <gtest/gtest.h>

namespace {

TEST(Plugin, LoadsALibraryAndFindsItsFunctions) {
  PluginPtr p(bvpluginload("libm.so.6", nullptr));
  ASSERT_TRUE(p);
  auto cosine = reinterpret_cast<double (*)(double)>(bvpluginload_getfunc(p.get(), "cos"));
  ASSERT_NE(cosine, nullptr);
  EXPECT_EQ(cosine(0.0), 1.0);
  EXPECT_EQ(bvpluginload_getfunc(p.get(), "no_such_function_here"), nullptr);
  EXPECT_EQ(bvpluginload_context(p.get()), nullptr);
}

TEST(Plugin, MissingLibraryIsNull) {
  EXPECT_EQ(bvpluginload("/nonexistent/plugin.so", ""), nullptr);
  EXPECT_EQ(bvpluginload("", ""), nullptr);
  EXPECT_EQ(bvpluginload(nullptr, ""), nullptr);
  EXPECT_EQ(bvpluginload_getfunc(nullptr, "x"), nullptr);
  bvpluginload_shutdown(nullptr);
}

}  // namespace
