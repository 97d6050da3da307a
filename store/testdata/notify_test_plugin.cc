// An event plug-in for the tests: every call appends one line describing
// its arguments to the file named by the plug-in's argument string, so a
// test (or a program run by an end-to-end test) can read back exactly what
// the store reported.  Without an argument nothing is written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string g_path;

void emit(const std::string& line) {
  if (g_path.empty()) return;
  if (FILE* f = fopen(g_path.c_str(), "a")) {
    fputs(line.c_str(), f);
    fputc('\n', f);
    fclose(f);
  }
}

// Header bytes with line ends made visible, so one event stays one line.
std::string visible(const char* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    s += p[i] == '\r' ? std::string("\\r") : p[i] == '\n' ? std::string("\\n") : std::string(1, p[i]);
  return s;
}

std::string tail(const char* procname, int pid) {
  return std::string(" proc=") + procname + (pid == getpid() ? " pid=self" : " pid=other");
}

}  // namespace

extern "C" {

int bvplugin_init(const char* args, void** context) {
  g_path = args ? args : "";
  *context = &g_path;
  emit("init");
  return 0;
}

void bvplugin_shutdown(void*) { emit("shutdown"); }

void bvplugin_notify_append(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                            uint32_t num_inserted, const uint32_t* uid, const char* const* header,
                            const uint32_t* header_length, const uint32_t* msg_length, uint32_t qmax, uint32_t used_kb,
                            uint32_t msgqmax, uint32_t msgqrused, const char* procname, int pid) {
  if (ctx != &g_path) return;
  std::string s = "append " + std::string(mboxname) + " uv=" + std::to_string(uid_validity) +
                  " exists=" + std::to_string(exists) + " n=" + std::to_string(num_inserted);
  for (uint32_t i = 0; i < (num_inserted ? num_inserted : 1); ++i) {
    s += " [" + std::to_string(uid[i]) + " h=" + std::to_string(header_length[i]) +
         " m=" + std::to_string(msg_length[i]) + " " +
         visible(header[i], header_length[i] < 12 ? header_length[i] : 12) + "]";
  }
  s += " q=" + std::to_string(qmax) + "/" + std::to_string(used_kb) + " mq=" + std::to_string(msgqmax) + "/" +
       std::to_string(msgqrused) + tail(procname, pid);
  emit(s);
}

void bvplugin_notify_expunge(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                             uint32_t num_expunged, const uint32_t* uid, uint32_t last_uid, uint32_t qmax,
                             uint32_t used_kb, uint32_t msgqmax, uint32_t msgqrused, const char* procname, int pid) {
  if (ctx != &g_path) return;
  emit("expunge " + std::string(mboxname) + " uv=" + std::to_string(uid_validity) +
       " exists=" + std::to_string(exists) + " n=" + std::to_string(num_expunged) + " uid0=" + std::to_string(uid[0]) +
       " last=" + std::to_string(last_uid) + " q=" + std::to_string(qmax) + "/" + std::to_string(used_kb) +
       " mq=" + std::to_string(msgqmax) + "/" + std::to_string(msgqrused) + tail(procname, pid));
}

void bvplugin_notify_reconstruct(void* ctx, const char* mboxname, uint32_t uid_validity, uint32_t exists,
                                 uint32_t last_uid, const char* procname, int pid) {
  if (ctx != &g_path) return;
  emit("reconstruct " + std::string(mboxname) + " uv=" + std::to_string(uid_validity) +
       " exists=" + std::to_string(exists) + " last=" + std::to_string(last_uid) + tail(procname, pid));
}

void bvplugin_notify_peruserflag(void* ctx, const char* mboxname, uint32_t uid_validity, const char* user,
                                 int flagchanged, uint32_t num_seen, uint32_t num_deleted, uint32_t num_total,
                                 const char* procname, int pid) {
  if (ctx != &g_path) return;
  emit("peruserflag " + std::string(mboxname) + " uv=" + std::to_string(uid_validity) + " user=" + user +
       " changed=" + std::to_string(flagchanged) + " seen=" + std::to_string(num_seen) +
       " deleted=" + std::to_string(num_deleted) + " total=" + std::to_string(num_total) + tail(procname, pid));
}

void bvplugin_notify_loguser(void* ctx, const char* mechanism, const char* userid, const char* authid, const char* ip,
                             long loggedtime, int logtype, const char* procname, int pid) {
  if (ctx != &g_path) return;
  emit("loguser " + std::string(mechanism) + " " + userid + " " + authid + " " + ip +
       " t=" + std::to_string(loggedtime) + " type=" + std::to_string(logtype) + tail(procname, pid));
}

#ifndef NOTIFY_TEST_NO_QUOTA
void bvplugin_notify_quota(void* ctx, const char* mboxname, uint32_t qmax, uint32_t used_kb, uint32_t msgqmax,
                           uint32_t msgqrused, const char* msg, const char* procname, int pid) {
  if (ctx != &g_path) return;
  emit("quota " + std::string(mboxname) + " q=" + std::to_string(qmax) + "/" + std::to_string(used_kb) +
       " mq=" + std::to_string(msgqmax) + "/" + std::to_string(msgqrused) + " " + msg + tail(procname, pid));
}
#endif
}
