#include "config/registry_store.h"

#include "logging/trace_line.h"

#include <aclapi.h>

#include <utility>
#include <vector>

namespace ostrel::win32 {

using logging::log_level;
using logging::trace_line;

namespace {

constexpr const char* tag = "runner";

// The one explicit entry of a key users may change: "Users" may read it and
// set its values, and nothing below inherits that.
EXPLICIT_ACCESS_A users_read_write_entry() {
  EXPLICIT_ACCESS_A entry{};
  entry.grfAccessPermissions = GENERIC_READ | KEY_SET_VALUE;  // 0x80000002
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = const_cast<LPSTR>("Users");
  return entry;
}

// Copies one value from `from` to `to` unless the target already has it.
void copy_value(const registry_key& from, const registry_key& to, const std::string& name) {
  if (RegQueryValueExA(to.handle.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
    trace_line(log_level::info, tag) << "Registry value " << name << " already exists in " << to.path;
    return;
  }
  trace_line(log_level::info, tag) << "Copy " << name << " from " << from.path << " to " << to.path;
  DWORD type = 0;
  if (RegQueryValueExA(from.handle.get(), name.c_str(), nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) type = 0;

  if (type == REG_DWORD) {
    trace_line(log_level::info, tag) << "Read registry value: " << name;
    DWORD value = 0;
    DWORD size = sizeof(value);
    LSTATUS status = RegGetValueA(from.handle.get(), nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size);
    if (status != ERROR_SUCCESS) {
      trace_line(log_level::error, tag) << "Failed to read registry value " << name << ": " << status;
      return;
    }
    trace_line(log_level::info, tag) << "Write registry value: " << name << " = " << value;
    status = RegSetValueExA(to.handle.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof(value));
    if (status != ERROR_SUCCESS) {
      trace_line(log_level::error, tag) << "Failed to write registry value " << name << ": " << status;
    }
  } else if (type == REG_SZ) {
    std::string text;
    if (read_string_value(from, name, text)) write_string_value(to, name, text);
  } else {
    trace_line(log_level::error, tag) << "Unsupported registry value type: " << type;
  }
}

// Opens the target of a copy, or creates it. An existing key loses whatever
// explicit entries it had.
bool open_or_create_target(registry_key& to) {
  // The target's rights are rewritten, so its handle needs WRITE_DAC.
  if (open_key(to, read_write_access | WRITE_DAC)) {
    ACL default_access{};
    if (!InitializeAcl(&default_access, sizeof(ACL), ACL_REVISION) || !set_permissions(to, &default_access)) {
      trace_line(log_level::error, tag) << "Failed to set permissions";
      return false;
    }
    return true;
  }
  trace_line(log_level::info, tag) << "Create registry: " << to.path;
  const LSTATUS status = RegCreateKeyExA(to.root, to.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, to.handle.put(), nullptr);
  if (status != ERROR_SUCCESS) {
    to.handle.release();  // no key was created: nothing to close
    trace_line(log_level::error, tag) << "Failed to create key: " << status;
    trace_line(log_level::error, tag) << "Failed to create key";
    return false;
  }
  return true;
}

// Adds the "Users" read/set-value entry to the target's explicit rights.
bool grant_users_read_write(const registry_key& to) {
  EXPLICIT_ACCESS_A entry = users_read_write_entry();
  PACL acl = nullptr;
  if (SetEntriesInAclA(1, &entry, /*OldAcl=*/nullptr, &acl) != ERROR_SUCCESS) {
    trace_line(log_level::error, tag) << "SetEntriesInAcl failed";
    return false;
  }
  const unique_hlocal owned_acl(acl);
  if (!set_permissions(to, acl)) {
    trace_line(log_level::error, tag) << "Failed to set write permissions";
    return false;
  }
  return true;
}

// Copies the key's own values (a value the target has already stays).
void copy_values(const registry_key& from, const registry_key& to, DWORD values, DWORD longest_value_name) {
  trace_line(log_level::info, tag) << "Copy values " << values << " from " << from.path << " to " << to.path;
  std::vector<char> name(longest_value_name + 2);
  for (DWORD index = 0; index < values; ++index) {
    DWORD length = longest_value_name + 1;
    if (RegEnumValueA(from.handle.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    copy_value(from, to, std::string(name.data(), length));
  }
}

// Copies every sub-key tree; the first that fails ends the copy.
bool copy_sub_keys(const registry_key& from, const registry_key& to, DWORD sub_keys, DWORD longest_sub_key) {
  std::vector<char> child_name(longest_sub_key + 1);
  for (DWORD index = 0; index < sub_keys; ++index) {
    DWORD length = longest_sub_key + 1;
    if (RegEnumKeyExA(from.handle.get(), index, child_name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      continue;
    }
    const std::string name(child_name.data(), length);
    registry_key child_from(HKEY_LOCAL_MACHINE, from.path + "\\" + name);
    registry_key child_to(HKEY_LOCAL_MACHINE, to.path + "\\" + name);
    // Users may change settings anywhere under a UserSettings key.
    const bool user_settings = child_from.path.find("UserSettings") != std::string::npos;
    const access_mode child_mode = user_settings ? access_mode::read_write : access_mode::default_access;
    if (!move_registry_key(child_from, child_to, child_mode, /*skip_values=*/false)) return false;
  }
  return true;
}

}  // namespace

key_handle create_key(const std::string& path) {
  HKEY key = nullptr;
  const LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    trace_line(log_level::error, tag) << "Failed RegCreateKeyExA: status = " << status;
    return key_handle();
  }
  return key_handle(key);
}

bool open_key(registry_key& key, REGSAM access) {
  trace_line(log_level::info, tag) << "Open registry: " << key.path;
  key.close();
  const LSTATUS status = RegOpenKeyExA(key.root, key.path.c_str(), 0, access, key.handle.put());
  if (status != ERROR_SUCCESS) {
    key.handle.release();  // no key was opened: nothing to close
    trace_line(log_level::error, tag) << "Failed to open key: " << status;
    return false;
  }
  return true;
}

bool read_string_value(const registry_key& key, const std::string& name, std::string& out) {
  trace_line(log_level::info, tag) << "Read registry value: " << name;
  out.assign(256, '\0');
  DWORD size = static_cast<DWORD>(out.size());
  const LSTATUS status = RegGetValueA(key.handle.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, &out[0], &size);
  if (status != ERROR_SUCCESS) {
    trace_line(log_level::error, tag) << "Failed to read registry value " << name << ": " << status;
    out.clear();
    return false;
  }
  out.resize(size > 0 ? size - 1 : 0);
  return true;
}

bool write_string_value(const registry_key& key, const std::string& name, const std::string& value) {
  trace_line(log_level::info, tag) << "Write registry value: " << name << " = " << value;
  const LSTATUS status = RegSetValueExA(key.handle.get(), name.c_str(), 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(value.c_str()),
                                        static_cast<DWORD>(value.size() + 1));
  if (status != ERROR_SUCCESS) {
    trace_line(log_level::error, tag) << "Failed to write registry value " << name << ": " << status;
    return false;
  }
  return true;
}

bool set_permissions(const registry_key& key, PACL acl) {
  trace_line(log_level::info, tag) << "Set registry permissions: " << key.path << " ("
                                   << static_cast<const void*>(acl) << ")";
  // Unprotected: the entries the key inherits from its parent stay in force.
  const DWORD status = SetSecurityInfo(reinterpret_cast<HANDLE>(key.handle.get()), SE_REGISTRY_KEY,
                                       DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                       /*psidOwner=*/nullptr, /*psidGroup=*/nullptr, acl, /*pSacl=*/nullptr);
  if (status != ERROR_SUCCESS) {
    trace_line(log_level::error, tag) << "SetSecurityInfo failed: " << status;
    return false;
  }
  return true;
}

bool move_registry_key(registry_key& from, registry_key& to, access_mode mode, bool skip_values) {
  const bool read_write = mode == access_mode::read_write;
  trace_line(log_level::info, tag) << "Move registry key from " << from.path << " to " << to.path << " with "
                                   << (read_write ? "read/write" : "default") << " access";
  if (!open_key(from)) {
    trace_line(log_level::error, tag) << "Cant open from";
    return false;
  }
  if (!open_or_create_target(to)) return false;
  if (read_write && !grant_users_read_write(to)) return false;

  DWORD sub_keys = 0;
  DWORD longest_sub_key = 0;
  DWORD values = 0;
  DWORD longest_value_name = 0;
  const LSTATUS info = RegQueryInfoKeyA(from.handle.get(), nullptr, nullptr, nullptr, &sub_keys, &longest_sub_key,
                                        nullptr, &values, &longest_value_name, nullptr, nullptr, nullptr);
  if (info != ERROR_SUCCESS) {
    // Without the counts nothing can be copied; do not report success.
    trace_line(log_level::error, tag) << "Failed to query key " << from.path << ": " << info;
    return false;
  }
  if (!skip_values) copy_values(from, to, values, longest_value_name);
  return copy_sub_keys(from, to, sub_keys, longest_sub_key);
}

}  // namespace ostrel::win32
