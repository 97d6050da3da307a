#include "common/optfile.h"

#include <gtest/gtest.h>

#include "common/imap_err.h"
#include "common/test_util.h"

namespace {

TEST(Optfile, ReadsNamesValuesAndComments) {
  TempDir dir;
  write_text_file(dir / "option.dat",
                  "# directory options\n"
                  "\n"
                  "LDAP_SCHEMALEVEL = 1\n"
                  "  LDAP_DOMAIN_FILTER_SCHEMA1=(&(objectClass=domain)(dc=*))  \r\n"
                  "EMPTY =\n"
                  "LDAP_SCHEMALEVEL = 2\n"
                  "BAD_NUMBER = 3x\n"
                  "LAST = no newline");
  OptFile opts;
  ASSERT_EQ(optfile_read((dir / "option.dat").c_str(), &opts), 0);
  EXPECT_EQ(optfile_int(opts, "LDAP_SCHEMALEVEL", 0), 2);  // the later line wins
  EXPECT_STREQ(optfile_get(opts, "LDAP_DOMAIN_FILTER_SCHEMA1", nullptr), "(&(objectClass=domain)(dc=*))");
  EXPECT_STREQ(optfile_get(opts, "EMPTY", "d"), "");
  EXPECT_STREQ(optfile_get(opts, "LAST", nullptr), "no newline");
  EXPECT_STREQ(optfile_get(opts, "ldap_schemalevel", "unset"), "unset");  // names are exact
  EXPECT_EQ(optfile_int(opts, "BAD_NUMBER", 7), 7);
  EXPECT_EQ(optfile_int(opts, "MISSING", 9), 9);
}

TEST(Optfile, MissingFileIsEmptyAndBadFilesAreRefused) {
  TempDir dir;
  OptFile opts;
  opts.values["stale"] = "x";
  EXPECT_EQ(optfile_read((dir / "none.dat").c_str(), &opts), 0);
  EXPECT_TRUE(opts.values.empty());
  for (const std::string& text :
       {std::string("NO_EQUALS_SIGN\n"), std::string("BAD-NAME = 1\n"), std::string("= value\n"),
        std::string("A = b\x01\n"), std::string("A = 1\0B = 2\n", 12)}) {
    write_text_file(dir / "option.dat", text);
    EXPECT_EQ(optfile_read((dir / "option.dat").c_str(), &opts), IMAP_CONFIG_ERROR) << text;
  }
  write_text_file(dir / "option.dat", std::string(1024 * 1024 + 1, '#'));
  EXPECT_EQ(optfile_read((dir / "option.dat").c_str(), &opts), IMAP_CONFIG_ERROR);
  EXPECT_EQ(optfile_read(dir.path().c_str(), &opts), IMAP_CONFIG_ERROR);  // a directory
}

}  // namespace
