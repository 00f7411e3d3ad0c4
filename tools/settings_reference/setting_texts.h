// What each value of the settings table means to the people who set it: the
// words of the settings reference and of the policy templates. Limits,
// defaults, types and keys are not repeated here; they come from the table
// in src/config/reader.h.
#pragma once

#include <string>
#include <vector>

namespace ostrel::settings_reference {

enum class value_role {
  setting,  // set by an administrator or a user; has a policy
  status,   // written by the service; documented, no policy
};

struct setting_text {
  const char* name;         // the registry value name, as in the table
  value_role role;
  const char* title;        // policy display name and section heading
  const char* unit;         // "seconds", or "" for none
  const char* description;  // plain words; one paragraph
};

// In the order the documents list them.
const std::vector<setting_text>& setting_texts();

// The text for `name`, or nullptr.
const setting_text* find_setting_text(const std::string& name);

}  // namespace ostrel::settings_reference
