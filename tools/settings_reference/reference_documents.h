// The settings reference (docs/settings.md) and the Group Policy templates
// (packaging/policy/nolvane.admx and en-US/nolvane.adml), rendered from the
// settings table of the service and the words of setting_texts.
#pragma once

#include "config/reader.h"
#include "setting_texts.h"

#include <string>
#include <vector>

namespace ostrel::settings_reference {

// One value of the product root with its words. Exactly one of dword and
// string is set.
struct documented_value {
  const setting_text* text = nullptr;
  const config::dword_entry* dword = nullptr;
  const config::string_entry* string = nullptr;

  const char* name() const { return dword ? dword->name : string->name; }
  const char* sub_key() const { return dword ? dword->sub_key : string->sub_key; }
  bool per_power_source() const { return dword ? dword->per_power_source : string->per_power_source; }
  // A DWORD limited to 0 and 1, shown as a check box.
  bool is_switch() const { return dword && dword->min_value == 0 && dword->max_value == 1; }
};

// Every value of the table, in the order of setting_texts. Throws
// std::runtime_error when a value has no words or words name no value, so
// a new setting cannot be left out of the documents.
std::vector<documented_value> documented_values();

// The keys, below HKEY_LOCAL_MACHINE, the value lives in: one, or the
// PluggedIn and the OnBattery key.
std::vector<std::string> value_keys(const documented_value& value);

// Longest string a REG_SZ setting may hold: the reader reads 256 bytes with
// the terminating zero.
inline constexpr int max_string_length = 255;

std::string settings_markdown();
std::string policy_admx();
std::string policy_adml();

// Relative to the source tree, where each document is kept.
struct generated_document {
  const char* path;
  std::string (*render)();
};
const std::vector<generated_document>& generated_documents();

}  // namespace ostrel::settings_reference
