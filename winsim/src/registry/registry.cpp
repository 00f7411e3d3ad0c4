// The ANSI registry calls over the simulated HKEY_LOCAL_MACHINE. Each returns
// its status and leaves the last error alone, as advapi32 does.
#include "registry/key_tree.h"

#include <algorithm>

namespace {

namespace reg = winsim::detail::registry;
using reg::key_node;
using reg::key_object;

bool injected(const char* function, LSTATUS* status) {
  DWORD error = 0;
  if (!winsim::detail::should_fail(function, &error)) return false;
  *status = static_cast<LSTATUS>(error);
  return true;
}

// Resolves `key` and checks that its handle carries `needed`.
LSTATUS usable_key(HKEY key, ACCESS_MASK needed, std::shared_ptr<key_object>* object) {
  *object = reg::resolve(key);
  if (!*object) return ERROR_INVALID_HANDLE;
  if (((*object)->access & needed) != needed) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

std::string name_or_default(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

HKEY insert_key(std::shared_ptr<key_node> node, REGSAM desired) {
  auto object = std::make_shared<key_object>(std::move(node), reg::map_generic(desired));
  return reinterpret_cast<HKEY>(winsim::detail::insert_handle(std::move(object)));
}

// The bytes RegGetValueA hands out: strings always end in their zero(s).
std::vector<BYTE> terminated(const reg::value_entry& value) {
  std::vector<BYTE> data = value.data;
  if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
    if (data.empty() || data.back() != 0) data.push_back(0);
  } else if (value.type == REG_MULTI_SZ) {
    while (data.size() < 2 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0) data.push_back(0);
  }
  return data;
}

DWORD restriction_of(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

// Copies `data` out the way RegQueryValueExA and RegGetValueA do.
LSTATUS hand_out(const std::vector<BYTE>& data, LPBYTE buffer, LPDWORD size) {
  const DWORD needed = static_cast<DWORD>(data.size());
  if (buffer != nullptr && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (buffer != nullptr && needed > 0) std::memcpy(buffer, data.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS copy_name(const std::string& name, LPSTR buffer, LPDWORD length) {
  if (buffer == nullptr || length == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *length) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

// What creating and opening a sub-key check first, in Windows' order: the
// out-parameter is cleared, then the parent handle and the path are checked.
LSTATUS begin_key_lookup(const char* function, HKEY key, LPCSTR sub_key, PHKEY result,
                         std::shared_ptr<key_object>* parent, std::vector<std::string>* parts) {
  if (result != nullptr) *result = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  if (injected(function, &status)) return status;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  if ((status = usable_key(key, 0, parent)) != ERROR_SUCCESS) return status;
  if (!reg::split_path(sub_key, parts)) return ERROR_BAD_PATHNAME;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM desired, LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition) {
  std::shared_ptr<key_object> parent;
  std::vector<std::string> parts;
  const LSTATUS status = begin_key_lookup("RegCreateKeyExA", key, sub_key, result, &parent, &parts);
  if (status != ERROR_SUCCESS) return status;

  std::shared_ptr<key_node> node;
  bool created = false;
  {
    std::lock_guard<std::mutex> lock(reg::registry_mutex());
    if (parent->node->deleted) return ERROR_KEY_DELETED;
    if (reg::find_node(parent->node, parts) == nullptr && (parent->access & KEY_CREATE_SUB_KEY) == 0) {
      return ERROR_ACCESS_DENIED;
    }
    node = reg::create_node(parent->node, parts, &created);
  }
  *result = insert_key(std::move(node), desired);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM desired, PHKEY result) {
  std::shared_ptr<key_object> parent;
  std::vector<std::string> parts;
  const LSTATUS status = begin_key_lookup("RegOpenKeyExA", key, sub_key, result, &parent, &parts);
  if (status != ERROR_SUCCESS) return status;

  std::shared_ptr<key_node> node;
  {
    std::lock_guard<std::mutex> lock(reg::registry_mutex());
    if (parent->node->deleted) return ERROR_KEY_DELETED;
    node = reg::find_node(parent->node, parts);
  }
  if (!node) return ERROR_FILE_NOT_FOUND;
  *result = insert_key(std::move(node), desired);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegCloseKey", &status)) return status;
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto object = winsim::detail::lookup_handle_as<key_object>(reinterpret_cast<HANDLE>(key));
  if (!object || !winsim::detail::remove_handle(reinterpret_cast<HANDLE>(key))) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  object->close_locked();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD data_size) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegQueryValueExA", &status)) return status;
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_QUERY_VALUE, &object)) != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  if (object->node->deleted) return ERROR_KEY_DELETED;
  const reg::value_entry* value = object->node->find_value(name_or_default(value_name));
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->type;
  if (data_size == nullptr) return ERROR_SUCCESS;
  return hand_out(value->data, data, data_size);
}

LSTATUS WINAPI RegGetValueA(HKEY key, LPCSTR sub_key, LPCSTR value_name, DWORD flags, LPDWORD type, PVOID data,
                            LPDWORD data_size) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegGetValueA", &status)) return status;
  const DWORD allowed = flags & RRF_RT_ANY;
  if (allowed == 0 || (data != nullptr && data_size == nullptr)) return ERROR_INVALID_PARAMETER;
  // REG_EXPAND_SZ can only be asked for unexpanded (unless any type will do).
  if ((allowed & RRF_RT_REG_EXPAND_SZ) != 0 && (flags & RRF_NOEXPAND) == 0 && allowed != RRF_RT_ANY) {
    return ERROR_INVALID_PARAMETER;
  }
  const DWORD capacity = data_size != nullptr ? *data_size : 0;
  auto zero_on_failure = [&](LSTATUS result) {
    if (result != ERROR_SUCCESS && (flags & RRF_ZEROONFAILURE) != 0 && data != nullptr && capacity > 0) {
      std::memset(data, 0, capacity);
    }
    return result;
  };

  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, sub_key != nullptr && *sub_key != '\0' ? 0 : KEY_QUERY_VALUE, &object)) !=
      ERROR_SUCCESS) {
    return zero_on_failure(status);
  }
  std::vector<std::string> parts;
  if (!reg::split_path(sub_key, &parts)) return zero_on_failure(ERROR_BAD_PATHNAME);

  std::vector<BYTE> bytes;
  DWORD value_type = REG_NONE;
  {
    std::lock_guard<std::mutex> lock(reg::registry_mutex());
    if (object->node->deleted) return zero_on_failure(ERROR_KEY_DELETED);
    auto node = reg::find_node(object->node, parts);
    if (!node) return zero_on_failure(ERROR_FILE_NOT_FOUND);
    const reg::value_entry* value = node->find_value(name_or_default(value_name));
    if (value == nullptr) return zero_on_failure(ERROR_FILE_NOT_FOUND);
    value_type = value->type;
    bytes = terminated(*value);
  }
  // REG_EXPAND_SZ asked for as REG_SZ comes back expanded.
  if (value_type == REG_EXPAND_SZ && (flags & RRF_NOEXPAND) == 0 && (allowed & RRF_RT_REG_SZ) != 0) {
    const winsim::detail::internal_calls internal;
    const char* text = reinterpret_cast<const char*>(bytes.data());
    const DWORD needed = ExpandEnvironmentStringsA(text, nullptr, 0);
    std::vector<BYTE> expanded(needed == 0 ? 1 : needed, 0);
    if (needed > 0) ExpandEnvironmentStringsA(text, reinterpret_cast<LPSTR>(expanded.data()), needed);
    bytes = std::move(expanded);
    value_type = REG_SZ;
  }
  if (type != nullptr) *type = value_type;
  if ((restriction_of(value_type) & allowed) == 0) {
    if (data_size != nullptr) *data_size = static_cast<DWORD>(bytes.size());
    return zero_on_failure(ERROR_UNSUPPORTED_TYPE);
  }
  // Binary data read as a DWORD or QWORD must have that size.
  if (value_type == REG_BINARY && allowed != RRF_RT_ANY) {
    size_t expected = 0;
    if ((allowed & RRF_RT_DWORD) == RRF_RT_DWORD) {
      expected = 4;
    } else if ((allowed & RRF_RT_QWORD) == RRF_RT_QWORD) {
      expected = 8;
    }
    if (expected != 0 && bytes.size() != expected) {
      if (data_size != nullptr) *data_size = static_cast<DWORD>(bytes.size());
      return zero_on_failure(ERROR_DATATYPE_MISMATCH);
    }
  }
  if (data_size == nullptr) return ERROR_SUCCESS;
  return zero_on_failure(hand_out(bytes, static_cast<LPBYTE>(data), data_size));
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR value_name, DWORD, DWORD type, const BYTE* data, DWORD data_size) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegSetValueExA", &status)) return status;
  if (data == nullptr && data_size != 0) return ERROR_NOACCESS;
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_SET_VALUE, &object)) != ERROR_SUCCESS) return status;
  const std::string name = name_or_default(value_name);
  if (name.size() > 16383) return ERROR_INVALID_PARAMETER;

  // Windows' ANSI call, like NT before it, counts a string's terminating zero
  // when the caller left it out but it follows the data: it reads one byte
  // past the size it was given.
  const bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  if (text && data_size > 0 && data[data_size - 1] != 0 && data[data_size] == 0) ++data_size;

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  if (object->node->deleted) return ERROR_KEY_DELETED;
  reg::store_value(object->node, name, type, data, data_size);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_length, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD data_size) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegEnumValueA", &status)) return status;
  if (reserved != nullptr || (data != nullptr && data_size == nullptr)) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_QUERY_VALUE, &object)) != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  if (object->node->deleted) return ERROR_KEY_DELETED;
  const auto& values = object->node->values;
  if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
  const reg::value_entry& value = values[index];
  if ((status = copy_name(value.name, value_name, value_name_length)) != ERROR_SUCCESS) return status;
  if (type != nullptr) *type = value.type;
  if (data_size == nullptr) return ERROR_SUCCESS;
  return hand_out(value.data, data, data_size);
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD name_length, LPDWORD reserved,
                             LPSTR class_name, LPDWORD class_length, PFILETIME last_write_time) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegEnumKeyExA", &status)) return status;
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_ENUMERATE_SUB_KEYS, &object)) != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  if (object->node->deleted) return ERROR_KEY_DELETED;
  const auto& children = object->node->children;
  if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
  auto it = std::next(children.begin(), index);
  if ((status = copy_name(it->second->name, name, name_length)) != ERROR_SUCCESS) return status;
  // Keys here have no class.
  if (class_name != nullptr && class_length != nullptr && *class_length > 0) *class_name = '\0';
  if (class_length != nullptr) *class_length = 0;
  if (last_write_time != nullptr) *last_write_time = it->second->last_write;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR class_name, LPDWORD class_length, LPDWORD reserved,
                                LPDWORD sub_keys, LPDWORD max_sub_key_length, LPDWORD max_class_length,
                                LPDWORD values, LPDWORD max_value_name_length, LPDWORD max_value_length,
                                LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegQueryInfoKeyA", &status)) return status;
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_QUERY_VALUE, &object)) != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(reg::registry_mutex());
  const key_node& node = *object->node;
  if (node.deleted) return ERROR_KEY_DELETED;
  if (class_name != nullptr && class_length != nullptr && *class_length > 0) *class_name = '\0';
  if (class_length != nullptr) *class_length = 0;
  if (sub_keys != nullptr) *sub_keys = static_cast<DWORD>(node.children.size());
  if (max_sub_key_length != nullptr) {
    size_t longest = 0;
    for (const auto& child : node.children) longest = std::max(longest, child.second->name.size());
    *max_sub_key_length = static_cast<DWORD>(longest);
  }
  if (max_class_length != nullptr) *max_class_length = 0;
  if (values != nullptr) *values = static_cast<DWORD>(node.values.size());
  if (max_value_name_length != nullptr || max_value_length != nullptr) {
    size_t longest_name = 0;
    size_t longest_data = 0;
    for (const auto& v : node.values) {
      longest_name = std::max(longest_name, v.name.size());
      longest_data = std::max(longest_data, v.data.size());
    }
    if (max_value_name_length != nullptr) *max_value_name_length = static_cast<DWORD>(longest_name);
    if (max_value_length != nullptr) *max_value_length = static_cast<DWORD>(longest_data);
  }
  if (security_descriptor_size != nullptr) {
    // Header, owner and group SIDs, and the DACL with its entries.
    DWORD size = 20 + 12 + 12 + sizeof(ACL);
    for (const auto& ace : node.dacl) size += 8 + static_cast<DWORD>(ace.sid.size());
    *security_descriptor_size = size;
  }
  if (last_write_time != nullptr) *last_write_time = node.last_write;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegNotifyChangeKeyValue(HKEY key, BOOL watch_subtree, DWORD notify_filter, HANDLE event,
                                       BOOL asynchronous) {
  LSTATUS status = ERROR_SUCCESS;
  if (injected("RegNotifyChangeKeyValue", &status)) return status;
  const DWORD change_filter = notify_filter & ~static_cast<DWORD>(REG_NOTIFY_THREAD_AGNOSTIC);
  if (change_filter == 0 || (notify_filter & ~static_cast<DWORD>(REG_LEGAL_CHANGE_FILTER)) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  std::shared_ptr<key_object> object;
  if ((status = usable_key(key, KEY_NOTIFY, &object)) != ERROR_SUCCESS) return status;

  std::shared_ptr<winsim::detail::event_base> signal;
  HANDLE private_event = nullptr;
  if (asynchronous) {
    signal = winsim::detail::lookup_handle_as<winsim::detail::event_base>(event);
    if (!signal) return ERROR_INVALID_HANDLE;
  } else {
    auto own = std::make_shared<winsim::detail::event_object>(/*manual_reset=*/true, /*initial=*/false);
    signal = own;
    private_event = winsim::detail::insert_handle(own);
  }

  {
    std::lock_guard<std::mutex> lock(reg::registry_mutex());
    if (object->node->deleted) {
      if (private_event != nullptr) winsim::detail::remove_handle(private_event);
      return ERROR_KEY_DELETED;
    }
    auto& watchers = object->node->watchers;
    const bool listed = std::any_of(watchers.begin(), watchers.end(),
                                    [&](const std::weak_ptr<key_object>& w) { return w.lock() == object; });
    if (!listed) watchers.push_back(object);
    object->notify_registered = true;
    object->watch_subtree = watch_subtree != FALSE;
    object->filter = change_filter;
    // Registering resets the event; a change that arrived since the last
    // notification on this handle completes the registration at once.
    signal->set(false);
    if (object->pending) {
      object->pending = false;
      signal->set(true);
    } else {
      object->armed.push_back(signal);
    }
  }

  if (private_event != nullptr) {
    const winsim::detail::internal_calls internal;
    WaitForSingleObject(private_event, INFINITE);
    CloseHandle(private_event);
  }
  return ERROR_SUCCESS;
}
