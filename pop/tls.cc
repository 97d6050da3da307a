// TLS on NSS: the process-wide set-up and the non-blocking server connection.
#include "pop/tls.h"

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <prio.h>
#include <private/pprio.h>  // PR_ImportTCPSocket
#include <secport.h>
#include <ssl.h>
#include <sslerr.h>
#include <sslproto.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define ORV_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_LSAN 1
#endif
#endif
#if ORV_LSAN
#include <sanitizer/lsan_interface.h>
#endif

#include <climits>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

struct PrFdClose {
  void operator()(PRFileDesc* f) const { PR_Close(f); }
};
struct CertDestroy {
  void operator()(CERTCertificate* c) const { CERT_DestroyCertificate(c); }
};
struct KeyDestroy {
  void operator()(SECKEYPrivateKey* k) const { SECKEY_DestroyPrivateKey(k); }
};
using UniquePrFd = std::unique_ptr<PRFileDesc, PrFdClose>;
using UniqueCert = std::unique_ptr<CERTCertificate, CertDestroy>;
using UniqueKey = std::unique_ptr<SECKEYPrivateKey, KeyDestroy>;

// The one translation of NSPR/NSS failures into text: "NAME: message".
std::string nss_error_text(PRErrorCode code) {
  const char* name = PR_ErrorToName(code);
  const char* text = PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT);
  std::string out = name ? name : "error " + std::to_string(code);
  if (text && *text) out += std::string(": ") + text;
  return out;
}
std::string nss_error_text() { return nss_error_text(PR_GetError()); }

struct TlsGlobal {
  bool nss = false;    // NSS_Init succeeded
  bool cache = false;  // the server session cache is configured or inherited
  std::string pin;
  UniquePrFd model;  // every connection copies its settings; null while TLS is unavailable
};
TlsGlobal g;

// NSS asks for the key database password through this; a retry means the one we gave was wrong, and
// answering again would only loop.
char* pin_callback(PK11SlotInfo*, PRBool retry, void*) noexcept {
  if (retry || g.pin.empty()) return nullptr;
  return PORT_Strdup(g.pin.c_str());
}

// An I/O layer between NSS and the socket that notes whether the last send would have blocked. NSS keeps
// what it could not send and says nothing about it; this flag is how a caller learns that it must wait for
// writability, during the handshake as well as after a write.
PRDescIdentity g_watch_id = PR_INVALID_IO_LAYER;
PRIOMethods g_watch_methods;

bool* watch_flag(PRFileDesc* fd) { return reinterpret_cast<bool*>(fd->secret); }

PRInt32 watch_send(PRFileDesc* fd, const void* buf, PRInt32 n, PRIntn flags, PRIntervalTime t) noexcept {
  PRInt32 r = fd->lower->methods->send(fd->lower, buf, n, flags, t);
  *watch_flag(fd) = r < 0 && PR_GetError() == PR_WOULD_BLOCK_ERROR;
  return r;
}
PRInt32 watch_write(PRFileDesc* fd, const void* buf, PRInt32 n) noexcept {
  PRInt32 r = fd->lower->methods->write(fd->lower, buf, n);
  *watch_flag(fd) = r < 0 && PR_GetError() == PR_WOULD_BLOCK_ERROR;
  return r;
}

void init_watch_layer() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_watch_id = PR_GetUniqueIdentity("orv-send-watch");
    g_watch_methods = *PR_GetDefaultIOMethods();
    g_watch_methods.send = watch_send;
    g_watch_methods.write = watch_write;
  });
}

bool read_pin(const std::string& path, std::string* pin, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *err = "cannot read the PIN file " + path + ": " + strerror(errno);
    return false;
  }
  std::getline(in, *pin);
  if (!pin->empty() && pin->back() == '\r') pin->pop_back();
  if (pin->empty()) {
    *err = "the PIN file " + path + " is empty";
    return false;
  }
  return true;
}

// TLS 1.3 suites, and for TLS 1.2 only ephemeral ECDH key exchange with an AEAD cipher.
bool suite_allowed(const SSLCipherSuiteInfo& info) {
  if (info.keaType == ssl_kea_tls13_any) return true;
  return info.keaType == ssl_kea_ecdh && (info.authType == ssl_auth_ecdsa || info.authType == ssl_auth_rsa_sign) &&
         info.macAlgorithm == ssl_mac_aead && info.effectiveKeyBits >= 128;
}

std::string configure_model(PRFileDesc* m, const TlsSettings& s) {
  struct Opt {
    PRInt32 option;
    PRIntn value;
  };
  const Opt opts[] = {
      {SSL_SECURITY, PR_TRUE},
      {SSL_HANDSHAKE_AS_SERVER, PR_TRUE},
      {SSL_HANDSHAKE_AS_CLIENT, PR_FALSE},
      {SSL_V2_COMPATIBLE_HELLO, PR_FALSE},
      {SSL_ENABLE_DEFLATE, PR_FALSE},
      {SSL_ENABLE_RENEGOTIATION, SSL_RENEGOTIATE_NEVER},
      {SSL_REQUEST_CERTIFICATE, s.client_auth ? PR_TRUE : PR_FALSE},
      {SSL_REQUIRE_CERTIFICATE, SSL_REQUIRE_NEVER},
      {SSL_NO_CACHE, PR_FALSE},
  };
  for (const Opt& o : opts)
    if (SSL_OptionSet(m, o.option, o.value) != SECSuccess) return "cannot set a TLS option: " + nss_error_text();

  SSLVersionRange range;
  range.min = s.tls13_only ? SSL_LIBRARY_VERSION_TLS_1_3 : SSL_LIBRARY_VERSION_TLS_1_2;
  range.max = SSL_LIBRARY_VERSION_TLS_1_3;
  if (SSL_VersionRangeSet(m, &range) != SECSuccess) return "cannot set the TLS versions: " + nss_error_text();

  for (PRUint16 i = 0; i < SSL_NumImplementedCiphers; i++) {
    PRUint16 suite = SSL_ImplementedCiphers[i];
    SSLCipherSuiteInfo info;
    bool on = SSL_GetCipherSuiteInfo(suite, &info, sizeof info) == SECSuccess && suite_allowed(info);
    if (SSL_CipherPrefSet(m, suite, on ? PR_TRUE : PR_FALSE) != SECSuccess && on)
      return "cannot enable cipher suite " + std::string(info.cipherSuiteName) + ": " + nss_error_text();
  }

  for (const std::string& nick : s.nicknames) {
    UniqueCert cert(PK11_FindCertFromNickname(nick.c_str(), nullptr));
    if (!cert) return "no certificate named " + nick + ": " + nss_error_text();
    UniqueKey key(PK11_FindKeyByAnyCert(cert.get(), nullptr));
    if (!key) return "no usable private key for certificate " + nick + " (missing or wrong PIN?): " + nss_error_text();
    if (SSL_ConfigServerCert(m, cert.get(), key.get(), nullptr, 0) != SECSuccess)
      return "cannot use certificate " + nick + ": " + nss_error_text();
  }
  return "";
}

std::string init_nss(const TlsSettings& s, bool first_process) {
  if (s.nicknames.empty()) return "no server certificate nickname configured";
  std::string err;
  if (!s.pinfile.empty() && !read_pin(s.pinfile, &g.pin, &err)) return err;

  std::string db = s.nssdb;
  if (db.rfind("sql:", 0) != 0 && db.rfind("dbm:", 0) != 0) db = "sql:" + db;
  if (NSS_Init(db.c_str()) != SECSuccess) return "cannot open the NSS database " + db + ": " + nss_error_text();
  g.nss = true;
  PK11_SetPasswordFunc(pin_callback);
  if (NSS_SetDomesticPolicy() != SECSuccess) return "cannot set the TLS policy: " + nss_error_text();

  // The cache is shared memory made by the first process; the environment variable NSS sets then tells
  // the processes it starts later where to find it.
  SECStatus rc;
  if (first_process) {
    rc = SSL_ConfigMPServerSIDCache(0, 0, 0, nullptr);
  } else {
#if ORV_LSAN
    // NSS never frees the small descriptor it makes for the inherited cache; not ours to report.
    __lsan::ScopedDisabler nss_keeps_it;
#endif
    rc = SSL_InheritMPServerSIDCache(nullptr);
  }
  if (rc != SECSuccess)
    return std::string(first_process ? "cannot make" : "cannot inherit") +
           " the TLS session cache: " + nss_error_text();
  g.cache = true;

  PRFileDesc* tcp = PR_NewTCPSocket();
  if (!tcp) return "cannot make the TLS model socket: " + nss_error_text();
  UniquePrFd model(SSL_ImportFD(nullptr, tcp));
  if (!model) {
    std::string e = "cannot make the TLS model socket: " + nss_error_text();
    PR_Close(tcp);
    return e;
  }
  err = configure_model(model.get(), s);
  if (err.empty()) g.model = std::move(model);
  return err;
}

}  // namespace

std::string tls_init(const TlsSettings& s, bool first_process) {
  tls_shutdown();
  init_watch_layer();
  std::string err = init_nss(s, first_process);
  if (!err.empty()) tls_shutdown();
  return err;
}

bool tls_available() { return g.model != nullptr; }

void tls_shutdown() {
  g.model.reset();
  if (g.cache) SSL_ShutdownServerSessionIDCache();
  g.cache = false;
  if (g.nss) {
    SSL_ClearSessionCache();
    NSS_Shutdown();
  }
  g.nss = false;
  std::fill(g.pin.begin(), g.pin.end(), '\0');
  g.pin.clear();
}

namespace {

// "errno -8172 (Peer's certificate issuer has been marked as not trusted by the user.)"
std::string cert_error_text(PRErrorCode code) {
  const char* text = code ? PR_ErrorToString(code, PR_LANGUAGE_I_DEFAULT) : nullptr;
  return "errno " + std::to_string(code) + " (" + (text && *text ? text : "unknown certificate error") + ")";
}

// A client certificate is good when it chains, now, to a CA the database trusts to issue certificates for
// client authentication (certutil trust "T"), with a key usage that allows it.
SECStatus verify_client_cert(CERTCertificate* cert, PRFileDesc* fd, PRBool check_sig) {
  return CERT_VerifyCertificateNow(CERT_GetDefaultCertDB(), cert, check_sig, certificateUsageSSLClient,
                                   SSL_RevealPinArg(fd), nullptr);
}

// The decoded value of one name attribute, kept whole: a value with a NUL inside stays that way, so the
// user-id check refuses it instead of reading only the part before the NUL.
std::optional<std::string> ava_value(const CERTAVA* ava) {
  SECItem* v = CERT_DecodeAVAValue(&ava->value);
  if (!v) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(v->data), v->len);
  SECITEM_FreeItem(v, PR_TRUE);
  return out;
}

std::string lower_ascii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The subject's first UID attribute, and its e-mail addresses: those of the subject, then the rfc822 names
// of the alternative names, lower-cased.
void cert_names(CERTCertificate* cert, TlsClientCert* out) {
  bool have_uid = false;
  for (CERTRDN** rdn = cert->subject.rdns; rdn && *rdn; ++rdn) {
    for (CERTAVA** ava = (*rdn)->avas; ava && *ava; ++ava) {
      SECOidTag tag = CERT_GetAVATag(*ava);
      if (tag == SEC_OID_RFC1274_UID && !have_uid) {
        if (auto v = ava_value(*ava)) {
          out->uid = *v;
          have_uid = true;
        }
      } else if (tag == SEC_OID_PKCS9_EMAIL_ADDRESS || tag == SEC_OID_RFC1274_MAIL) {
        if (auto v = ava_value(*ava)) out->emails.push_back(lower_ascii(*v));
      }
    }
  }
  SECItem ext{siBuffer, nullptr, 0};
  if (CERT_FindCertExtension(cert, SEC_OID_X509_SUBJECT_ALT_NAME, &ext) != SECSuccess) return;
  if (PLArenaPool* arena = PORT_NewArena(DER_DEFAULT_CHUNKSIZE)) {
    CERTGeneralName* first = CERT_DecodeAltNameExtension(arena, &ext);
    CERTGeneralName* n = first;
    while (n) {
      if (n->type == certRFC822Name)
        out->emails.push_back(
            lower_ascii(std::string(reinterpret_cast<const char*>(n->name.other.data), n->name.other.len)));
      n = CERT_GetNextGeneralName(n);
      if (n == first) break;
    }
    PORT_FreeArena(arena, PR_FALSE);
  }
  SECITEM_FreeItem(&ext, PR_FALSE);
}

}  // namespace

// The C callbacks NSS calls for one connection; arg is the TlsConn.
struct TlsCallbacks {
  static void handshake_done(PRFileDesc*, void* arg) noexcept { static_cast<TlsConn*>(arg)->handshake_done_ = true; }
  // Checks the certificate a client sent (only asked for when client authentication is configured). Our
  // own rather than the library's default hook, so the usage checked is stated here; a failure goes to
  // bad_cert.
  static SECStatus auth_cert(void*, PRFileDesc* fd, PRBool check_sig, PRBool) noexcept {
    UniqueCert cert(SSL_PeerCertificate(fd));
    if (!cert) {
      PORT_SetError(SSL_ERROR_NO_CERTIFICATE);
      return SECFailure;
    }
    return verify_client_cert(cert.get(), fd, check_sig);
  }
  // A client certificate failed verification: note why and let the handshake go on; such a session is
  // never mapped to a user from its certificate.
  static SECStatus bad_cert(void* arg, PRFileDesc*) noexcept {
    auto* c = static_cast<TlsConn*>(arg);
    c->bad_cert_ = true;
    c->bad_cert_text_ = cert_error_text(PR_GetError());
    return SECSuccess;
  }
};

std::unique_ptr<TlsConn> TlsConn::start(int fd, std::string* err) {
  if (!g.model) {
    ::close(fd);
    *err = "TLS is not available";
    return nullptr;
  }
  PRFileDesc* raw = PR_ImportTCPSocket(fd);
  if (!raw) {
    *err = "cannot import the socket: " + nss_error_text();
    ::close(fd);
    return nullptr;
  }
  UniquePrFd tcp(raw);  // from here on, closing tcp closes fd
  PRSocketOptionData nb;
  nb.option = PR_SockOpt_Nonblocking;
  nb.value.non_blocking = PR_TRUE;
  if (PR_SetSocketOption(tcp.get(), &nb) != PR_SUCCESS) {
    *err = "cannot make the socket non-blocking: " + nss_error_text();
    return nullptr;
  }

  std::unique_ptr<TlsConn> c(new TlsConn);
  c->os_fd_ = fd;
  PRFileDesc* watch = PR_CreateIOLayerStub(g_watch_id, &g_watch_methods);
  if (!watch) {
    *err = "cannot make the I/O layer: " + nss_error_text();
    return nullptr;
  }
  watch->secret = reinterpret_cast<PRFilePrivate*>(&c->send_blocked_);
  if (PR_PushIOLayer(tcp.get(), PR_TOP_IO_LAYER, watch) != PR_SUCCESS) {
    *err = "cannot push the I/O layer: " + nss_error_text();
    watch->dtor(watch);
    return nullptr;
  }
  PRFileDesc* ssl = SSL_ImportFD(g.model.get(), tcp.get());
  if (!ssl) {
    *err = "cannot start TLS on the socket: " + nss_error_text();
    return nullptr;
  }
  tcp.release();
  c->fd_ = ssl;
  if (SSL_HandshakeCallback(ssl, TlsCallbacks::handshake_done, c.get()) != SECSuccess ||
      SSL_AuthCertificateHook(ssl, TlsCallbacks::auth_cert, c.get()) != SECSuccess ||
      SSL_BadCertHook(ssl, TlsCallbacks::bad_cert, c.get()) != SECSuccess ||
      SSL_ResetHandshake(ssl, PR_TRUE) != SECSuccess) {
    *err = "cannot start the TLS handshake: " + nss_error_text();
    return nullptr;
  }
  return c;
}

TlsConn::~TlsConn() { close(); }

int TlsConn::os_fd() const { return os_fd_; }

TlsIo TlsConn::fail(const char* what) {
  PRErrorCode code = PR_GetError();
  if (code == PR_WOULD_BLOCK_ERROR)
    // While the handshake runs, NSS waits for the socket to take its flight before it reads on.
    return !handshake_done_ && send_blocked_ ? TlsIo::kWantWrite : TlsIo::kWantRead;
  if (code == PR_END_OF_FILE_ERROR) return TlsIo::kClosed;
  error_ = std::string(what) + ": " + nss_error_text(code);
  return TlsIo::kError;
}

TlsIo TlsConn::handshake() {
  if (!fd_) return TlsIo::kError;
  if (send_blocked_ && flush() == TlsIo::kError) return TlsIo::kError;
  // Each successful step may leave more to do; the handshake callback marks the end. The bound only
  // keeps a misbehaving peer from holding this call.
  for (int i = 0; i < 16 && !handshake_done_; i++)
    if (SSL_ForceHandshake(fd_) != SECSuccess) return fail("TLS handshake");
  if (!handshake_done_) return TlsIo::kWantRead;
  return flush();
}

TlsIo TlsConn::read(char* buf, size_t cap, size_t* got) {
  *got = 0;
  if (!fd_) return TlsIo::kError;
  if (cap == 0) return TlsIo::kOk;
  PRInt32 n = PR_Read(fd_, buf, cap > INT_MAX ? INT_MAX : static_cast<PRInt32>(cap));
  if (n == 0) return TlsIo::kClosed;
  if (n < 0) return fail("TLS read");
  *got = static_cast<size_t>(n);
  return TlsIo::kOk;
}

bool TlsConn::pending() const { return fd_ && SSL_DataPending(fd_) > 0; }

TlsIo TlsConn::write(const char* buf, size_t len, size_t* put) {
  *put = 0;
  if (!fd_) return TlsIo::kError;
  if (len == 0) return TlsIo::kOk;
  // NSS sends what it still holds before taking more, and refuses new bytes while it cannot.
  PRInt32 n = PR_Write(fd_, buf, len > INT_MAX ? INT_MAX : static_cast<PRInt32>(len));
  if (n < 0) {
    TlsIo r = fail("TLS write");
    return r == TlsIo::kWantRead ? TlsIo::kWantWrite : r;
  }
  *put = static_cast<size_t>(n);
  return TlsIo::kOk;
}

bool TlsConn::write_pending() const { return fd_ && send_blocked_; }

TlsIo TlsConn::flush() {
  if (!fd_) return TlsIo::kError;
  if (!send_blocked_) return TlsIo::kOk;
  // A write of nothing makes NSS send what it holds.
  if (PR_Write(fd_, "", 0) < 0) {
    TlsIo r = fail("TLS write");
    return r == TlsIo::kWantRead ? TlsIo::kWantWrite : r;
  }
  return send_blocked_ ? TlsIo::kWantWrite : TlsIo::kOk;
}

void TlsConn::close() {
  if (!fd_) return;
  // Closing sends close_notify when the handshake is done; on a non-blocking socket that is one try.
  PR_Close(fd_);
  fd_ = nullptr;
  os_fd_ = -1;
}

bool TlsConn::bad_certificate() const { return bad_cert_; }
const std::string& TlsConn::bad_certificate_text() const { return bad_cert_text_; }
const std::string& TlsConn::error() const { return error_; }

TlsClientCert TlsConn::client_certificate() const {
  TlsClientCert out;
  if (!fd_ || !handshake_done_) return out;
  UniqueCert cert(SSL_PeerCertificate(fd_));
  if (!cert) return out;
  out.presented = true;
  if (cert->subjectName) out.subject = cert->subjectName;
  cert_names(cert.get(), &out);
  if (bad_cert_) {
    out.problem = bad_cert_text_;
  } else if (verify_client_cert(cert.get(), fd_, PR_TRUE) == SECSuccess) {
    out.verified = true;
  } else {
    out.problem = cert_error_text(PR_GetError());
  }
  return out;
}

unsigned TlsConn::key_bits() const {
  SSLChannelInfo ch;
  if (!fd_ || !handshake_done_ || SSL_GetChannelInfo(fd_, &ch, sizeof ch) != SECSuccess) return 0;
  SSLCipherSuiteInfo info;
  if (SSL_GetCipherSuiteInfo(ch.cipherSuite, &info, sizeof info) != SECSuccess) return 0;
  return info.effectiveKeyBits;
}

std::string TlsConn::describe() const {
  SSLChannelInfo ch;
  if (!fd_ || !handshake_done_ || SSL_GetChannelInfo(fd_, &ch, sizeof ch) != SECSuccess) return "";
  std::string out;
  switch (ch.protocolVersion) {
    case SSL_LIBRARY_VERSION_TLS_1_2:
      out = "TLSv1.2";
      break;
    case SSL_LIBRARY_VERSION_TLS_1_3:
      out = "TLSv1.3";
      break;
    default:
      out = "TLS(" + std::to_string(ch.protocolVersion) + ")";
      break;
  }
  SSLCipherSuiteInfo info;
  if (SSL_GetCipherSuiteInfo(ch.cipherSuite, &info, sizeof info) == SECSuccess)
    out += std::string(" ") + info.cipherSuiteName;
  return out;
}
