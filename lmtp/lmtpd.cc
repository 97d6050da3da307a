#include "lmtp/lmtpd.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "common/unique_fd.h"
#include "lmtp/server.h"
#include "net/listen.h"
#include "net/pool.h"
#include "net/reactor.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/storenotify.h"
#include "store/userattr.h"

namespace {

// Deliveries and recipient checks that may run at once.  Each holds one
// folder's lock for the time of one append, so a few threads keep the disk
// busy; more would only queue on the same locks and syncs.
constexpr unsigned kPoolThreads = 8;

int fatal(bool logging, const std::string& text, int status) {
  fprintf(stderr, "orvlmtpd: %s\n", text.c_str());
  if (logging) bvlog(0, LOG_SEV_CRIT, "Fatal error: %s", text.c_str());
  return status;
}

}  // namespace

int lmtpd_run(const LmtpOptions& opts) {
  sigset_t sigs;
  sigemptyset(&sigs);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&sigs, sig);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> warnings;
  LmtpSettings settings = load_lmtp_settings(config_getdefaultcache(), opts, &warnings);
  if (settings.spool_dir.empty()) return fatal(false, "the configuration names no partition", 78);

  UniqueFd inherited, tcp;
  if (opts.fd >= 0) {
    inherited.reset(opts.fd);
  } else if (settings.port != 0) {
    int err = 0;
    tcp.reset(listen_open_port("127.0.0.1", settings.port, &err));
    if (!tcp || !listen_start(tcp.get()))
      return fatal(false, "port " + std::to_string(settings.port) + ": " + strerror(tcp ? errno : err), 77);
  }

  if (int e = configmsg_setuid()) return e == EPERM ? 77 : 78;
  if (configmsg_initlog("lmtpd", "orvlmtpd") != 0) return 78;
  for (auto& w : warnings) bvlog(0, LOG_SEV_WARNING, "%s", w.c_str());

  int state_fd = service_announce("lmtpd");
  if (state_fd < 0) {
    if (errno == EWOULDBLOCK) return fatal(true, "another orvlmtpd serves this store", 75);
    bvlog(0, LOG_SEV_ERR, "cannot write the state file lmtpd.state: %m");
    return fatal(true, "cannot write the state file", 73);
  }
  struct Withdraw {
    int fd;
    ~Withdraw() { service_withdraw("lmtpd", fd); }
  } withdraw{state_fd};

  // The spool directory is the partition's message root, which the store
  // makes only with the first folder there.
  if (mkdir(settings.spool_dir.c_str(), 0750) != 0 && errno != EEXIST)
    return fatal(true, "spool directory " + settings.spool_dir + ": " + strerror(errno), 73);

  UniqueFd unix_sock;
  bool own_socket = false;
  if (opts.fd < 0 && !settings.socket.empty()) {
    unix_sock.reset(listen_open_unix(settings.socket, 0660));
    if (!unix_sock || !listen_start(unix_sock.get()))
      return fatal(true, "socket " + settings.socket + ": " + strerror(errno), 77);
    own_socket = true;
  }
  struct Unlink {
    const std::string& path;
    bool on;
    ~Unlink() {
      if (on) unlink(path.c_str());
    }
  } unlink_socket{settings.socket, own_socket};
  if (!inherited && !tcp && !unix_sock) return fatal(true, "no socket to listen on", 77);

  if (int r = mboxlist_init(); r != 0) {
    bvlog(0, LOG_SEV_CRIT, "cannot open the mailbox list: %s", error_message(r));
    return error_exit_status(r);
  }
  mailbox_reloadconfig();  // the configured sync levels
  storenotify_init("lmtpd");

  std::string err;
  auto loop = Reactor::create(&err);
  if (!loop) return fatal(true, err, 71);
  {
    WorkPool pool(*loop, kPoolThreads);
    LmtpServer server(settings, *loop, pool);
    if (!server.watch_signals()) return fatal(true, "cannot watch signals", 71);
    if (inherited) server.add_listener(std::move(inherited));
    if (tcp) server.add_listener(std::move(tcp));
    if (unix_sock) server.add_listener(std::move(unix_sock));
    if (service_set_ready(state_fd) != 0) bvlog(0, LOG_SEV_ERR, "cannot write the state file: %m");
    if (opts.fd >= 0)
      bvlog(0, LOG_SEV_WARNING, "LMTP server starting up on descriptor %d", opts.fd);
    else
      bvlog(0, LOG_SEV_WARNING, "LMTP server starting up on %s%s%s", settings.socket.c_str(),
            settings.port ? " and port " : "", settings.port ? std::to_string(settings.port).c_str() : "");
    server.run();
    if (!pool.drain(5000)) {
      // A blocking call that never returns holds a pool thread; the pool
      // cannot be taken down under it.
      bvlog(0, LOG_SEV_ERR, "blocking work still running at exit");
      if (own_socket) unlink(settings.socket.c_str());
      service_withdraw("lmtpd", state_fd);
      _exit(0);
    }
  }
  userattr_exit();
  storenotify_shutdown();
  mboxlist_close();
  return 0;
}
