// Modules loaded at run time: the system libraries the programs look up by
// name, with reference counts as LoadLibraryA/FreeLibrary keep them.
#include "desktop/desktop_state.h"

#include <wtsapi32.h>

#include <strings.h>

#include <cstring>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct export_entry {
  const char* name;
  FARPROC address;
};

template <typename F>
FARPROC as_farproc(F* function) {
  // FARPROC is the SDK's generic function pointer; callers cast it back.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

struct module_image {
  const char* name;  // lower case, with extension
  uintptr_t base;
  std::vector<export_entry> exports;
};

const std::vector<module_image>& images() {
  static const std::vector<module_image>* all = new std::vector<module_image>{
      {"wtsapi32.dll",
       0x7ffc10000000,
       {{"WTSQuerySessionInformationW", as_farproc(&WTSQuerySessionInformationW)},
        {"WTSFreeMemory", as_farproc(&WTSFreeMemory)}}},
      {"kernel32.dll", 0x7ffc20000000, {}},
      {"user32.dll", 0x7ffc30000000, {}},
  };
  return *all;
}

// The program's own image.
constexpr uintptr_t program_base = 0x140000000;

struct loaded_modules {
  std::mutex mutex;
  std::map<uintptr_t, int> references;  // base -> LoadLibraryA count
};

loaded_modules& loaded() {
  static loaded_modules* l = new loaded_modules;
  return *l;
}

const bool registered = [] {
  winsim::detail::on_reset([] {
    auto& l = loaded();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.references.clear();
  });
  return true;
}();

// "WTSAPI32", "wtsapi32.dll" and "C:\Windows\System32\wtsapi32.dll" name the same module.
const module_image* find_image(const char* name) {
  std::string base = name;
  const auto slash = base.find_last_of("\\/");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  if (base.find('.') == std::string::npos) base += ".dll";
  for (const auto& image : images()) {
    if (strcasecmp(image.name, base.c_str()) == 0) return &image;
  }
  return nullptr;
}

const module_image* image_at(HMODULE module) {
  for (const auto& image : images()) {
    if (reinterpret_cast<uintptr_t>(module) == image.base) return &image;
  }
  return nullptr;
}

// Kernel32 and user32 are always mapped; other modules only while loaded.
bool always_mapped(const module_image& image) { return image.exports.empty(); }

}  // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR file_name) {
  if (file_name == nullptr || *file_name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = 0;
  if (winsim::detail::desktop::should_fail("LoadLibraryA", &error)) {
    SetLastError(error);
    return nullptr;
  }
  const module_image* image = find_image(file_name);
  if (image == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto& l = loaded();
  std::lock_guard<std::mutex> lock(l.mutex);
  ++l.references[image->base];
  return reinterpret_cast<HMODULE>(image->base);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  auto& l = loaded();
  std::lock_guard<std::mutex> lock(l.mutex);
  auto it = l.references.find(reinterpret_cast<uintptr_t>(module));
  if (it == l.references.end()) {
    const module_image* image = image_at(module);
    if (image != nullptr && always_mapped(*image)) return TRUE;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (--it->second == 0) l.references.erase(it);
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR proc_name) {
  const module_image* image = image_at(module);
  bool mapped = false;
  if (image != nullptr) {
    auto& l = loaded();
    std::lock_guard<std::mutex> lock(l.mutex);
    mapped = always_mapped(*image) || l.references.count(image->base) != 0;
  }
  if (!mapped) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Lookups by ordinal (a value below 0x10000) find nothing here.
  const bool by_name = proc_name != nullptr && reinterpret_cast<uintptr_t>(proc_name) > 0xFFFF;
  // A whole lookup, or the lookup of one name ("GetProcAddress:WTSFreeMemory"), can be made to fail.
  DWORD error = 0;
  const std::string name_key = by_name ? std::string("GetProcAddress:") + proc_name : std::string();
  if (winsim::detail::desktop::should_fail("GetProcAddress", &error) ||
      (by_name && (winsim::detail::should_fail_variant(name_key.c_str(), &error) ||
                   winsim::detail::desktop::machine_should_fail(name_key.c_str(), &error)))) {
    SetLastError(error);
    return nullptr;
  }
  if (by_name) {
    for (const auto& entry : image->exports) {
      if (std::strcmp(entry.name, proc_name) == 0) return entry.address;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR module_name) {
  if (module_name == nullptr) return reinterpret_cast<HMODULE>(program_base);
  const module_image* image = find_image(module_name);
  if (image != nullptr) {
    auto& l = loaded();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (always_mapped(*image) || l.references.count(image->base) != 0) return reinterpret_cast<HMODULE>(image->base);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}
