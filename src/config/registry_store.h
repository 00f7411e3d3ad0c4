// Low-level registry operations under the configuration layer: opening and
// creating keys, single values, key rights, and copying a key tree.
// All keys live under HKEY_LOCAL_MACHINE; every call is the ANSI one.
#pragma once

#include <windows.h>

#include <string>

namespace ostrel::win32 {

// An owned key handle from create_key. Empty (and never closed) when the key
// could not be opened.
class key_handle {
 public:
  key_handle() = default;
  explicit key_handle(HKEY key) : key_(key), valid_(key != nullptr) {}
  ~key_handle() { reset(); }
  key_handle(key_handle&& other) noexcept;
  key_handle& operator=(key_handle&& other) noexcept;
  key_handle(const key_handle&) = delete;
  key_handle& operator=(const key_handle&) = delete;

  HKEY get() const { return key_; }
  bool valid() const;
  explicit operator bool() const { return valid(); }
  // Closes the key now.
  void reset();

 private:
  HKEY key_ = invalid_key();
  bool valid_ = false;

  static HKEY invalid_key() { return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
};

// A key to copy from or to: root, open handle (null when not open) and path.
struct registry_key {
  registry_key(HKEY root_key, std::string sub_key) : root(root_key), path(std::move(sub_key)) {}
  ~registry_key() { close(); }
  registry_key(const registry_key&) = delete;
  registry_key& operator=(const registry_key&) = delete;
  void close();

  HKEY root;
  HKEY handle = nullptr;
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
