// Low-level registry operations under the configuration layer: opening and
// creating keys, single values, key rights, and copying a key tree.
// All keys live under HKEY_LOCAL_MACHINE; every call is the ANSI one.
#pragma once

#include "unique_handle.h"

#include <windows.h>

#include <string>
#include <utility>

namespace ostrel::win32 {

// An owned key handle from create_key; empty when the key could not be opened.
using key_handle = unique_hkey;

// A key to copy from or to: root, open handle (empty when not open) and path.
struct registry_key {
  registry_key(HKEY root_key, std::string sub_key) : root(root_key), path(std::move(sub_key)) {}
  void close() { handle.reset(); }

  HKEY root;
  unique_hkey handle;
  std::string path;
};

// Rights move_registry_key gives the target key.
enum class access_mode : int {
  default_access = 0,  // only what the key inherits
  read_write = 1,      // plus "Users" with read and set-value access
};

// What open_key asks for unless told otherwise: KEY_READ | KEY_SET_VALUE.
constexpr REGSAM read_write_access = KEY_READ | KEY_SET_VALUE;

// Opens or creates `path` (with its missing parents) with full access.
// Logs "Failed RegCreateKeyExA: status = N" and returns an empty handle on
// failure.
key_handle create_key(const std::string& path);

bool open_key(registry_key& key, REGSAM access = read_write_access);
// Reads a REG_SZ of at most 255 characters.
bool read_string_value(const registry_key& key, const std::string& name, std::string& out);
bool write_string_value(const registry_key& key, const std::string& name, const std::string& value);
// Replaces the key's explicit DACL with `acl`, keeping inherited entries.
bool set_permissions(const registry_key& key, PACL acl);

// Copies the tree under `from` to `to` (nothing is deleted at the source),
// keeping values the target already has, and resets the rights of every
// target key it visits: keys whose source path contains "UserSettings" get
// the "Users" read/set-value entry, the others only inherited rights.
// `skip_values` leaves the top key's own values out.
bool move_registry_key(registry_key& from, registry_key& to, access_mode mode, bool skip_values);

}  // namespace ostrel::win32
