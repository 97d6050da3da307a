// The LDIF change records that install the delegated-administration groups
// and access-control instructions (ACIs).
//
// Each record is a fixed table of lines in which "%s" stands for a
// distinguished name; the functions below append one record, lines ended by
// "\n" and the record by an empty line, to a caller-owned string.  The texts
// are reproduced byte for byte, irregular blanks included, because sites
// match existing ACIs by their exact text.
//
// Modes: `verbatim` writes the names as given (the generic template with its
// "<DCRoot>"-style placeholders); `ldif_safe` writes every line that holds a
// name through ldif_append_line(), so a name that is not a safe LDIF string
// turns that line into its base64 form ("dn:: ", "aci:: ") instead of
// breaking the record.  No failures; no state.
#pragma once

#include <string>
#include <string_view>

enum class templates_mode { verbatim, ldif_safe };

// "cn=Service Administrators,ou=Groups,<OSI root>" group.
void templates_srvadmingrp(std::string& out, templates_mode mode, std::string_view osi_root);

// "cn=Domain Administrators,ou=Groups,<organization node>" group.
void templates_domadmingrp(std::string& out, templates_mode mode, std::string_view org_node);

// Replaces the ACIs of the DC root.
void templates_dcbaseaci(std::string& out, templates_mode mode, std::string_view dc_root,
                         std::string_view osi_root);

// Replaces the ACIs of the OSI root (dual-rooted trees only).
void templates_osibaseaci(std::string& out, templates_mode mode, std::string_view dc_root,
                          std::string_view osi_root);

// Replaces the ACI of a domain node (an inetDomain entry of the DC tree)
// whose users live under `org_node`.
void templates_dcnodeaci(std::string& out, templates_mode mode, std::string_view dc_node,
                         std::string_view org_node);

// Replaces the ACIs of an organization node (a domain's subtree of the OSI
// tree).
void templates_orgnodeaci(std::string& out, templates_mode mode, std::string_view org_node);

// The generic template written by "orvdaaci -d": every record once, with
// the placeholders <OrgRoot>, <DCRoot>, <OrgNodeDN> and <DCNodeDN>.
void templates_generic(std::string& out);
