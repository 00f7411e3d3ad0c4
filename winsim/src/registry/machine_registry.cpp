// Test controls of the simulated registry.
#include "registry/key_tree.h"

#include <winsim/machine.h>

#include <stdexcept>

namespace winsim::machine {
namespace {

namespace reg = winsim::detail::registry;

std::vector<std::string> parts_of(const std::string& key_path) {
  std::vector<std::string> parts;
  if (!reg::split_path(key_path.c_str(), &parts)) throw std::invalid_argument("bad registry path: " + key_path);
  return parts;
}

// Under registry_mutex().
std::shared_ptr<reg::key_node> existing(const std::string& key_path) {
  return reg::find_node(reg::root(), parts_of(key_path));
}

}  // namespace

void set_registry_value(const std::string& key_path, const std::string& name, DWORD type,
                        const std::vector<BYTE>& bytes) {
  const auto parts = parts_of(key_path);
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  bool created = false;
  auto node = reg::create_node(reg::root(), parts, &created);
  reg::store_value(node, name, type, bytes.data(), bytes.size());
}

void set_registry_dword(const std::string& key_path, const std::string& name, DWORD value) {
  std::vector<BYTE> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  set_registry_value(key_path, name, REG_DWORD, bytes);
}

void set_registry_string(const std::string& key_path, const std::string& name, const std::string& value) {
  std::vector<BYTE> bytes(value.begin(), value.end());
  bytes.push_back(0);
  set_registry_value(key_path, name, REG_SZ, bytes);
}

void create_registry_key(const std::string& key_path) {
  const auto parts = parts_of(key_path);
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  bool created = false;
  reg::create_node(reg::root(), parts, &created);
}

bool delete_registry_value(const std::string& key_path, const std::string& name) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  auto node = existing(key_path);
  if (!node) return false;
  const std::string wanted = reg::fold(name);
  for (auto it = node->values.begin(); it != node->values.end(); ++it) {
    if (reg::fold(it->name) == wanted) {
      node->values.erase(it);
      node->last_write = reg::now_as_filetime();
      reg::report_change(node, REG_NOTIFY_CHANGE_LAST_SET);
      return true;
    }
  }
  return false;
}

bool registry_key_exists(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  return existing(key_path) != nullptr;
}

std::optional<registry_data> registry_value(const std::string& key_path, const std::string& name) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  auto node = existing(key_path);
  if (!node) return std::nullopt;
  const reg::value_entry* value = node->find_value(name);
  if (value == nullptr) return std::nullopt;
  return registry_data{value->type, value->data};
}

std::optional<DWORD> registry_dword(const std::string& key_path, const std::string& name) {
  auto value = registry_value(key_path, name);
  if (!value || value->type != REG_DWORD || value->bytes.size() != 4) return std::nullopt;
  DWORD result = 0;
  std::memcpy(&result, value->bytes.data(), 4);
  return result;
}

std::optional<std::string> registry_string(const std::string& key_path, const std::string& name) {
  auto value = registry_value(key_path, name);
  if (!value || value->type != REG_SZ) return std::nullopt;
  std::string text(value->bytes.begin(), value->bytes.end());
  return text.substr(0, text.find('\0'));
}

std::vector<std::string> registry_value_names(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  std::vector<std::string> names;
  if (auto node = existing(key_path)) {
    for (const auto& v : node->values) names.push_back(v.name);
  }
  return names;
}

std::vector<std::string> registry_subkey_names(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  std::vector<std::string> names;
  if (auto node = existing(key_path)) {
    for (const auto& child : node->children) names.push_back(child.second->name);
  }
  return names;
}

std::vector<registry_ace> registry_acl(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  std::vector<registry_ace> entries;
  auto node = existing(key_path);
  if (!node) return entries;
  for (const auto& ace : node->dacl) {
    std::string trustee = reg::account_name(ace.sid);
    if (trustee.empty()) trustee = reg::sid_string(ace.sid);
    entries.push_back(registry_ace{trustee, ace.type == ACCESS_ALLOWED_ACE_TYPE, ace.mask, ace.flags});
  }
  return entries;
}

bool registry_inherits_rights(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  auto node = existing(key_path);
  return node ? node->inherits : false;
}

int registry_dacl_write_count(const std::string& key_path) {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  auto node = existing(key_path);
  return node ? node->dacl_writes : 0;
}

size_t registry_armed_notification_count() {
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  size_t count = 0;
  std::vector<std::shared_ptr<reg::key_node>> pending = {reg::root()};
  while (!pending.empty()) {
    auto node = pending.back();
    pending.pop_back();
    for (const auto& w : node->watchers) {
      if (auto watcher = w.lock()) count += watcher->armed.size();
    }
    for (const auto& child : node->children) pending.push_back(child.second);
  }
  return count;
}

}  // namespace winsim::machine
