// Controls of the simulated registry (HKEY_LOCAL_MACHINE, kept in this
// process). Key paths are relative to HKEY_LOCAL_MACHINE, e.g.
// "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings"; names are case-insensitive.
//
// Writes made here count as changes made by another program: they signal the
// change notifications registered on the key and its ancestors.
//
// To make a registry call fail, use fail_call() with the call's name
// ("RegGetValueA", "RegCreateKeyExA", "SetSecurityInfo", ...) and the status
// it should return.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim::machine {

struct registry_data {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

// Creates the key (and its missing parents) when needed.
void set_registry_value(const std::string& key_path, const std::string& name, DWORD type,
                        const std::vector<BYTE>& bytes);
void set_registry_dword(const std::string& key_path, const std::string& name, DWORD value);
// Stored as REG_SZ with its terminating zero.
void set_registry_string(const std::string& key_path, const std::string& name, const std::string& value);
// Creates an empty key (and its missing parents).
void create_registry_key(const std::string& key_path);
// Deletes one value; false when there was none.
bool delete_registry_value(const std::string& key_path, const std::string& name);

bool registry_key_exists(const std::string& key_path);
std::optional<registry_data> registry_value(const std::string& key_path, const std::string& name);
// The value when it is a REG_DWORD.
std::optional<DWORD> registry_dword(const std::string& key_path, const std::string& name);
// The text up to its first zero when the value is a REG_SZ.
std::optional<std::string> registry_string(const std::string& key_path, const std::string& name);
// Value names in enumeration order; sub-key names as enumerated.
std::vector<std::string> registry_value_names(const std::string& key_path);
std::vector<std::string> registry_subkey_names(const std::string& key_path);

// One explicit access-control entry of a key's DACL, as SetSecurityInfo left it.
struct registry_ace {
  std::string trustee;       // account name ("Users", "SYSTEM", ...) or "S-1-..." when unknown
  bool allowed = true;       // ACCESS_ALLOWED_ACE_TYPE, else ACCESS_DENIED_ACE_TYPE
  ACCESS_MASK access = 0;    // generic rights mapped to key rights
  BYTE flags = 0;            // ACE inheritance flags
};

// The key's explicit entries (empty when it has only inherited rights).
std::vector<registry_ace> registry_acl(const std::string& key_path);
// False when a protected DACL was applied: the key no longer inherits.
bool registry_inherits_rights(const std::string& key_path);
// Number of SetSecurityInfo calls that changed this key's DACL.
int registry_dacl_write_count(const std::string& key_path);

// Number of change notifications armed on the registry right now.
size_t registry_armed_notification_count();

}  // namespace winsim::machine
