// orvdaaci: writes the LDIF that prepares a directory for delegated
// administration of the mail service (administrator groups and the ACIs of
// the tree roots and of every hosted domain).
//
// The program reads the directory and never writes to it: the
// administrator reviews the LDIF and applies it with an LDAP modify tool.
// Everything except main() lives here so that tests can drive it.
//
// Failure reporting: operator messages go to standard error (the program
// links only the LDAP client library, not the server's logging); functions
// that talk to the directory return the program's exit status (0 success,
// 1 failure).  Output is written only after the directory has answered in
// full, so a failure leaves standard output empty.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

struct daaci_options {
  std::string host = "localhost";  // -h
  int port = 389;                  // -p
  std::string bind_dn;             // -D
  std::string password;            // -w
  std::string dc_suffix;           // -b: root of the domain-component tree
  std::optional<std::string> osi_suffix;  // -o: root of the organization tree
};

enum class daaci_action {
  run,               // options complete: contact the directory
  usage,             // -D, -w or -b missing: print the usage text, exit 0
  generic_template,  // -d: print the generic template, exit 0
  bad_option,        // an option value is unusable; the message is in `error`
};

// Parses the command line (option letters "h:p:o:D:w:b:d"; others are
// ignored quietly).  -d wins as soon as it is seen.  The -w argument is
// overwritten in argv so that the password does not stay visible in the
// process list.  Uses getopt(), so it is not reentrant.
daaci_action daaci_parse_args(int argc, char** argv, daaci_options* opts, std::string* error);

// Writes the usage text.
void daaci_usage(std::FILE* out);

// The OSI root: -o, or the DC suffix without it.
const std::string& daaci_osi_root(const daaci_options& opts);

// True when the DC and OSI roots are the same entry (equal ignoring ASCII
// case): the tree is single rooted and the OSI root gets no ACIs of its own.
bool daaci_single_rooted(const daaci_options& opts);

// A hosted domain: the DN of its inetDomain entry in the DC tree and the
// values of its "inetDomainBaseDN" attribute (its subtrees in the OSI tree),
// in the order the directory returned them.  Values are raw bytes.
struct daaci_domain {
  std::string dn;
  std::vector<std::string> org_nodes;
};

// Appends the records written once per run: the Service Administrators
// group, the DC root ACIs and, for a dual-rooted tree, the OSI root ACIs.
void daaci_render_roots(std::string& out, const daaci_options& opts);

// Appends the records of one domain: for each organization node its domain
// node ACI, Domain Administrators group and organization node ACIs; then
// the empty line that closes the domain.
void daaci_render_domain(std::string& out, const daaci_domain& domain);

// True when `dn` names an entry strictly below `root`: its last RDNs equal
// those of `root` (attribute types and values compared ignoring ASCII case,
// after the usual DN parsing, so escapes and blanks around separators do not
// matter) and it has at least one RDN more.  A value that is not a valid DN
// is below nothing.
bool daaci_dn_below(const std::string& dn, const std::string& root);

// Drops from `domain` every organization node that is not below the OSI
// root: whoever can write inetDomainBaseDN could otherwise aim the generated
// ACIs at any entry of the directory.  Each dropped value is reported on
// `warn` with the domain's DN.  Returns the number dropped.
int daaci_drop_foreign_org_nodes(const daaci_options& opts, daaci_domain* domain, std::FILE* warn);

// Connects to the directory, binds and finds every inetDomain entry under
// the DC suffix.  Reports failures on standard error ("Unable to
// authenticate to directory", "Invalid search base", ...).  Returns 0 with
// `domains` filled, or 1.
int daaci_fetch_domains(const daaci_options& opts, std::vector<daaci_domain>* domains);

// The whole run for `opts` (action run): fetch, drop organization nodes
// outside the OSI root (with a warning on standard error), then write the
// LDIF to `out`.  Returns the exit status.
int daaci_run(const daaci_options& opts, std::FILE* out);

// Writes the generic template to `out`.  Returns the exit status (1 only
// when writing fails).
int daaci_write_template(std::FILE* out);
