// Quota rules that need no database: thresholds, the limits check of
// appends and the threshold bookkeeping on a record in memory.  The
// database side is in quota_db.cc.
#include "store/quota.h"

#include <strings.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/ldpool.h"
#include "store/mboxname.h"
#include "store/storenotify.h"
#include "store/userattr.h"

namespace {

// ceil(limit * percent / 100) without overflow: limit < 2^32 and percent is
// clamped to [0, 1000], so the product fits in 64 bits.
uint64_t percent_of(uint32_t limit, int percent) {
  if (percent < 0) percent = 0;
  if (percent > 1000) percent = 1000;
  uint64_t prod = uint64_t(limit) * uint64_t(percent);
  return (prod + 99) / 100;
}

}  // namespace

int quota_warn_percent() {
  config_cache* c = config_getdefaultcache();
  if (config_get_switch(c, "local.store.overquotastatus", 0) || config_get_switch(c, "local.store.quotaoverdraft", 0))
    return 100;
  return config_get_int(c, "store.quotawarn", 90);
}

quota_thresholds quota_get_thresholds(const quotadata& qd, int percent) {
  quota_thresholds t;
  t.bytes = qd.qmax == QUOTA_UNLIMITED ? UINT64_MAX : percent_of(qd.qmax, percent) * 1024;
  t.msgs = qd.msgqmax == QUOTA_UNLIMITED ? UINT64_MAX : percent_of(qd.msgqmax, percent);
  return t;
}

int quota_over_threshold(const quotadata& qd, int percent) {
  quota_thresholds t = quota_get_thresholds(qd, percent);
  return qd.qrused >= t.bytes || uint64_t(qd.msgqrused) >= t.msgs;
}

int quota_check_limits(const quotadata& qd, uint64_t size, uint32_t nmsgs, time_t now, int grace_hours) {
  bool bytes_ok = qd.qmax == QUOTA_UNLIMITED ||
                  (qd.qrused <= uint64_t(qd.qmax) * 1024 && size <= uint64_t(qd.qmax) * 1024 - qd.qrused);
  // nmsgs more messages fit while the count before the last of them is
  // below the limit.
  bool msgs_ok =
      qd.msgqmax == QUOTA_UNLIMITED || uint64_t(qd.msgqrused) + (nmsgs ? nmsgs - 1 : 0) < uint64_t(qd.msgqmax);
  if (bytes_ok && msgs_ok) return 0;
  if (grace_hours <= 0) return IMAP_QUOTA_EXCEEDED_PERSISTENT;
  if (qd.qwhen == 0) return IMAP_QUOTA_EXCEEDED;
  if (int64_t(qd.qwhen) + int64_t(grace_hours) * 3600 >= int64_t(now)) return IMAP_QUOTA_EXCEEDED;
  return IMAP_QUOTA_EXCEEDED_PERSISTENT;
}

void quota_announce(const char* root, const quotadata& before, const quotadata& after) {
  bool status = config_get_switch(config_getdefaultcache(), "local.store.overquotastatus", 0);
  if (before.qwhen == 0 && after.qwhen != 0) {
    storenotify_quota(root, after, "OverQuota");
    if (status) (void)set_overquotastatus(root, "active", "overquota");
  } else if (before.qwhen != 0 && after.qwhen == 0) {
    storenotify_quota(root, after, "UnderQuota");
    if (status) (void)set_overquotastatus(root, "overquota", "active");
  }
}

int set_overquotastatus(const char* mboxname, const char* from, const char* to) {
  char owner[MBOXNAME_OWNER_BUF];
  const char* user = mboxname_owner(mboxname, owner);
  UserAttrs vals;
  int r = user ? userattr_init(nullptr, nullptr) : IMAP_MAILBOX_NONEXISTENT;
  if (r == 0) r = userattr_get(user, &vals);
  if (r) {
    bvlog(0, LOG_SEV_ERR, "set_overquotastatus: cannot get ldap attributes for user: %s", user ? user : mboxname);
    return -1;
  }
  // Only the status this change starts from is replaced: an account an
  // administrator set to another state (inactive, hold...) keeps it.
  const std::string* status = vals.first(kAttrMailUserStatus);
  if (!status || strcasecmp(status->c_str(), from) != 0) return 0;
  r = ldpool_replace(userattr_pool(), vals.dn, store_ldapattrs[kAttrMailUserStatus], {to});
  if (r) {
    bvlog(0, LOG_SEV_ERR, "set_overquotastatus: cannot modify ldap attributes for user: %s (rc = %d)", user, r);
    return r;
  }
  return 0;
}
