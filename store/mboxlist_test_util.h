// A store in a temporary directory for the mailbox list tests (tests only):
// configuration, environment in recovery mode, and raw folder records
// written with the documented layout, so listing and seen tests do not
// depend on folder creation.
#pragma once

#include <db.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/test_util.h"
#include "store/mboxdata.h"
#include "store/mboxlist.h"

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(configure(""), 0); }
  void TearDown() override {
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  // Loads the configuration (plus extra lines) and starts the environment.
  int configure(const std::string& extra) {
    mboxlist_close();
    configmsg_free();
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/part\n" + extra;
    if (int r = configmsg_init_text(conf, "test", "storetest")) return r;
    mboxlist_set_fatal_handler([](int) {});
    return mboxlist_recover();
  }
  std::string store_dir() const { return dir_.path() + "/store"; }
  std::string part_dir() const { return dir_.path() + "/part"; }

  // key = name + NUL; data = 60-byte mboxdata, partition, NUL, ACL, NUL.
  static void put_folder(const std::string& name, const std::string& acl, const mboxdata& mbd = mboxdata{},
                         const std::string& partition = "primary") {
    std::string data(MBOXDATA_SIZE, '\0');
    mboxdata m = mbd;
    if (m.version == 0) m.version = MBOX_VERSION;
    mboxdata_encode(m, reinterpret_cast<unsigned char*>(data.data()));
    data += partition;
    data += '\0';
    data += acl;
    data += '\0';
    put_raw(mboxlist_folderdb(), std::string(name) + '\0', data);
  }
  static void put_raw(DB* db, const std::string& key, const std::string& data) {
    DBT k = {}, d = {};
    k.data = const_cast<char*>(key.data());
    k.size = static_cast<u_int32_t>(key.size());
    d.data = const_cast<char*>(data.data());
    d.size = static_cast<u_int32_t>(data.size());
    ASSERT_EQ(db->put(db, nullptr, &k, &d, DB_AUTO_COMMIT), 0);
  }
  static int del_raw(DB* db, const std::string& key) {
    DBT k = {};
    k.data = const_cast<char*>(key.data());
    k.size = static_cast<u_int32_t>(key.size());
    return db->del(db, nullptr, &k, DB_AUTO_COMMIT);
  }
  // The record's data, or "<none>".
  static std::string get_raw(DB* db, std::string key) {
    DBT k = {}, d = {};
    k.data = key.data();
    k.size = static_cast<u_int32_t>(key.size());
    k.ulen = k.size;
    k.flags = DB_DBT_USERMEM;
    d.flags = DB_DBT_MALLOC;
    if (db->get(db, nullptr, &k, &d, 0) != 0) return "<none>";
    std::string s(static_cast<char*>(d.data), d.size);
    free(d.data);
    return s;
  }

  TempDir dir_;
};
