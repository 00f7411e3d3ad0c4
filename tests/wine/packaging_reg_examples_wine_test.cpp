// The .reg examples of docs/examples, imported with `reg import` as an
// administrator would, and read back through the service's settings reader.
#include "config/reader.h"
#include "config/reader_winreg.h"
#include "packaging_wine_support.h"
#include "reg_file.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace ostrel::packaging_test {
namespace {

constexpr DWORD reg_timeout_ms = 60000;

std::vector<std::string> example_files(const std::string& directory) {
  std::vector<std::string> files;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((directory + "\\*.reg").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    files.push_back(directory + "\\" + found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return files;
}

const config::dword_entry* table_entry(const std::string& name) {
  for (const auto* entry : config::values::product_dword_entries) {
    if (name == entry->name) return entry;
  }
  return nullptr;
}

// The key the reader uses for `entry` with the given power source.
std::string reader_key(const config::dword_entry& entry, bool plugged_in) {
  std::string key = std::string(config::product_root) + "\\" + entry.sub_key;
  if (entry.per_power_source) key += std::string("\\") + (plugged_in ? config::plugged_in_word : config::on_battery_word);
  return key;
}

void delete_values(const test::reg_file& file) {
  for (const auto& value : file.values) RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, value.key.c_str(), value.name.c_str());
}

TEST(RegExamples, EachImportsAndReadsBackThroughTheSettingsReader) {
  const auto files = example_files(path_from_environment("NOLVANE_REG_EXAMPLES"));
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path);
    const auto file = test::read_reg_file(path);
    ASSERT_EQ(file.error, "");
    delete_values(file);
    ASSERT_EQ(run_program("reg import \"" + path + "\"", reg_timeout_ms), 0u);
    for (const auto& value : file.values) {
      SCOPED_TRACE(value.key + " " + value.name);
      const auto* entry = table_entry(value.name);
      ASSERT_NE(entry, nullptr);
      const bool plugged_in = value.key == reader_key(*entry, true);
      ASSERT_EQ(value.key, reader_key(*entry, plugged_in));
      config::reader_winreg reader(config::product_root, plugged_in, /*subscribe=*/false);
      EXPECT_EQ(reader.read_dword(*entry), static_cast<int32_t>(value.value));
    }
    delete_values(file);
  }
}

}  // namespace
}  // namespace ostrel::packaging_test
