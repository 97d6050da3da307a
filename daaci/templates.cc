// Record tables of the delegated-administration LDIF; see templates.h.
#include "daaci/templates.h"

#include <array>
#include <cstddef>
#include <span>

#include "daaci/ldif.h"

namespace {

// One output line.  `fill` has one digit per "%s" of `text`, in order: the
// 1-based index of the record argument that replaces it.
struct tmpl_line {
  std::string_view text;
  std::string_view fill;
};

// The tables below are the ACI texts as deployed; keep them byte for byte,
// including blanks that look like typing slips ("version =1", "num=4 ,"):
// the texts identify the instructions in directories that already hold them.

// Service Administrators group: 1 = OSI root.
constexpr tmpl_line kSrvAdminGrp[] = {
    {"dn: cn=Service Administrators,ou=Groups,%s", "1"},
    {"changetype: add", ""},
    {"objectclass: top", ""},
    {"objectclass: groupOfUniqueNames", ""},
    {"objectclass: bvManagedDeptAdminGroup", ""},
    {"cn: Service Administrators", ""},
    {"", ""},
};

// Domain Administrators group of an organization node: 1 = organization node.
constexpr tmpl_line kDomAdminGrp[] = {
    {"dn: cn=Domain Administrators,ou=Groups,%s", "1"},
    {"changetype: add", ""},
    {"objectclass: top", ""},
    {"objectclass: groupOfUniqueNames", ""},
    {"objectclass: bvManagedDept", ""},
    {"objectclass: inetMailAdministrator", ""},
    {"mailadminrole: storeadmin", ""},
    {"cn: Domain Administrators", ""},
    {"", ""},
};

// ACIs of the DC root: 1 = DC root, 2 = OSI root.
constexpr tmpl_line kDcBaseAci[] = {
    {"dn: %s", "1"},
    {"changetype: modify", ""},
    {"replace: aci", ""},
    {"#-----------------------------------", ""},
    {"#", ""},
    {"# DLG User access control", ""},
    {"#", ""},
    {"# Allow read and search access to all attributes in all entries", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "DLGUser access - product=orv5.0,class=dlg,num=1,version=1"; allow (read,search) userdn="ldap:///uid=DLGUser,ou=config,%s";))~", "2"},
    {"#", ""},
    {"# Allow write access to bvNum* attributes of all domain entries", ""},
    {"#", ""},
    {R"~(aci: (targetattr="bvNumUsers||bvNumDepts||bvNumMailLists||bvNumDomains") (version 3.0; acl "DLGUser access - product=orv5.0,class=dlg,num=2,version=1"; allow (write) userdn="ldap:///uid=DLGUser,ou=config,%s";))~", "2"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Service Administrator access control", ""},
    {"#", ""},
    {"# Allow read and search access to all DCROOT nodes", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "SA root node access - product=orv5.0,class=dlg,num=3,version =1"; allow (all) groupdn="ldap:///cn=Service Administrators,ou=Groups,%s";))~", "2"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Administrator control.", ""},
    {"#", ""},
    {"# Access to dcroot to search for domain components", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "Domain Admin dc root access - product=orv5.0,class=dlg,num=4 ,version=1"; allow (read,search) userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" or userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)";))~", "12"},
    {"#", ""},
    {"# Deny write and delete access to any domain container node.", ""},
    {"#", ""},
    {R"~(aci: (targetfilter="objectclass=bvManagedDomain") (version 3.0; acl "Domain Admin domain container access - product=orv5.0,class=dlg,num=5,version=1"; deny (delete,write) userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" or userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)";))~", "12"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# User access control", ""},
    {"#", ""},
    {"# Allow read and search access to self", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetOrgPerson)) (version 3.0; acl "User self search and read - product=orv5.0,class=dlg,num=6,version=1"; allow (read,search) userdn="ldap:///self";))~", ""},
    {"#", ""},
    {"# Allow write access to self", ""},
    {"#", ""},
    {R"~(aci: (targetattr = "*") (version 3.0; acl "Allow self entry modification - product=orv5.0,class=dlg,num=7,version=1"; allow (write) userdn = "ldap:///self";))~", ""},
    {"#", ""},
    {"# Deny write access to self for uid, ou, owner,", ""},
    {"# bvDAModifiableBy, bvDACapability, mail, mailAlternateAddress,", ""},
    {"# memberOf, and bvDADomain attributes", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uid||ou||owner||bvDAModifiableBy||bvDACapability||mail||mailAlternateAddress||memberOf||bvDADomain||inetuserstatus||mailuserstatus||memberOfManagedGroup||mailQuota||mailMsgQuota||inetSubscriberAccountId||dataSource||mailhost||mailAllowedServiceAccess||pabURI||inetCOS") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0; acl "User self modification - product=orv5.0,class=dlg,num=8,version=1"; deny (write) userdn = "ldap:///self" and userdn != "ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" and userdn != "ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" and groupdn != "ldap:///cn=Service Administrators,ou=groups,%s";))~", "122"},
    {"#", ""},
    {"# Deny delete access to self", ""},
    {"#", ""},
    {R"~(aci: (targetfilter=(objectClass=inetOrgPerson)) (version 3.0; acl "User self deletion - product=orv5.0,class=dlg,num=9,version=1"; deny (delete) userdn="ldap:///self";))~", ""},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Mail List access control", ""},
    {"#", ""},
    {"# Allow designated users to create mail lists", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetMailGroupManagement)) (version 3.0; acl "Mail list create access - product=orv5.0,class=dlg,num=10,version=1"; allow (add) userdn="ldap:///%s??sub?(bvDACapability=mailListCreate)";))~", "1"},
    {"#", ""},
    {"# Allow maillist owner read, search, write, and delete access", ""},
    {"# to the maillists s/he owns except for the bvMaxUsers attr", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetMailGroupManagement)) (version 3.0; acl "Mail list owner access - product=orv5.0,class=dlg,num=11,version=1"; allow (read,search,write,delete) groupdnattr="ldap:///%s?owner";))~", "1"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Family Group Administrator access control", ""},
    {"#", ""},
    {"# family group read access", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm group read & search access - product=orv5.0 ,class=dlg,num=12,version=1"; allow (read,search) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "11"},
    {"#", ""},
    {"# family group write access for 'description' attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="description") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm description write access - product=orv5.0,class=dlg,num=13,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "11"},
    {"#", ""},
    {"# family group write access for 'mnggrpCurrentUsers' attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="mnggrpCurrentUsers") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm description write access - product=orv5.0,class=dlg,num=14,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "11"},
    {"#", ""},
    {"# family member create,delete,modify permissions", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0;acl "Family Group Adm member access - product=orv5.0,class=dlg,num=15,version=1"; allow (add,read,search,write,delete) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "11"},
    {"#", ""},
    {"# access to add,remove family admins of the same admin group", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uniquemember") (targetfilter=(&(|(objectClass=bvManagedDept)(objectClass=bvManagedDeptAdminGroup))(cn=Family Group Administrators*))) (version 3.0;acl "Family Group Adm admin write access - product=orv5.0,class=dlg,num=16,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?uniquemember";))~", "11"},
    {"#", ""},
    {"# access to add,remove memberof attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="memberOf") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0;acl "Family Adm user access - product=orv5.0,class=dlg,num=17,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "11"},
    {"#", ""},
    {"# Family Admin needs to read domain to get the dn", ""},
    {"#", ""},
    {R"~(aci: (targetattr="objectclass||preferredmailhost||preferredmailmessagestore") (targetfilter=(objectClass=domain)) (version 3.0;acl "Family Adm domain access - product=orv5.0,class=dlg,num=18,version=1"; allow (read,search) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" or userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)";))~", "21"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Organization Administrator", ""},
    {"#", ""},
    {"# Allow domain organization administrators to read the ", ""},
    {"# attributes from the dc tree.", ""},
    {"#", ""},
    {R"~(aci: (targetattr="objectclass||preferredmailhost||preferredmailmessagestore||dc") (targetfilter=(objectClass=domain)) (version 3.0;acl "Domain Organization Admin domain access - product=orv5.0,class=dlg,num=20,version=1"; allow (read,search) userdn="ldap:///%s??sub?(memberOf=cn=Domain Organization Administrators*)" or userdn="ldap:///%s??sub?(memberOf=cn=Domain Organization Administrators*)";))~", "12"},
    {"#", ""},
    {"# access to the Domain Organization nodes.", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetdomainorg))(version 3.0; acl "Domain Organization Administrator - Dom Org node read & search access - product=orv5.0,class=dlg,num=21,version=1"; allow (read,search) groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "1"},
    {"#", ""},
    {"# write access for selected attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="description||domOrgMaxUsers")(targetfilter=(objectClass=inetdomainorg))(version 3.0; acl "Domain Organization Administrator - Dom Org node write access - product=orv5.0,class=dlg,num=22,version=1"; allow (write) groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "1"},
    {"", ""},
};

// ACIs of the OSI root of a dual-rooted tree: 1 = DC root, 2 = OSI root.
constexpr tmpl_line kOsiBaseAci[] = {
    {"dn: %s", "2"},
    {"changetype: modify", ""},
    {"replace: aci", ""},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# DLG User access control", ""},
    {"#", ""},
    {"# Allow read and search access to all attributes in all entries", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "DLGUser access - product=orv5.0,class=dlg,num=1,version=1"; allow (read,search) userdn="ldap:///uid=DLGUser,ou=config,%s";))~", "2"},
    {"#", ""},
    {"# Allow write access to bvNum* attributes of all domain entries", ""},
    {"#", ""},
    {R"~(aci: (targetattr="bvNumUsers||bvNumDepts||bvNumMailLists||bvNumDomains") (version 3.0; acl "DLGUser access - product=orv5.0,class=dlg,num=2,version=1"; allow (write) userdn="ldap:///uid=DLGUser,ou=config,%s";))~", "2"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Service Administrator access control", ""},
    {"#", ""},
    {"# Allow read and search access to all DCROOT nodes", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "SA root node access - product=orv5.0,class=dlg,num=3,version=1"; allow (all) groupdn="ldap:///cn=Service Administrators,ou=Groups,%s";))~", "2"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Administrator control.", ""},
    {"#", ""},
    {"# Deny write and delete access to any domain container node.", ""},
    {"#", ""},
    {R"~(aci: (targetfilter="objectclass=bvManagedDomain") (version 3.0; acl "Domain Admin domain container access - product=orv5.0,class=dlg,num=5,version=1"; deny (delete,write) userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" or userdn="ldap:///%s??sub?(memberOf=cn=Domain Administrators*)";))~", "12"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# User access control", ""},
    {"#", ""},
    {"# Allow read and search access to self", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetOrgPerson)) (version 3.0; acl "User self search and read - product=orv5.0,class=dlg,num=6,version=1"; allow (read,search) userdn="ldap:///self";))~", ""},
    {"#", ""},
    {"# Allow write access to self", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "Allow self entry modification - product=orv5.0,class=dlg,num=7,version=1"; allow (write) userdn = "ldap:///self";))~", ""},
    {"#", ""},
    {"# Deny write access to self for uid, ou, owner,", ""},
    {"# bvDAModifiableBy, bvDACapability, mail, mailAlternateAddress,", ""},
    {"# memberOf, and bvDADomain attributes", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uid||ou||owner||bvDAModifiableBy||bvDACapability||mail||mailAlternateAddress||memberOf||bvDADomain||inetuserstatus||mailuserstatus||memberOfManagedGroup||mailQuota||mailMsgQuota||inetSubscriberAccountId||dataSource||mailhost||mailAllowedServiceAccess||pabURI||inetCOS") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0; acl "User self modification - product=orv5.0,class=dlg,num=8,version=1"; deny (write) userdn = "ldap:///self" and userdn != "ldap:///%s??sub?(memberOf=cn=Domain Administrators*)" and userdn != "ldap:///%s??sub?(memberOf=cn=Domain Administrators*)"and groupdn != "ldap:///cn=Service Administrators,ou=groups,%s";))~", "212"},
    {"#", ""},
    {"# Deny delete access to self", ""},
    {"#", ""},
    {R"~(aci: (targetfilter=(objectClass=inetOrgPerson)) (version 3.0; acl "User self deletion - product=orv5.0,class=dlg,num=9,version=1"; deny (delete) userdn="ldap:///self";))~", ""},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Mail List access control", ""},
    {"#", ""},
    {"# Allow designated users to create mail lists", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetMailGroupManagement)) (version 3.0; acl "Mail list create access - product=orv5.0,class=dlg,num=10,version=1"; allow (add) userdn="ldap:///%s??sub?(bvDACapability=mailListCreate)";))~", "2"},
    {"#", ""},
    {"# Allow maillist owner read, search, write, and delete access", ""},
    {"# to the maillists s/he owns except for the bvMaxUsers attr", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetMailGroupManagement)) (version 3.0; acl "Mail list owner access - product=orv5.0,class=dlg,num=11,version=1"; allow (read,search,write,delete) groupdnattr="ldap:///%s?owner";))~", "2"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Family Group Administrator access control", ""},
    {"#", ""},
    {"# family group read access", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm group read & search access - product=orv5.0,class=dlg,num=12,version=1"; allow (read,search) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "22"},
    {"#", ""},
    {"# family group write access for 'description' attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="description") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm description write access - product=orv5.0,class=dlg,num=13,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "22"},
    {"#", ""},
    {"# family group write access for 'mnggrpCurrentUsers' attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="mnggrpCurrentUsers") (targetfilter=(objectClass=inetManagedGroup)) (version 3.0; acl "Family Group Adm description write access - product=orv5.0,class=dlg,num=14,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "22"},
    {"#", ""},
    {"# family member create,delete,modify permissions", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0;acl "Family Group Adm member access - product=orv5.0,class=dlg,num=15,version=1"; allow (add,read,search,write,delete) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "22"},
    {"#", ""},
    {"# access to add,remove family admins of the same admin group", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uniquemember") (targetfilter=(&(|(objectClass=bvManagedDept)(objectClass=bvManagedDeptAdminGroup))(cn=Family Group Administrators*))) (version 3.0;acl "Family Group Adm admin write access - product=orv5.0,class=dlg,num=16,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?uniquemember";))~", "22"},
    {"#", ""},
    {"# access to add,remove memberof attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="memberOf") (targetfilter=(objectClass=bvManagedPerson)) (version 3.0;acl "Family Adm user access - product=orv5.0,class=dlg,num=17,version=1"; allow (write) userdn="ldap:///%s??sub?(memberOf=cn=Family Group Administrators*)" and groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "22"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Organization Administrator", ""},
    {"#", ""},
    {"# access to the Domain Organization nodes.", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (targetfilter=(objectClass=inetdomainorg))(version 3.0; acl "Domain Organization Administrator - Dom Org node read & search access - product=orv5.0,class=dlg,num=21,version=1"; allow (read,search) groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "2"},
    {"#", ""},
    {"# write access for selected attribute", ""},
    {"#", ""},
    {R"~(aci: (targetattr="description||domOrgMaxUsers")(targetfilter=(objectClass=inetdomainorg)) (version 3.0; acl "Domain Organization Administrator - Dom Org node write access - product=orv5.0,class=dlg,num=22,version=1"; allow (write) groupdnattr="ldap:///%s?bvDAModifiableBy";))~", "2"},
    {"", ""},
};

// ACI of a domain node: 1 = domain node, 2 = organization node.
constexpr tmpl_line kDcNodeAci[] = {
    {"dn: %s", "1"},
    {"changetype: modify", ""},
    {"replace: aci", ""},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Administrator access to clx attributes", ""},
    {"#", ""},
    {R"~(aci: (targetattr="clxTimeZone||clxMandatorySubscribed||clxMandatoryView||clxDefaultAccess||clxRecurrenceBound||clxRecurrenceDate||clxAnonymousLogin||clxAnonymousAllowWrite||clxAnonymousCalendar||clxAnonymousSet||clxAnonymousDefaultSet||clxSessionTimeout||clxAllowRights||clxExtended||clxExtendedDomainPrefs")(targetfilter=(objectClass=clxCalendarDomain))(version 3.0; acl "Domain Adm calendar access - product=orv5.0,class=dlg,num=16,version=1"; allow (all) groupdn="ldap:///cn=Domain Administrators,ou=Groups,%s";))~", "2"},
    {"", ""},
};

// ACIs of an organization node: 1 = organization node.
constexpr tmpl_line kOrgNodeAci[] = {
    {"dn: %s", "1"},
    {"changetype: modify", ""},
    {"replace: aci", ""},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# Domain Administrator access control", ""},
    {"#", ""},
    {"# allow full access to the domains user/group subtree", ""},
    {"#", ""},
    {R"~(aci: (targetattr="*") (version 3.0; acl "Domain Admin Domain access - product=orv5.0,class=dlg,num=18,version=1"; allow (all) groupdn="ldap:///cn=Domain Administrators,ou=Groups,%s";))~", "1"},
    {"#", ""},
    {"#-----------------------------------", ""},
    {"# End user access control", ""},
    {"# allow users to read and search all users in the domain", ""},
    {"#", ""},
    {R"~(aci: (targetattr!="userPassword") (targetfilter=(|(objectClass=inetOrgPerson)(objectclass=bvManagedDomain))) (version 3.0; acl "User access to all users in domain - product=orv5.0,class=dlg,num=19,version=1"; allow (read,search) userdn="ldap:///%s??sub?(objectclass=inetOrgPerson)";))~", "1"},
    {"#", ""},
    {"# allow users to add themselves to self subscribe mail lists", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uniqueMember") (targetfilter=(&(objectClass=bvManagedMailList)(|(mgmanJoinability=anyone)(mgmanJoinability=all)))) (version 3.0; acl "User mail list self subscribe access - product=orv5.0,class=dlg,num=20,version=1"; allow (selfwrite) userdn="ldap:///%s??sub?(objectclass=inetOrgPerson)";))~", "1"},
    {"#", ""},
    {"# hide group members when they are marked hidden", ""},
    {"#", ""},
    {R"~(aci: (targetattr!="uniqueMember||mgrpRfc822MailMember") (targetfilter=(&(objectClass=inetMailGroupManagement)(mgmanHidden=false))) (version 3.0; acl "User mail list access when visible - product=orv5.0,class=dlg,num=21,version=1"; allow (read,search) userdn="ldap:///%s??sub?(objectclass=inetOrgPerson)";))~", "1"},
    {"#", ""},
    {"# hide group members when they are marked hidden", ""},
    {"#", ""},
    {R"~(aci: (targetattr="uniqueMember||mgrpRfc822MailMember") (targetfilter=(&(objectClass=inetMailGroupManagement) (|(mgmanMemberVisibility=anyone)(mgmanMemberVisibility=all)))) (version 3.0; acl "User mail list member access - product=orv5.0,class=dlg,num=22,version=1"; allow (read,search) userdn="ldap:///%s??sub?(objectclass=inetOrgPerson)";))~", "1"},
    {"", ""},
};
// A line that holds a name must read "attribute: ...%s..." so that the name
// can move into a base64 value when it is not LDIF-safe.
constexpr bool line_ok(const tmpl_line& line, std::size_t arity) {
  std::size_t holes = 0;
  for (std::size_t pos = line.text.find("%s"); pos != std::string_view::npos;
       pos = line.text.find("%s", pos + 2)) {
    ++holes;
  }
  if (holes != line.fill.size()) return false;
  for (char digit : line.fill) {
    if (digit < '1' || static_cast<std::size_t>(digit - '0') > arity) return false;
  }
  if (holes == 0) return true;
  const std::size_t colon = line.text.find(": ");
  return colon != std::string_view::npos && colon > 0 && colon < line.text.find("%s") &&
         line.text.substr(0, colon).find_first_of(" :#") == std::string_view::npos;
}

template <std::size_t N>
constexpr bool table_ok(const tmpl_line (&table)[N], std::size_t arity) {
  for (const tmpl_line& line : table) {
    if (!line_ok(line, arity)) return false;
  }
  // Every record ends with the empty line that separates LDIF records, and
  // holds no other.
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (table[i].text.empty()) return false;
  }
  return table[N - 1].text.empty();
}

static_assert(table_ok(kSrvAdminGrp, 1));
static_assert(table_ok(kDomAdminGrp, 1));
static_assert(table_ok(kDcBaseAci, 2));
static_assert(table_ok(kOsiBaseAci, 2));
static_assert(table_ok(kDcNodeAci, 2));
static_assert(table_ok(kOrgNodeAci, 1));

void render(std::string& out, std::span<const tmpl_line> table,
            std::span<const std::string_view> args, templates_mode mode) {
  std::string line;
  for (const tmpl_line& tl : table) {
    if (tl.fill.empty()) {
      out += tl.text;
      out += '\n';
      continue;
    }
    line.clear();
    std::size_t from = 0;
    for (char digit : tl.fill) {
      const std::size_t hole = tl.text.find("%s", from);
      line += tl.text.substr(from, hole - from);
      line += args[static_cast<std::size_t>(digit - '1')];
      from = hole + 2;
    }
    line += tl.text.substr(from);
    if (mode == templates_mode::verbatim) {
      out += line;
      out += '\n';
    } else {
      // line_ok() guarantees "name: " ahead of the first name.
      const std::size_t colon = line.find(": ");
      ldif_append_line(out, std::string_view(line).substr(0, colon),
                       std::string_view(line).substr(colon + 2));
    }
  }
}

}  // namespace

void templates_srvadmingrp(std::string& out, templates_mode mode, std::string_view osi_root) {
  const std::array<std::string_view, 1> args{osi_root};
  render(out, kSrvAdminGrp, args, mode);
}

void templates_domadmingrp(std::string& out, templates_mode mode, std::string_view org_node) {
  const std::array<std::string_view, 1> args{org_node};
  render(out, kDomAdminGrp, args, mode);
}

void templates_dcbaseaci(std::string& out, templates_mode mode, std::string_view dc_root,
                         std::string_view osi_root) {
  const std::array<std::string_view, 2> args{dc_root, osi_root};
  render(out, kDcBaseAci, args, mode);
}

void templates_osibaseaci(std::string& out, templates_mode mode, std::string_view dc_root,
                          std::string_view osi_root) {
  const std::array<std::string_view, 2> args{dc_root, osi_root};
  render(out, kOsiBaseAci, args, mode);
}

void templates_dcnodeaci(std::string& out, templates_mode mode, std::string_view dc_node,
                         std::string_view org_node) {
  const std::array<std::string_view, 2> args{dc_node, org_node};
  render(out, kDcNodeAci, args, mode);
}

void templates_orgnodeaci(std::string& out, templates_mode mode, std::string_view org_node) {
  const std::array<std::string_view, 1> args{org_node};
  render(out, kOrgNodeAci, args, mode);
}

void templates_generic(std::string& out) {
  constexpr auto kMode = templates_mode::verbatim;
  templates_srvadmingrp(out, kMode, "<OrgRoot>");
  templates_osibaseaci(out, kMode, "<DCRoot>", "<OrgRoot>");
  templates_dcbaseaci(out, kMode, "<DCRoot>", "<OrgRoot>");
  templates_domadmingrp(out, kMode, "<OrgNodeDN>");
  templates_orgnodeaci(out, kMode, "<OrgNodeDN>");
  templates_dcnodeaci(out, kMode, "<DCNodeDN>", "<OrgNodeDN>");
}
