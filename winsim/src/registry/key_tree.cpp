// The HKEY_LOCAL_MACHINE tree of the simulated machine, its key handles and
// change notifications.
#include "registry/key_tree.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <functional>

namespace winsim::detail::registry {
namespace {

struct store {
  std::shared_ptr<key_node> root;
  std::shared_ptr<key_object> hklm;  // what HKEY_LOCAL_MACHINE stands for
};

std::shared_ptr<key_node> new_root() {
  auto node = std::make_shared<key_node>();
  node->name = "HKEY_LOCAL_MACHINE";
  node->last_write = now_as_filetime();
  return node;
}

void mark_deleted(key_node& node) {
  node.deleted = true;
  for (auto& child : node.children) mark_deleted(*child.second);
}

// Under registry_mutex().
store& state() {
  static store* s = [] {
    auto* created = new store;
    created->root = new_root();
    created->hklm = std::make_shared<key_object>(created->root, KEY_ALL_ACCESS);
    on_reset([] {
      std::lock_guard<std::mutex> lock(registry_mutex());
      auto& current = state();
      mark_deleted(*current.root);
      current.root = new_root();
      current.hklm = std::make_shared<key_object>(current.root, KEY_ALL_ACCESS);
    });
    return created;
  }();
  return *s;
}

void fire(key_object& watcher) {
  if (watcher.armed.empty()) {
    watcher.pending = true;
    return;
  }
  for (auto& event : watcher.armed) event->set(true);
  watcher.armed.clear();
}

}  // namespace

std::string fold(const std::string& name) {
  std::string folded = name;
  for (auto& c : folded) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return folded;
}

bool case_less::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
  });
}

value_entry* key_node::find_value(const std::string& value_name) {
  const std::string wanted = fold(value_name);
  for (auto& v : values) {
    if (fold(v.name) == wanted) return &v;
  }
  return nullptr;
}

void key_object::close_locked() {
  if (closed) return;
  closed = true;
  // Windows signals the event of a registration whose key is closed.
  for (auto& event : armed) event->set(true);
  armed.clear();
  notify_registered = false;
}

void key_object::on_last_close() {
  std::lock_guard<std::mutex> lock(registry_mutex());
  close_locked();
}

std::mutex& registry_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::shared_ptr<key_node> root() { return state().root; }

std::shared_ptr<key_object> resolve(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    return state().hklm;
  }
  return lookup_handle_as<key_object>(reinterpret_cast<HANDLE>(key));
}

bool split_path(const char* path, std::vector<std::string>* parts) {
  parts->clear();
  if (path == nullptr || *path == '\0') return true;
  if (*path == '\\') return false;
  std::string current;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\') {
      if (!current.empty()) parts->push_back(current);
      current.clear();
    } else {
      current += *p;
    }
  }
  if (!current.empty()) parts->push_back(current);
  // Key names are at most 255 characters.
  return std::all_of(parts->begin(), parts->end(), [](const std::string& part) { return part.size() <= 255; });
}

std::shared_ptr<key_node> find_node(const std::shared_ptr<key_node>& from, const std::vector<std::string>& parts) {
  auto node = from;
  for (const auto& part : parts) {
    auto it = node->children.find(part);
    if (it == node->children.end()) return nullptr;
    node = it->second;
  }
  return node;
}

std::shared_ptr<key_node> create_node(const std::shared_ptr<key_node>& from, const std::vector<std::string>& parts,
                                      bool* created) {
  auto node = from;
  *created = false;
  for (const auto& part : parts) {
    auto it = node->children.find(part);
    if (it != node->children.end()) {
      node = it->second;
      *created = false;
      continue;
    }
    auto child = std::make_shared<key_node>();
    child->name = part;
    child->parent = node;
    child->last_write = now_as_filetime();
    node->children.emplace(part, child);
    node->last_write = child->last_write;
    report_change(node, REG_NOTIFY_CHANGE_NAME);
    node = child;
    *created = true;
  }
  return node;
}

void report_change(const std::shared_ptr<key_node>& node, DWORD filter) {
  bool own_key = true;
  for (auto current = node; current; current = current->parent.lock()) {
    auto& watchers = current->watchers;
    for (auto it = watchers.begin(); it != watchers.end();) {
      auto watcher = it->lock();
      if (!watcher || watcher->closed || !watcher->notify_registered) {
        it = watchers.erase(it);
        continue;
      }
      if ((own_key || watcher->watch_subtree) && (watcher->filter & filter) != 0) fire(*watcher);
      ++it;
    }
    own_key = false;
  }
}

void store_value(const std::shared_ptr<key_node>& node, const std::string& name, DWORD type, const BYTE* data,
                 size_t size) {
  value_entry* existing = node->find_value(name);
  if (existing == nullptr) {
    node->values.push_back(value_entry{name, type, {}});
    existing = &node->values.back();
  }
  existing->type = type;
  existing->data.assign(data, data + size);
  node->last_write = now_as_filetime();
  report_change(node, REG_NOTIFY_CHANGE_LAST_SET);
}

FILETIME now_as_filetime() {
  // 100-nanosecond intervals since 1601-01-01.
  constexpr uint64_t epoch_offset = 116444736000000000ull;
  const auto since_1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  const uint64_t ticks = epoch_offset + static_cast<uint64_t>(since_1970 / 100);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

ACCESS_MASK map_generic(ACCESS_MASK access) {
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (access & GENERIC_READ) mapped |= KEY_READ;
  if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (access & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

}  // namespace winsim::detail::registry
