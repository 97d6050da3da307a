// orvdaaci's options, directory search and output; see daaci.h.
#include "daaci/daaci.h"

#include <getopt.h>
#include <ldap.h>
#include <strings.h>
#include <sys/time.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "daaci/templates.h"

namespace {

// Bounds on how long an unresponsive server can hold the program.
constexpr int kConnectTimeoutSeconds = 30;
constexpr int kOperationTimeoutSeconds = 300;

constexpr const char kDomainFilter[] = "(objectclass=inetdomain)";
constexpr const char kOrgNodeAttr[] = "inetDomainBaseDN";

struct ldap_unbinder {
  void operator()(LDAP* ld) const noexcept { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct ldap_msg_freer {
  void operator()(LDAPMessage* msg) const noexcept { ldap_msgfree(msg); }
};
struct ldap_mem_freer {
  void operator()(char* p) const noexcept { ldap_memfree(p); }
};
struct ber_freer {
  void operator()(BerElement* ber) const noexcept { ber_free(ber, 0); }
};
struct ldap_values_freer {
  void operator()(berval** vals) const noexcept { ldap_value_free_len(vals); }
};
using ldap_ptr = std::unique_ptr<LDAP, ldap_unbinder>;
using ldap_msg_ptr = std::unique_ptr<LDAPMessage, ldap_msg_freer>;
using ldap_str_ptr = std::unique_ptr<char, ldap_mem_freer>;
using ber_ptr = std::unique_ptr<BerElement, ber_freer>;
using ldap_values_ptr = std::unique_ptr<berval*, ldap_values_freer>;

// The one place that turns an LDAP result code into operator text, in the
// classic "context: error (code)" form followed by what the server added.
void report_ldap_error(LDAP* ld, const char* context, int rc) {
  std::fprintf(stderr, "%s: %s (%d)\n", context, ldap_err2string(rc), rc);
  if (ld == nullptr) return;
  char* raw = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_MATCHED_DN, &raw) == LDAP_OPT_SUCCESS && raw != nullptr) {
    const ldap_str_ptr matched(raw);
    if (*matched != '\0') std::fprintf(stderr, "\tmatched DN: %s\n", matched.get());
  }
  raw = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &raw) == LDAP_OPT_SUCCESS &&
      raw != nullptr) {
    const ldap_str_ptr info(raw);
    if (*info != '\0') std::fprintf(stderr, "\tadditional info: %s\n", info.get());
  }
}

bool parse_port(std::string_view text, int* port) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  *port = value;
  return true;
}

// Builds "ldap://host:port" from -h and -p.  The host must be a plain name
// or address: anything else would change the meaning of the URL.
bool make_url(const daaci_options& opts, std::string* url) {
  const std::string& host = opts.host;
  if (host.empty()) return false;
  std::size_t colons = 0;
  for (char ch : host) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ':') {
      ++colons;
    } else if (!(std::isalnum(c) != 0 || c == '.' || c == '-' || c == '_')) {
      return false;
    }
  }
  if (colons == 1) return false;  // "host:port": the port belongs in -p
  *url = "ldap://";
  if (colons > 0) {
    *url += '[' + host + ']';  // IPv6 address
  } else {
    *url += host;
  }
  *url += ':' + std::to_string(opts.port) + '/';
  return true;
}

// Connects and binds; failures are reported as the program documents them.
ldap_ptr connect_and_bind(const daaci_options& opts) {
  std::string url;
  if (!make_url(opts, &url)) {
    std::fprintf(stderr, "ldap_init: invalid LDAP host \"%s\"\n", opts.host.c_str());
    return nullptr;
  }
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, url.c_str());
  ldap_ptr ld(raw);
  if (rc != LDAP_SUCCESS || ld == nullptr) {
    report_ldap_error(nullptr, "ldap_init", rc != LDAP_SUCCESS ? rc : LDAP_NO_MEMORY);
    return nullptr;
  }

  const int version = LDAP_VERSION3;
  const timeval connect_timeout{kConnectTimeoutSeconds, 0};
  const timeval op_timeout{kOperationTimeoutSeconds, 0};
  // The program reads one server; following a referral elsewhere would
  // send the bind password to a host the operator did not name.
  if (ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &connect_timeout) !=
          LDAP_OPT_SUCCESS ||
      ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &op_timeout) != LDAP_OPT_SUCCESS) {
    report_ldap_error(nullptr, "ldap_init", LDAP_LOCAL_ERROR);
    return nullptr;
  }

  berval cred{};
  cred.bv_val = const_cast<char*>(opts.password.c_str());  // not modified by the library
  cred.bv_len = opts.password.size();
  rc = ldap_sasl_bind_s(ld.get(), opts.bind_dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                        nullptr, nullptr);
  if (rc != LDAP_SUCCESS) {
    report_ldap_error(ld.get(), "Unable to authenticate to directory", rc);
    return nullptr;
  }
  return ld;
}

// Copies one search entry.  Returns false when the result is malformed.
bool read_entry(LDAP* ld, LDAPMessage* entry, daaci_domain* domain) {
  const ldap_str_ptr dn(ldap_get_dn(ld, entry));
  if (dn == nullptr) return false;
  domain->dn = dn.get();
  BerElement* raw_ber = nullptr;
  ldap_str_ptr attr(ldap_first_attribute(ld, entry, &raw_ber));
  const ber_ptr ber(raw_ber);
  // The attribute loop is bounded by the entry the server sent.
  for (; attr != nullptr; attr.reset(ldap_next_attribute(ld, entry, ber.get()))) {
    const ldap_values_ptr vals(ldap_get_values_len(ld, entry, attr.get()));
    if (vals == nullptr) continue;
    for (berval** v = vals.get(); *v != nullptr; ++v) {
      domain->org_nodes.emplace_back((*v)->bv_val, (*v)->bv_len);
    }
  }
  return true;
}

struct ldap_dn_freer {
  void operator()(LDAPRDN* dn) const noexcept { ldap_dnfree(dn); }
};
using ldap_dn_ptr = std::unique_ptr<LDAPRDN, ldap_dn_freer>;

// Parses an LDAPv3 DN; null when the text is not one.
ldap_dn_ptr parse_dn(const std::string& text) {
  berval bv{};
  bv.bv_val = const_cast<char*>(text.data());  // not modified by the library
  bv.bv_len = text.size();
  LDAPDN dn = nullptr;
  if (ldap_bv2dn(&bv, &dn, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return nullptr;
  return ldap_dn_ptr(dn);
}

bool same_bytes_nocase(const berval& a, const berval& b) {
  return a.bv_len == b.bv_len && (a.bv_len == 0 || strncasecmp(a.bv_val, b.bv_val, a.bv_len) == 0);
}

bool same_rdn(LDAPRDN a, LDAPRDN b) {
  for (; *a != nullptr && *b != nullptr; ++a, ++b) {
    if (!same_bytes_nocase((*a)->la_attr, (*b)->la_attr) || !same_bytes_nocase((*a)->la_value, (*b)->la_value)) {
      return false;
    }
  }
  return *a == nullptr && *b == nullptr;
}

std::size_t rdn_count(const LDAPRDN* dn) {
  std::size_t n = 0;
  while (dn[n] != nullptr) ++n;
  return n;
}

// Directory values in an operator message: bytes outside printable ASCII
// are written as \xNN so that a value cannot add lines to the message.
std::string printable(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

bool write_all(std::FILE* out, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

int finish_output(std::FILE* out) {
  if (std::fflush(out) != 0 || std::ferror(out) != 0) {
    std::fprintf(stderr, "orvdaaci: cannot write standard output: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

daaci_action daaci_parse_args(int argc, char** argv, daaci_options* opts, std::string* error) {
  bool have_bind_dn = false;
  bool have_password = false;
  bool have_dc_suffix = false;
  const char* bad_port = nullptr;
  opterr = 0;  // unknown option letters are ignored without a message
  optind = 0;  // full re-initialisation, so that tests may parse again
  int c;
  while ((c = getopt(argc, argv, "h:p:o:D:w:b:d")) != -1) {
    switch (c) {
      case 'h':
        opts->host = optarg;
        break;
      case 'p':
        if (!parse_port(optarg, &opts->port)) bad_port = optarg;
        break;
      case 'o':
        opts->osi_suffix = optarg;
        break;
      case 'D':
        opts->bind_dn = optarg;
        have_bind_dn = true;
        break;
      case 'w':
        opts->password = optarg;
        have_password = true;
        std::memset(optarg, 'x', std::strlen(optarg));
        break;
      case 'b':
        opts->dc_suffix = optarg;
        have_dc_suffix = true;
        break;
      case 'd':
        return daaci_action::generic_template;
      default:
        break;
    }
  }
  if (!have_bind_dn || !have_password || !have_dc_suffix) return daaci_action::usage;
  if (bad_port != nullptr) {
    *error = std::string("invalid LDAP port \"") + bad_port + "\" (expected 1 to 65535)";
    return daaci_action::bad_option;
  }
  return daaci_action::run;
}

void daaci_usage(std::FILE* out) {
  std::fputs(
      "orvdaaci -D AdminDN -w password -b DC_suffix [-h LDAP_host] [-p LDAP_port] "
      "[-o OSI_suffix]\n"
      "options:\n"
      "\t-D AdminDN     : bind DN (required)\n"
      "\t-w password    : bind password (required)\n"
      "\t-b DC suffix   : DC tree root suffix (required)\n"
      "\t-h ldaphost    : ldap server (default: localhost)\n"
      "\t-p ldapport    : ldap port (default: 389)\n"
      "\t-o OSI suffix  : OSI tree root suffix\n",
      out);
}

const std::string& daaci_osi_root(const daaci_options& opts) {
  return opts.osi_suffix ? *opts.osi_suffix : opts.dc_suffix;
}

bool daaci_single_rooted(const daaci_options& opts) {
  const std::string& osi = daaci_osi_root(opts);
  // DNs with embedded NULs cannot come from the command line; strcasecmp
  // on the C strings is exact here.
  return osi.size() == opts.dc_suffix.size() &&
         strcasecmp(osi.c_str(), opts.dc_suffix.c_str()) == 0;
}

void daaci_render_roots(std::string& out, const daaci_options& opts) {
  constexpr auto kMode = templates_mode::ldif_safe;
  const std::string& osi = daaci_osi_root(opts);
  templates_srvadmingrp(out, kMode, osi);
  templates_dcbaseaci(out, kMode, opts.dc_suffix, osi);
  if (!daaci_single_rooted(opts)) templates_osibaseaci(out, kMode, opts.dc_suffix, osi);
}

void daaci_render_domain(std::string& out, const daaci_domain& domain) {
  constexpr auto kMode = templates_mode::ldif_safe;
  for (const std::string& org : domain.org_nodes) {
    templates_dcnodeaci(out, kMode, domain.dn, org);
    templates_domadmingrp(out, kMode, org);
    templates_orgnodeaci(out, kMode, org);
  }
  out += '\n';
}

bool daaci_dn_below(const std::string& dn, const std::string& root) {
  const ldap_dn_ptr d = parse_dn(dn);
  const ldap_dn_ptr r = parse_dn(root);
  if (d == nullptr || r == nullptr) return false;
  const std::size_t nd = rdn_count(d.get());
  const std::size_t nr = rdn_count(r.get());
  if (nd <= nr) return false;
  for (std::size_t i = 0; i < nr; ++i) {
    if (!same_rdn(d.get()[nd - nr + i], r.get()[i])) return false;
  }
  return true;
}

int daaci_drop_foreign_org_nodes(const daaci_options& opts, daaci_domain* domain, std::FILE* warn) {
  const std::string& root = daaci_osi_root(opts);
  int dropped = 0;
  std::vector<std::string> kept;
  for (std::string& org : domain->org_nodes) {
    if (daaci_dn_below(org, root)) {
      kept.push_back(std::move(org));
      continue;
    }
    std::fprintf(warn, "orvdaaci: domain \"%s\": skipping %s \"%s\", which is not below \"%s\"\n",
                 printable(domain->dn).c_str(), kOrgNodeAttr, printable(org).c_str(), printable(root).c_str());
    ++dropped;
  }
  domain->org_nodes = std::move(kept);
  return dropped;
}

int daaci_fetch_domains(const daaci_options& opts, std::vector<daaci_domain>* domains) {
  const ldap_ptr ld = connect_and_bind(opts);
  if (ld == nullptr) return 1;

  std::string attr_name = kOrgNodeAttr;  // the C API wants mutable strings
  char* attrs[] = {attr_name.data(), nullptr};
  timeval limit{kOperationTimeoutSeconds, 0};
  LDAPMessage* raw = nullptr;
  const int rc = ldap_search_ext_s(ld.get(), opts.dc_suffix.c_str(), LDAP_SCOPE_SUBTREE,
                                   kDomainFilter, attrs, 0, nullptr, nullptr, &limit,
                                   LDAP_NO_LIMIT, &raw);
  const ldap_msg_ptr result(raw);
  // A partial answer (size or time limit, referral) is a failure too:
  // LDIF that silently misses domains would look complete.
  if (rc != LDAP_SUCCESS) {
    report_ldap_error(ld.get(), "Invalid search base", rc);
    return 1;
  }
  for (LDAPMessage* e = ldap_first_entry(ld.get(), result.get()); e != nullptr;
       e = ldap_next_entry(ld.get(), e)) {
    daaci_domain domain;
    if (!read_entry(ld.get(), e, &domain)) {
      std::fprintf(stderr, "orvdaaci: malformed entry in the search result\n");
      return 1;
    }
    domains->push_back(std::move(domain));
  }
  return 0;
}

int daaci_run(const daaci_options& opts, std::FILE* out) {
  std::vector<daaci_domain> domains;
  if (daaci_fetch_domains(opts, &domains) != 0) return 1;
  for (daaci_domain& domain : domains) daaci_drop_foreign_org_nodes(opts, &domain, stderr);
  std::string text;
  daaci_render_roots(text, opts);
  bool ok = write_all(out, text);
  for (const daaci_domain& domain : domains) {
    if (!ok) break;
    text.clear();
    daaci_render_domain(text, domain);
    ok = write_all(out, text);
  }
  return finish_output(out);
}

int daaci_write_template(std::FILE* out) {
  std::string text;
  templates_generic(text);
  write_all(out, text);
  return finish_output(out);
}
