// A private slapd for the tests of the directory modules (tests only).
//
// Wraps scripts/test-slapd: every command runs under timeout(1), so a hung
// server fails the test instead of hanging it, and the destructor stops the
// server.  ORV_SOURCE_DIR must name the source tree (set by the build).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/test_util.h"

class TestSlapd {
 public:
  ~TestSlapd() { stop(); }

  // Starts a server for suffixes; the first one's rootdn manages them all.
  bool start(const std::vector<std::string>& suffixes) {
    std::string cmd = script() + " start '" + dir_.path() + "'";
    for (const auto& s : suffixes) cmd += " '" + s + "'";
    if (!run(cmd)) return false;
    started_ = true;
    port_ = trim(read_text_file(dir_ / "port"));
    return !port_.empty();
  }
  // Adds the entries of an LDIF text as the rootdn.
  bool load(const std::string& ldif) {
    write_text_file(dir_ / "load.ldif", ldif);
    return run(script() + " load '" + dir_.path() + "' '" + (dir_ / "load.ldif") + "'");
  }
  // Applies an LDIF change text (ldapmodify) as the rootdn.
  bool modify(const std::string& ldif) {
    write_text_file(dir_ / "modify.ldif", ldif);
    return run("ldapmodify -x -H " + url() + " -D '" + rootdn() + "' -y '" + (dir_ / "rootpw") + "' -f '" +
               (dir_ / "modify.ldif") + "'");
  }
  bool stop() {
    if (!started_) return true;
    started_ = false;
    return run(script() + " stop '" + dir_.path() + "'");
  }
  // Stops the server and starts it again on the same port, as after a
  // directory restart: clients' open connections are dead.
  bool restart() {
    const std::string port = port_;
    if (!stop()) return false;
    const std::string u = "ldap://127.0.0.1:" + port + "/";
    const std::string d = dir_.path();
    std::string cmd = "/usr/sbin/slapd -d 0 -f '" + d + "/slapd.conf' -h " + u + " </dev/null >>'" + d +
                      "/slapd.log' 2>&1 & echo $! >'" + d + "/slapd.pid'; " +
                      "for i in $(seq 200); do ldapsearch -x -H " + u +
                      " -b '' -s base >/dev/null 2>&1 && exit 0; sleep 0.05; done; exit 1";
    if (!run(cmd)) return false;
    write_text_file(dir_ / "url", u + "\n");
    write_text_file(dir_ / "port", port + "\n");
    started_ = true;
    return true;
  }

  const std::string& port() const { return port_; }
  std::string url() const { return "ldap://127.0.0.1:" + port_ + "/"; }
  std::string rootdn() const { return read_text_file(dir_ / "rootdn"); }
  std::string rootpw() const { return read_text_file(dir_ / "rootpw"); }

 private:
  static std::string script() { return std::string("timeout 60 ") + ORV_SOURCE_DIR + "/scripts/test-slapd"; }
  static std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
  }
  bool run(const std::string& cmd) const {
    write_text_file(dir_ / "cmd.sh", cmd + "\n");
    const std::string full = "timeout 60 sh '" + (dir_ / "cmd.sh") + "' >>'" + (dir_ / "cmd.log") + "' 2>&1";
    if (std::system(full.c_str()) == 0) return true;
    // The tools' own words, or a failed start says nothing of why.
    fprintf(stderr, "failed: %s\n%s", cmd.c_str(), read_text_file(dir_ / "cmd.log").c_str());
    return false;
  }

  TempDir dir_;
  std::string port_;
  bool started_ = false;
};
