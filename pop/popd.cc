#include "pop/popd.h"

#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/counters.h"
#include "common/imap_err.h"
#include "common/ldpool.h"
#include "common/saslglue.h"
#include "common/service.h"
#include "common/unique_fd.h"
#include "net/listen.h"
#include "net/pool.h"
#include "net/reactor.h"
#include "pop/server.h"
#include "pop/supervisor.h"
#include "pop/tls.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/storenotify.h"
#include "store/userattr.h"

namespace {

// Lines for the log that arise before it is open (it is opened only after
// the switch to the server user, so the file belongs to that user).
struct EarlyLog {
  bool open = false;
  std::vector<std::pair<int, std::string>> lines;
  void add(int priority, std::string text) {
    if (open)
      bvlog(0, priority, "%s", text.c_str());
    else
      lines.emplace_back(priority, std::move(text));
  }
  void flush() {
    open = true;
    for (auto& [p, t] : lines) bvlog(0, p, "%s", t.c_str());
    lines.clear();
  }
};

int fatal(EarlyLog& log, const char* text, int status) {
  fprintf(stderr, "Fatal error: %s\n", text);
  if (log.open) bvlog(0, LOG_SEV_CRIT, "Fatal error: %s", text);
  return status;
}

std::string errtext(int e) { return strerror(e); }

}  // namespace

int popd_run(const PopOptions& opts) {
  EarlyLog log;
  bool first = !opts.slave;

  // Signals are taken through a signalfd by the event loop: block them
  // before any thread exists (the mailbox list starts one) so none of them
  // ever runs a handler.
  sigset_t sigs;
  sigemptyset(&sigs);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD}) sigaddset(&sigs, sig);
  sigprocmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  config_cache* cfg = config_getdefaultcache();
  std::vector<std::string> warnings;
  PopStartup startup = load_startup(cfg, opts, &warnings);
  std::string system_host;
  if (*config_get_string(cfg, "local.hostname", "") == '\0') system_host = system_host_name();
  auto settings = load_settings(cfg, system_host, &warnings);
  for (auto& w : warnings) log.add(LOG_SEV_WARNING, w);

  rlim_t want = 3 * static_cast<rlim_t>(startup.maxsessions) + 3 * static_cast<rlim_t>(startup.maxthreads) + 100;
  rlim_t got = listen_raise_fd_limit(want);
  if (got < want) {
    rlim_t reserve = 3 * static_cast<rlim_t>(startup.maxthreads) + 100;
    unsigned recommend = got > reserve ? static_cast<unsigned>((got - reserve) / 3) : 0;
    char text[160];
    snprintf(text, sizeof text,
             "Not enough file descriptors to support %u sessions per process; recommend %u sessions per process",
             startup.maxsessions, recommend);
    log.add(LOG_SEV_WARNING, text);
  }

  UniqueFd plain, tls;
  if (opts.plain_fd >= 0) plain.reset(opts.plain_fd);
  if (opts.tls_fd >= 0) tls.reset(opts.tls_fd);
  if (!opts.slave && opts.plain_fd < 0 && opts.tls_fd < 0) {
    if (!startup.listenaddr.empty()) {
      sockaddr_storage ss;
      socklen_t len;
      if (!listen_address(startup.listenaddr, 0, &ss, &len, false))
        return fatal(log, "Cannot find IP address for listenaddr", 64);
    }
    int err = 0;
    if (startup.plain_enabled) {
      plain.reset(listen_open_port(startup.listenaddr, startup.plain_port, &err));
      if (!plain) {
        fprintf(stderr, "orvpopd: port %u: %s\n", startup.plain_port, strerror(err));
        return fatal(log, "cannot open socket", 77);
      }
    }
    if (startup.use_tls && startup.tls_port_enabled) {
      tls.reset(listen_open_port(startup.listenaddr, startup.tls_port, &err));
      if (!tls) {
        if (!plain) {
          fprintf(stderr, "orvpopd: port %u: %s\n", startup.tls_port, strerror(err));
          return fatal(log, "cannot open ssl socket", 77);
        }
        log.add(LOG_SEV_ERR, "Cannot open SSL socket: " + errtext(err));
      }
    }
  }
  if (first) {
    for (UniqueFd* fd : {&plain, &tls})
      if (*fd && !listen_start(fd->get())) {
        fprintf(stderr, "orvpopd: listen: %s\n", strerror(errno));
        return fatal(log, "cannot open socket", 77);
      }
  }

  if (int e = configmsg_setuid()) return e == EPERM ? 77 : 78;
  if (configmsg_initlog("popd", "orvpopd") != 0) return 78;
  log.flush();

  int state_fd = -1;
  if (first) {
    state_fd = service_announce("popd");
    if (state_fd < 0) {
      if (errno == EWOULDBLOCK) return fatal(log, "another orvpopd serves this store", 75);
      bvlog(0, LOG_SEV_ERR, "cannot write the state file popd.state: %m");
      return fatal(log, "cannot write the state file", 73);
    }
  }
  struct Withdraw {
    int fd;
    ~Withdraw() {
      if (fd >= 0) service_withdraw("popd", fd);
    }
  } withdraw{state_fd};

  bool tls_ok = false;
  if (startup.use_tls || tls) {
    std::string err = tls_init(startup.tls, first);
    tls_ok = err.empty() && tls_available();
    if (!tls_ok) {
      bvlog(0, LOG_SEV_ERR, "TLS is not available (STLS and the TLS port are off): %s", err.c_str());
      tls.reset();
    }
  }
  if (!plain && !tls) return fatal(log, "no listening socket", 77);

  std::unique_ptr<SharedCounters> counters;
  int slot = -1;
  std::string path = popstat_path();
  if (!path.empty()) {
    std::string err;
    counters = SharedCounters::open(path, startup.numprocesses, &err);
    if (!counters) {
      bvlog(0, LOG_SEV_ERR, "counter initialization failed: %s", err.c_str());
    } else {
      if (first) counters->reset(time(nullptr));
      slot = counters->claim_slot(getpid());
      if (slot < 0) {
        bvlog(0, LOG_SEV_ERR, "counter initialization failed: %s", "no free process slot");
        counters.reset();
      }
    }
  }

  if (int r = mboxlist_init(); r != 0) {
    bvlog(0, LOG_SEV_CRIT, "cannot open the mailbox list: %s", error_message(r));
    return error_exit_status(r);
  }
  storenotify_init("popd");

  // Directory (for provisioning at first login) before the SASL layer,
  // which finds users through it.
  const bool directory = startup.directory;
  LdPoolConfig ldcfg;
  if (directory && (userattr_init(nullptr, nullptr) != 0 || ldpool_config_from_settings(&ldcfg) != 0)) {
    bvlog(0, LOG_SEV_CRIT, "Cannot initialize the users and groups directory");
    return 78;
  }
  SaslGlueCtxPtr sasl;
  {
    saslglue_ctx* raw = nullptr;
    int r = saslglue_init("orvpopd", "pop", userattr_dmap(), userattr_pool(), directory ? &ldcfg : nullptr, {}, &raw);
    if (r != SASL_OK) {
      bvlog(0, LOG_SEV_CRIT, "Cannot initialize SASL %s", sasl_errstring(r, nullptr, nullptr));
      return 1;
    }
    sasl.reset(raw);
  }
  bvlog(0, LOG_SEV_WARNING, "Corvane POP3 %s starting up", startup.version.c_str());

  std::string err;
  auto loop = Reactor::create(&err);
  if (!loop) return fatal(log, err.c_str(), 71);
  int status = 0;
  bool drained = true;
  {
    WorkPool pool(*loop, startup.maxthreads);
    auto reload = [cfg_host = system_host]() -> std::shared_ptr<const PopSettings> {
      if (int e = configmsg_refresh()) {
        bvlog(0, LOG_SEV_ERR, "configuration refresh failed: %s", error_message(e));
        return nullptr;
      }
      configmsg_initlog("popd", "orvpopd");
      std::vector<std::string> w;
      auto fresh = load_settings(config_getdefaultcache(), cfg_host, &w);
      for (auto& line : w) bvlog(0, LOG_SEV_WARNING, "%s", line.c_str());
      mailbox_reloadconfig();
      return fresh;
    };
    PopServer server(startup, settings, *loop, pool, counters.get(), slot, reload);
    server.set_tls_available(tls_ok);
    server.set_sasl(sasl.get());
    if (!server.watch_signals()) return fatal(log, "cannot watch signals", 71);
    int plain_raw = plain.get(), tls_raw = tls.get();
    if (plain) server.add_listener(std::move(plain), false);
    if (tls) server.add_listener(std::move(tls), true);

    std::unique_ptr<Supervisor> supervisor;
    if (first && startup.numprocesses > 1) {
      // The children inherit the sockets, which the server keeps open
      // until it stops.
      supervisor = std::make_unique<Supervisor>(*loop, counters.get(), plain_raw, tls_raw, startup.strict);
      server.set_supervisor(supervisor.get());
      supervisor->start(startup.numprocesses - 1);
    }
    if (first && service_set_ready(state_fd) != 0) bvlog(0, LOG_SEV_ERR, "cannot write the state file: %m");

    server.run();
    drained = pool.drain(5000);
    if (!drained) {
      // A blocking call that never returns holds a pool thread; the pool
      // cannot be taken down under it.
      bvlog(0, LOG_SEV_ERR, "blocking work still running at exit");
      service_withdraw("popd", state_fd);
      _exit(status);
    }
  }
  tls_shutdown();
  storenotify_shutdown();
  return status;
}
