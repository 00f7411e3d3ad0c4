// The resources of the built programs, read back the way Event Viewer and
// Explorer read them.
#include "host/service_main.h"
#include "logging/event_log_sink.h"
#include "packaging_wine_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

namespace ostrel::packaging_test {
namespace {

struct library_deleter {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using unique_library = std::unique_ptr<std::remove_pointer_t<HMODULE>, library_deleter>;

unique_library load_as_data(const std::string& path) {
  return unique_library(
      LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

// What Event Viewer shows for an entry: the id's text with the entry's
// insertion strings.
std::string format_entry(HMODULE module, uint32_t event_id, const std::string& message) {
  const auto strings = logging::event_log_sink::insertion_strings(message);
  DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(strings[0]), reinterpret_cast<DWORD_PTR>(strings[1])};
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, event_id,
      /*dwLanguageId=*/0, reinterpret_cast<LPSTR>(&text), 0, reinterpret_cast<va_list*>(arguments));
  std::string result = length ? std::string(text, length) : "<FormatMessageA failed: " +
                                                                 std::to_string(GetLastError()) + ">";
  LocalFree(text);
  return result;
}

TEST(MessageTable, EveryEventIdShowsTheTextTheSinkWrites) {
  const auto module = load_as_data(path_from_environment("NOLVANE_SERVICE_EXE"));
  ASSERT_TRUE(module);
  // Texts as the service writes them; inserts are never expanded again, so
  // a per cent sign in a message stays as it is.
  const char* const messages[] = {"Failed to create config\n", "Service already stopped, ignoring call: 1, 0, 0\n",
                                  "runtime error: 100% of %1 and %2 kept\n", "Failed to set runner parameters"};
  for (uint32_t id : logging::known_event_ids) {
    for (const char* message : messages) {
      EXPECT_EQ(format_entry(module.get(), id, message), message) << "event id 0x" << std::hex << id;
    }
  }
}

struct version_data {
  std::unique_ptr<char[]> block;
  VS_FIXEDFILEINFO* fixed = nullptr;
};

version_data read_version(const std::string& path) {
  version_data data;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) return data;
  data.block = std::make_unique<char[]>(size);
  if (!GetFileVersionInfoA(path.c_str(), 0, size, data.block.get())) return data;
  UINT length = 0;
  VerQueryValueA(data.block.get(), "\\", reinterpret_cast<void**>(&data.fixed), &length);
  return data;
}

std::string version_string(const version_data& data, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(data.block.get(), query.c_str(), reinterpret_cast<void**>(&value), &length)) return "";
  return std::string(value);
}

std::string dotted(DWORD most, DWORD least) {
  return std::to_string(HIWORD(most)) + "." + std::to_string(LOWORD(most)) + "." + std::to_string(HIWORD(least)) +
         "." + std::to_string(LOWORD(least));
}

std::string manifest_of(HMODULE module) {
  HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  if (!resource) return "";
  HGLOBAL loaded = LoadResource(module, resource);
  return std::string(static_cast<const char*>(LockResource(loaded)), SizeofResource(module, resource));
}

// Both programs carry the version the service writes as Version, and a
// manifest; the daemon's asks for per-monitor DPI awareness.
TEST(VersionResources, BothProgramsCarryTheServiceVersionAndAManifest) {
  struct program {
    const char* variable;
    const char* file_name;
    bool per_monitor_dpi;
  };
  for (const program& p : {program{"NOLVANE_SERVICE_EXE", "nolvane_service.exe", false},
                           program{"NOLVANE_DAEMON_EXE", "ostrel_service_daemon.exe", true}}) {
    SCOPED_TRACE(p.file_name);
    const std::string path = path_from_environment(p.variable);
    const auto data = read_version(path);
    ASSERT_NE(data.fixed, nullptr);
    EXPECT_EQ(dotted(data.fixed->dwFileVersionMS, data.fixed->dwFileVersionLS), program_version);
    EXPECT_EQ(dotted(data.fixed->dwProductVersionMS, data.fixed->dwProductVersionLS), program_version);
    EXPECT_EQ(version_string(data, "FileVersion"), program_version);
    EXPECT_EQ(version_string(data, "ProductVersion"), program_version);
    EXPECT_EQ(version_string(data, "ProductName"), "Nolvane");
    EXPECT_EQ(version_string(data, "CompanyName"), "Ostrel Works");
    EXPECT_EQ(version_string(data, "OriginalFilename"), p.file_name);

    const auto module = load_as_data(path);
    ASSERT_TRUE(module);
    const std::string manifest = manifest_of(module.get());
    EXPECT_NE(manifest.find("<supportedOS"), std::string::npos);
    EXPECT_EQ(manifest.find("PerMonitorV2") != std::string::npos, p.per_monitor_dpi);
  }
}

}  // namespace
}  // namespace ostrel::packaging_test
