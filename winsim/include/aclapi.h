// winsim stand-in for <aclapi.h>: building ACLs and applying them to objects.
// Only registry keys (SE_REGISTRY_KEY) are securable here.
#pragma once

#include <windows.h>
#include <accctrl.h>

// Builds a new ACL (freed with LocalFree) from the old one and the entries.
// Trustee names resolve to the well-known accounts ("Users",
// "Administrators", "SYSTEM", "Everyone", "Authenticated Users", with or
// without their "BUILTIN\" / "NT AUTHORITY\" prefix); others fail with
// ERROR_NONE_MAPPED.
DWORD WINAPI SetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL old_acl, PACL* new_acl);
DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION security_info,
                             PSID owner, PSID group, PACL dacl, PACL sacl);
