// orvstored: the store daemon.
#include <fcntl.h>
#include <getopt.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#ifdef ORV_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "tools/stored.h"

namespace {

void usage(FILE* f) {
  fprintf(f,
          "Usage: orvstored [-c CONFIG] [-f]\n"
          "Brings the store's mailbox list database up, runs its maintenance and\n"
          "serves as the readiness point for every other store program.\n\n"
          "  -c CONFIG   configuration file (default: $%s, else %s)\n"
          "  -f          stay in the foreground\n"
          "  -h, --help  this text\n\n"
          "Without -f the daemon detaches once the store is ready; the command then\n"
          "exits 0, or with the daemon's failure status.  SIGTERM stops it cleanly;\n"
          "SIGHUP or SIGUSR1 reopens its log file (after a rotation).\n"
          "Under systemd (-f, Type=notify) it reports readiness through sd_notify.\n"
          "Started as root it runs as local.serveruser, and refuses to start (77)\n"
          "while a file of the store belongs to another user.\n",
          ORV_CONFIG_ENV, ORV_DEFAULT_CONFIG);
}

void tell_parent(void* arg) {
  int fd = *static_cast<int*>(arg);
  char ok = 0;
  (void)!write(fd, &ok, 1);
  close(fd);
  // Detach from the terminal for good.
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
}

// In the foreground under a service manager that waits for it
// (NOTIFY_SOCKET set): tells it the store is ready.
void tell_manager(void*) {
#ifdef ORV_HAVE_SYSTEMD
  (void)sd_notify(0, "READY=1\nSTATUS=Store ready");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  bool foreground = false;
  int opt;
  while ((opt = getopt_long(argc, argv, "c:fh", longopts, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        setenv(ORV_CONFIG_ENV, optarg, 1);
        break;
      case 'f':
        foreground = true;
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 64;
    }
  }
  if (optind < argc) {
    usage(stderr);
    return 64;
  }
  if (service_hygiene() != 0) return 70;
  if (configmsg_init(0, 0, "stored") != 0) return 78;
  if (configmsg_check(stderr) != 0) return 78;
  // The server user is taken on before anything is created (log file, state
  // file, databases): a file made as root would lock that user out.
  if (int e = configmsg_setuid()) return e == EPERM ? 77 : 78;
  if (service_check_owner(stderr) != 0) return 77;
  if (configmsg_initlog("stored", "orvstored") != 0) return 78;

  stored_options opts;
  config_cache* cfg = config_getdefaultcache();
  opts.file_checkpoint_interval =
      config_get_int(cfg, "local.store.filecheckpointinterval", opts.file_checkpoint_interval);
  opts.expunge_cleanup_interval =
      config_get_int(cfg, "local.store.expungecleanupinterval", opts.expunge_cleanup_interval);
  opts.expunge_cleanup_age = config_get_int(cfg, "local.store.expungecleanupage", opts.expunge_cleanup_age);
  opts.snapshot_interval = config_get_int(cfg, "local.store.snapshotinterval", opts.snapshot_interval);
  opts.snapshot_count = config_get_int(cfg, "local.store.snapshotcount", opts.snapshot_count);
  if (foreground) {
    opts.on_ready = tell_manager;
    return stored_run(opts, stderr);
  }

  // Detach: the parent stays until the child reports ready (or fails), so
  // a start script knows the store is usable when this command returns.
  int ready[2];
  if (pipe(ready) != 0) {
    perror("orvstored: pipe");
    return 71;
  }
  pid_t pid = fork();
  if (pid < 0) {
    perror("orvstored: fork");
    return 71;
  }
  if (pid > 0) {
    close(ready[1]);
    char c;
    if (read(ready[0], &c, 1) == 1) return 0;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 70;
  }
  close(ready[0]);
  setsid();
  opts.on_ready = tell_parent;
  opts.on_ready_arg = &ready[1];
  int status = stored_run(opts, stderr);
  configmsg_free();
  return status;
}
