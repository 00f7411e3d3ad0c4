// Internal to winsim: the HKEY_LOCAL_MACHINE tree, key handles and change
// notifications. Everything here is guarded by registry_mutex().
#pragma once

#include "kernel/event_objects.h"
#include "kernel/kernel_object.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::detail::registry {

// Keys and value names compare case-insensitively and keep their case.
std::string fold(const std::string& name);

struct case_less {
  bool operator()(const std::string& a, const std::string& b) const;
};

struct value_entry {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// One access-control entry with its SID in binary form.
struct ace_entry {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::vector<BYTE> sid;
};

class key_object;

struct key_node {
  std::string name;
  std::weak_ptr<key_node> parent;
  std::vector<value_entry> values;  // in the order they were created
  std::map<std::string, std::shared_ptr<key_node>, case_less> children;
  std::vector<ace_entry> dacl;  // explicit entries only
  bool inherits = true;         // false once a protected DACL was applied
  int dacl_writes = 0;
  bool deleted = false;  // set when the machine is reset under open handles
  FILETIME last_write{};
  // Handles with a notify registration on this key.
  std::vector<std::weak_ptr<key_object>> watchers;

  value_entry* find_value(const std::string& value_name);
};

// One open key handle. The registration of RegNotifyChangeKeyValue belongs to
// the handle, as on Windows: it is one-shot, a change that arrives while
// nothing is armed is kept pending for the next registration, and closing the
// handle signals what is still armed.
class key_object : public kernel_object {
 public:
  key_object(std::shared_ptr<key_node> node, ACCESS_MASK access) : node(std::move(node)), access(access) {}
  const char* type_name() const override { return "Key"; }
  void on_last_close() override;

  const std::shared_ptr<key_node> node;
  const ACCESS_MASK access;

  // Guarded by registry_mutex().
  bool notify_registered = false;
  bool watch_subtree = false;
  DWORD filter = 0;
  bool pending = false;
  std::vector<std::shared_ptr<event_base>> armed;
  bool closed = false;

  // Under registry_mutex(): drops the registration and signals what is armed.
  void close_locked();
};

std::mutex& registry_mutex();

// The current machine's HKEY_LOCAL_MACHINE, under registry_mutex().
std::shared_ptr<key_node> root();

// Resolves a key handle or a predefined key; nullptr for anything else.
std::shared_ptr<key_object> resolve(HKEY key);

// Splits a relative path at '\'; false when the path is malformed.
bool split_path(const char* path, std::vector<std::string>* parts);

// Under registry_mutex(): the node at `parts` below `from`, or nullptr.
std::shared_ptr<key_node> find_node(const std::shared_ptr<key_node>& from, const std::vector<std::string>& parts);
// Under registry_mutex(): creates missing keys; *created tells whether the
// last one is new.
std::shared_ptr<key_node> create_node(const std::shared_ptr<key_node>& from, const std::vector<std::string>& parts,
                                      bool* created);

// Under registry_mutex(): tells the watchers of `node` and of its ancestors
// (those watching the subtree) about a change of kind `filter`.
void report_change(const std::shared_ptr<key_node>& node, DWORD filter);

// Under registry_mutex(): sets or replaces a value and reports the change.
void store_value(const std::shared_ptr<key_node>& node, const std::string& name, DWORD type, const BYTE* data,
                 size_t size);

FILETIME now_as_filetime();

// Generic rights mapped to key rights.
ACCESS_MASK map_generic(ACCESS_MASK access);

// Account names of the well-known SIDs this machine knows; "" when unknown.
std::string account_name(const std::vector<BYTE>& sid);
std::string sid_string(const std::vector<BYTE>& sid);

}  // namespace winsim::detail::registry
