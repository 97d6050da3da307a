// TLS for the POP3 server, on NSS. One process-wide set-up; one TlsConn per TLS session, driven by a
// non-blocking event loop: every call returns at once.
//
// Threads: tls_init/tls_shutdown run on the main thread with no TlsConn alive; a TlsConn is used by one
// thread at a time (its session's event loop). Failures are reported as text (the NSPR error name and
// message), never logged here: the caller knows the client and the log line to write.
//
// Driving a connection: call handshake() until kOk, waiting for the direction it names. Then read() and
// write(); after a read, call read() again while pending() (NSS may hold decrypted bytes the socket will
// never announce). A write may leave bytes inside NSS (write_pending()): wait for writability and call
// flush(); this can happen after a read or a handshake step too, so check write_pending() after each call.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct PRFileDesc;

struct TlsSettings {
  std::string nssdb;                   // NSS database directory ("sql:" is added when missing)
  std::vector<std::string> nicknames;  // server certificate nicknames (an EC and/or an RSA one)
  std::string pinfile;                 // file holding the key database password, or ""
  bool tls13_only = false;             // local.ssl.minversion = tls1.3
  bool client_auth = false;            // request (never require) client certificates
};

// The client certificate of a finished handshake, as far as a login needs it.
struct TlsClientCert {
  bool presented = false;           // the client sent a certificate
  bool verified = false;            // it chains now to a CA the database trusts for client authentication
  std::string problem;              // why it did not verify, for the log
  std::string subject;              // the subject name, for the log (client-supplied: make it printable)
  std::string uid;                  // the subject's first UID attribute, or ""
  std::vector<std::string> emails;  // its e-mail addresses: the subject's, then the alternative names'
};

// Initialises NSS, the policy, the server model socket (TLS 1.2-1.3 only, no renegotiation, no compression,
// no SSLv2 hello) and the multi-process session cache: configured when first_process (children started
// afterwards by fork+exec inherit it through the environment), inherited otherwise. Must run after the
// privilege drop. "" on success, else the error text (the caller then runs without TLS).
// A second call releases the first set-up and starts over.
std::string tls_init(const TlsSettings& s, bool first_process);
// Whether tls_init succeeded in this process.
bool tls_available();
// Releases NSS at exit (after every TlsConn is gone).
void tls_shutdown();

enum class TlsIo { kOk, kWantRead, kWantWrite, kClosed, kError };

class TlsConn {
 public:
  // Starts a server-side TLS session on the connected, non-blocking socket fd and TAKES OWNERSHIP of fd (it
  // is closed by the destructor or close()). Null with *err on failure (fd is closed then too).
  static std::unique_ptr<TlsConn> start(int fd, std::string* err);
  ~TlsConn();
  TlsConn(const TlsConn&) = delete;
  TlsConn& operator=(const TlsConn&) = delete;

  int os_fd() const;  // for epoll registration only
  // Drives the handshake: kOk when complete (and its last flight sent); kWantRead/kWantWrite: call again
  // when the socket is ready; kClosed when the peer went away, kError (see error()) when it failed.
  TlsIo handshake();
  // Reads decrypted bytes (up to cap): kOk with *got > 0, kWantRead/kWantWrite, kClosed (peer closed), kError.
  TlsIo read(char* buf, size_t cap, size_t* got);
  // Bytes already decrypted and buffered inside NSS: read again before waiting on the socket.
  bool pending() const;
  // Encrypts and sends up to len bytes: kOk with *put bytes accepted (may be < len), or kWantWrite/kError.
  // Bytes counted in *put are NSS's to deliver: some may wait inside it (write_pending()). When the socket
  // took only part of a record, NSS counts one byte less than it encrypted; the next write() must start
  // right after *put with the same bytes (as any stream writer does), and NSS skips the one it holds.
  TlsIo write(const char* buf, size_t len, size_t* put);
  // Whether data accepted by write() still waits inside NSS for the socket (poll for writability and call
  // flush() until false).
  bool write_pending() const;
  // kOk when nothing waits any more, kWantWrite while something does, kError.
  TlsIo flush();
  // Sends close_notify (best effort, never blocks) and closes the socket. Harmless twice.
  void close();
  // Set when the bad-certificate hook ran (the handshake goes on); the text for the log line:
  // "errno -8172 (Peer's certificate issuer has been marked as not trusted by the user.)".
  bool bad_certificate() const;
  const std::string& bad_certificate_text() const;
  // What the client's certificate says, once the handshake is done. Verified means checked against the
  // database's trust for client authentication at this call: a resumed session carries the certificate of
  // its first handshake, which the hooks never saw again (and whose cache entry a bad certificate reaches
  // too, since the handshake goes on), so it is checked afresh here; a certificate the bad-certificate hook
  // saw is never verified.
  TlsClientCert client_certificate() const;
  // "TLSv1.3 TLS_AES_128_GCM_SHA256" once the handshake is done; the last error text.
  std::string describe() const;
  // The effective key size of the cipher in bits once the handshake is done, else 0.
  unsigned key_bits() const;
  const std::string& error() const;

 private:
  TlsConn() = default;
  TlsIo fail(const char* what);

  PRFileDesc* fd_ = nullptr;  // top of the layer stack (TLS over the socket); owned
  int os_fd_ = -1;
  // The last send to the socket would have blocked, so NSS holds bytes it still has to send. The I/O layer
  // under NSS keeps this up to date; it points here, which is why a TlsConn never moves.
  bool send_blocked_ = false;
  bool handshake_done_ = false;
  bool bad_cert_ = false;
  std::string bad_cert_text_;
  std::string error_;

  friend struct TlsCallbacks;
};
