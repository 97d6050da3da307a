// orvadm: administration of a store instance.
#include <getopt.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "tools/admin.h"

namespace {

void usage(FILE* f) {
  fprintf(f,
          "Usage: orvadm [-c CONFIG] COMMAND [ARGS...]\n"
          "Administers the store instance whose configuration is CONFIG (default:\n"
          "$%s, else %s).\n\nCommands:\n",
          ORV_CONFIG_ENV, ORV_DEFAULT_CONFIG);
  for (const adm_command* c = adm_commands(); c->name; ++c) {
    fprintf(f, "  %-10s %-34s %s\n", c->name, c->args, c->summary);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (service_hygiene() != 0) return 70;
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  int opt;
  while ((opt = getopt_long(argc, argv, "+c:h", longopts, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        setenv(ORV_CONFIG_ENV, optarg, 1);
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 64;
    }
  }
  if (optind >= argc) {
    usage(stderr);
    return 64;
  }
  const adm_command* cmd = adm_commands();
  while (cmd->name && strcmp(cmd->name, argv[optind]) != 0) ++cmd;
  if (!cmd->name) {
    fprintf(stderr, "orvadm: unknown command \"%s\"\n", argv[optind]);
    usage(stderr);
    return 64;
  }
  if (configmsg_init(0, 0, "orvadm") != 0) return 78;
  // "init" creates the store's directories (under root-owned parents, say)
  // and gives them to the server user; "config" only reads.  Neither opens
  // the log file, which must never be created as root: their log lines go
  // to standard error.  Every other command runs as the server user.
  bool keeps_user = strcmp(cmd->name, "init") == 0 || strcmp(cmd->name, "config") == 0;
  if (!keeps_user) {
    if (int e = configmsg_setuid()) return e == EPERM ? 77 : 78;
    if (configmsg_initlog("admin", "orvadm") != 0) return 78;
  }
  int status = cmd->run(argc - optind, argv + optind, stdout, stderr);
  configmsg_free();
  return status;
}
