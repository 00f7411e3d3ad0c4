// ACLs: InitializeAcl, SetEntriesInAclA and SetSecurityInfo on registry keys.
// ACLs are laid out in memory as on Windows (header, then ACEs with their
// SIDs), so product code can pass them around and free them with LocalFree.
#include "registry/key_tree.h"

#include <aclapi.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace winsim::detail::registry {
namespace {

struct well_known_account {
  const char* name;
  const char* qualified;
  BYTE authority;
  std::vector<DWORD> sub_authorities;
};

const std::vector<well_known_account>& accounts() {
  static const std::vector<well_known_account> known = {
      {"Everyone", "Everyone", 1, {0}},
      {"Authenticated Users", "NT AUTHORITY\\Authenticated Users", 5, {11}},
      {"SYSTEM", "NT AUTHORITY\\SYSTEM", 5, {18}},
      {"Administrators", "BUILTIN\\Administrators", 5, {32, 544}},
      {"Users", "BUILTIN\\Users", 5, {32, 545}},
  };
  return known;
}

std::vector<BYTE> make_sid(BYTE authority, const std::vector<DWORD>& sub_authorities) {
  std::vector<BYTE> sid = {1, static_cast<BYTE>(sub_authorities.size()), 0, 0, 0, 0, 0, authority};
  for (DWORD sub : sub_authorities) {
    for (int i = 0; i < 4; ++i) sid.push_back(static_cast<BYTE>(sub >> (8 * i)));
  }
  return sid;
}

bool same_text(const std::string& a, const char* b) { return fold(a) == fold(b); }

bool sid_for_name(const char* name, std::vector<BYTE>* sid) {
  if (name == nullptr) return false;
  for (const auto& account : accounts()) {
    if (same_text(name, account.name) || same_text(name, account.qualified)) {
      *sid = make_sid(account.authority, account.sub_authorities);
      return true;
    }
  }
  return false;
}

// Size of a SID at `p` with at most `limit` bytes available; 0 when malformed.
size_t sid_size(const BYTE* p, size_t limit) {
  if (p == nullptr || limit < 8 || p[0] != 1 || p[1] > 15) return 0;
  const size_t size = 8 + 4u * p[1];
  return size <= limit ? size : 0;
}

// Parses a Windows-layout ACL; false when it is not one.
bool parse_acl(const ACL* acl, std::vector<ace_entry>* entries) {
  entries->clear();
  if (acl == nullptr) return true;
  if ((acl->AclRevision != ACL_REVISION && acl->AclRevision != ACL_REVISION_DS) || acl->AclSize < sizeof(ACL)) {
    return false;
  }
  const BYTE* base = reinterpret_cast<const BYTE*>(acl);
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (offset + sizeof(ACE_HEADER) > acl->AclSize) return false;
    ACE_HEADER header;
    std::memcpy(&header, base + offset, sizeof(header));
    if (header.AceSize < 8 || offset + header.AceSize > acl->AclSize) return false;
    if (header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_DENIED_ACE_TYPE) return false;
    ace_entry entry;
    entry.type = header.AceType;
    entry.flags = header.AceFlags;
    std::memcpy(&entry.mask, base + offset + 4, sizeof(ACCESS_MASK));
    const size_t sid_bytes = sid_size(base + offset + 8, header.AceSize - 8u);
    if (sid_bytes == 0) return false;
    entry.sid.assign(base + offset + 8, base + offset + 8 + sid_bytes);
    entries->push_back(std::move(entry));
    offset += header.AceSize;
  }
  return true;
}

// A LocalAlloc'd ACL holding `entries`.
PACL build_acl(const std::vector<ace_entry>& entries) {
  size_t size = sizeof(ACL);
  for (const auto& e : entries) size += 8 + e.sid.size();
  auto* acl = static_cast<PACL>(LocalAlloc(LPTR, size));
  if (acl == nullptr) return nullptr;
  acl->AclRevision = ACL_REVISION;
  acl->AclSize = static_cast<WORD>(size);
  acl->AceCount = static_cast<WORD>(entries.size());
  BYTE* p = reinterpret_cast<BYTE*>(acl) + sizeof(ACL);
  for (const auto& e : entries) {
    ACE_HEADER header{e.type, e.flags, static_cast<WORD>(8 + e.sid.size())};
    std::memcpy(p, &header, sizeof(header));
    std::memcpy(p + 4, &e.mask, sizeof(e.mask));
    std::memcpy(p + 8, e.sid.data(), e.sid.size());
    p += header.AceSize;
  }
  return acl;
}

}  // namespace

std::string account_name(const std::vector<BYTE>& sid) {
  for (const auto& account : accounts()) {
    if (make_sid(account.authority, account.sub_authorities) == sid) return account.name;
  }
  return "";
}

std::string sid_string(const std::vector<BYTE>& sid) {
  if (sid.size() < 8) return "S-?";
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (size_t offset = 8; offset + 4 <= sid.size(); offset += 4) {
    DWORD sub = 0;
    for (int i = 3; i >= 0; --i) sub = (sub << 8) | sid[offset + i];
    text += "-" + std::to_string(sub);
  }
  return text;
}

}  // namespace winsim::detail::registry

namespace reg = winsim::detail::registry;

BOOL WINAPI InitializeAcl(PACL acl, DWORD acl_length, DWORD acl_revision) {
  DWORD error = 0;
  if (winsim::detail::should_fail("InitializeAcl", &error)) {
    SetLastError(error);
    return FALSE;
  }
  // Every revision from ACL_REVISION2 to ACL_REVISION4 is accepted, not only
  // the two the documentation names.
  constexpr DWORD lowest_revision = 2;
  constexpr DWORD highest_revision = 4;
  if (acl == nullptr || acl_revision < lowest_revision || acl_revision > highest_revision || acl_length > 0xFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (acl_length < sizeof(ACL)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  acl->AclRevision = static_cast<BYTE>(acl_revision);
  acl->Sbz1 = 0;
  acl->AclSize = static_cast<WORD>(acl_length & ~3u);
  acl->AceCount = 0;
  acl->Sbz2 = 0;
  return TRUE;
}

DWORD WINAPI SetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL old_acl, PACL* new_acl) {
  DWORD error = 0;
  if (winsim::detail::should_fail("SetEntriesInAclA", &error)) return error;
  if (new_acl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  *new_acl = nullptr;
  std::vector<reg::ace_entry> result;
  if (!reg::parse_acl(old_acl, &result)) return ERROR_INVALID_ACL;

  for (ULONG i = 0; i < count; ++i) {
    const EXPLICIT_ACCESS_A& entry = entries[i];
    const TRUSTEE_A& trustee = entry.Trustee;
    if (trustee.pMultipleTrustee != nullptr || trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
      return ERROR_INVALID_PARAMETER;
    }
    std::vector<BYTE> sid;
    if (trustee.TrusteeForm == TRUSTEE_IS_NAME) {
      if (!reg::sid_for_name(trustee.ptstrName, &sid)) return ERROR_NONE_MAPPED;
    } else if (trustee.TrusteeForm == TRUSTEE_IS_SID) {
      const BYTE* p = reinterpret_cast<const BYTE*>(trustee.ptstrName);
      const size_t size = reg::sid_size(p, 68);
      if (size == 0) return ERROR_INVALID_PARAMETER;
      sid.assign(p, p + size);
    } else {
      return ERROR_INVALID_PARAMETER;
    }
    if ((entry.grfInheritance & ~static_cast<DWORD>(VALID_INHERIT_FLAGS)) != 0) return ERROR_INVALID_PARAMETER;
    const BYTE flags = static_cast<BYTE>(entry.grfInheritance);
    auto for_trustee = [&](const reg::ace_entry& e) { return e.sid == sid; };

    switch (entry.grfAccessMode) {
      case NOT_USED_ACCESS:
        break;
      case GRANT_ACCESS: {
        auto it = std::find_if(result.begin(), result.end(), [&](const reg::ace_entry& e) {
          return for_trustee(e) && e.type == ACCESS_ALLOWED_ACE_TYPE && e.flags == flags;
        });
        if (it != result.end()) {
          it->mask |= entry.grfAccessPermissions;
        } else {
          result.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, entry.grfAccessPermissions, sid});
        }
        break;
      }
      case SET_ACCESS:
        // Replaces whatever the trustee had.
        result.erase(std::remove_if(result.begin(), result.end(), for_trustee), result.end());
        result.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, entry.grfAccessPermissions, sid});
        break;
      case DENY_ACCESS:
        result.push_back({ACCESS_DENIED_ACE_TYPE, flags, entry.grfAccessPermissions, sid});
        break;
      case REVOKE_ACCESS:
        result.erase(std::remove_if(result.begin(), result.end(), for_trustee), result.end());
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  // Canonical order: denying entries before allowing ones.
  std::stable_partition(result.begin(), result.end(),
                        [](const reg::ace_entry& e) { return e.type == ACCESS_DENIED_ACE_TYPE; });
  *new_acl = reg::build_acl(result);
  return *new_acl != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

DWORD WINAPI SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE object_type, SECURITY_INFORMATION security_info, PSID,
                             PSID, PACL dacl, PACL) {
  DWORD error = 0;
  if (winsim::detail::should_fail("SetSecurityInfo", &error)) return error;
  if (object_type != SE_REGISTRY_KEY) return ERROR_INVALID_PARAMETER;
  if ((security_info & PROTECTED_DACL_SECURITY_INFORMATION) != 0 &&
      (security_info & UNPROTECTED_DACL_SECURITY_INFORMATION) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  auto key = reg::resolve(reinterpret_cast<HKEY>(handle));
  if (!key) return ERROR_INVALID_HANDLE;
  // The handle must have been opened for what is changed.
  ACCESS_MASK needed = 0;
  if (security_info & (DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                       UNPROTECTED_DACL_SECURITY_INFORMATION)) {
    needed |= WRITE_DAC;
  }
  if (security_info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) {
    needed |= WRITE_OWNER;
  }
  if (security_info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
  if ((key->access & needed) != needed) return ERROR_ACCESS_DENIED;

  std::vector<reg::ace_entry> entries;
  if ((security_info & DACL_SECURITY_INFORMATION) != 0 && !reg::parse_acl(dacl, &entries)) return ERROR_INVALID_ACL;
  // Stored rights are key rights, as the object manager maps generic ones.
  for (auto& e : entries) e.mask = reg::map_generic(e.mask);

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  auto& node = *key->node;
  if (node.deleted) return ERROR_KEY_DELETED;
  if (security_info & DACL_SECURITY_INFORMATION) {
    node.dacl = std::move(entries);
    ++node.dacl_writes;
  }
  if (security_info & PROTECTED_DACL_SECURITY_INFORMATION) node.inherits = false;
  if (security_info & UNPROTECTED_DACL_SECURITY_INFORMATION) node.inherits = true;
  reg::report_change(key->node, REG_NOTIFY_CHANGE_SECURITY | REG_NOTIFY_CHANGE_ATTRIBUTES);
  return ERROR_SUCCESS;
}
