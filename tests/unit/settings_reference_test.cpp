// The documents generated from the settings table, and the packaging files
// that repeat what the code defines, against the code.
#include "config/reader.h"
#include "logging/trace_provider.h"
#include "reference_documents.h"
#include "reg_file.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::settings_reference {
namespace {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

std::string source_file(const std::string& relative) {
  std::ifstream in(std::string(NOLVANE_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SettingsReference, CommittedDocumentsAreTheOnesTheTableGives) {
  for (const auto& document : generated_documents()) {
    EXPECT_TRUE(source_file(document.path) == document.render())
        << document.path << " differs from the settings table; build the target settings_reference of the native "
        << "preset and commit the result";
  }
}

// A value added to the table but not to the lists the documents are made
// from would be missing from them without any other test noticing.
TEST(SettingsReference, EveryValueOfTheTableIsDocumented) {
  const std::string header = source_file("src/config/reader.h");
  const std::regex declaration(R"re(constexpr (dword|string)_entry \w+\{"(\w+)")re");
  std::vector<std::string> declared;
  for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
    declared.push_back((*it)[2]);
  }
  ASSERT_GT(declared.size(), 10u);
  std::vector<std::string> documented;
  for (const auto& value : documented_values()) documented.push_back(value.name());
  for (const auto& name : declared) {
    if (name == config::values::mm.name) continue;  // the laptop maker's, documented apart
    EXPECT_EQ(std::count(documented.begin(), documented.end(), name), 1) << name;
  }
  EXPECT_EQ(documented.size() + 1, declared.size());
}

// Every element of the ADMX that names a registry value, with its key.
struct policy_element {
  std::string kind;  // decimal, boolean, text
  std::string key;
  const XMLElement* element;
};

std::multimap<std::string, policy_element> policy_elements(const XMLDocument& admx) {
  std::multimap<std::string, policy_element> elements;
  const XMLElement* policies = admx.RootElement()->FirstChildElement("policies");
  for (auto* policy = policies->FirstChildElement("policy"); policy; policy = policy->NextSiblingElement("policy")) {
    for (auto* element = policy->FirstChildElement("elements")->FirstChildElement(); element;
         element = element->NextSiblingElement()) {
      const char* key = element->Attribute("key") ? element->Attribute("key") : policy->Attribute("key");
      elements.insert({element->Attribute("valueName"), {element->Name(), key, element}});
    }
  }
  return elements;
}

std::string attribute(const XMLElement* element, const char* name) {
  const char* value = element->Attribute(name);
  return value ? value : "";
}

// The ADMX has one policy per setting whose elements write exactly the
// setting's keys and value name within its limits; the ADML has every text
// and presentation the ADMX refers to, with the setting's default.
TEST(PolicyTemplates, AreWellFormedAndCarryEverySettingOnce) {
  XMLDocument admx;
  XMLDocument adml;
  ASSERT_EQ(admx.Parse(source_file("packaging/policy/nolvane.admx").c_str()), tinyxml2::XML_SUCCESS)
      << admx.ErrorStr();
  ASSERT_EQ(adml.Parse(source_file("packaging/policy/en-US/nolvane.adml").c_str()), tinyxml2::XML_SUCCESS)
      << adml.ErrorStr();
  std::map<std::string, std::string> strings;
  std::map<std::string, const XMLElement*> presentations;
  const XMLElement* resources = adml.RootElement()->FirstChildElement("resources");
  for (auto* s = resources->FirstChildElement("stringTable")->FirstChildElement(); s; s = s->NextSiblingElement()) {
    strings[attribute(s, "id")] = s->GetText() ? s->GetText() : "";
  }
  for (auto* p = resources->FirstChildElement("presentationTable")->FirstChildElement(); p;
       p = p->NextSiblingElement()) {
    presentations[attribute(p, "id")] = p;
  }

  const auto elements = policy_elements(admx);
  size_t settings = 0;
  for (const auto& value : documented_values()) {
    if (value.text->role != value_role::setting) {
      EXPECT_EQ(elements.count(value.name()), 0u) << value.name();
      continue;
    }
    ++settings;
    SCOPED_TRACE(value.name());
    const auto keys = value_keys(value);
    auto [first, last] = elements.equal_range(value.name());
    ASSERT_EQ(static_cast<size_t>(std::distance(first, last)), keys.size());
    for (const auto& key : keys) {
      auto found = std::find_if(first, last, [&](const auto& e) { return e.second.key == key; });
      ASSERT_NE(found, last) << key;
      const XMLElement* element = found->second.element;
      const XMLElement* presented = nullptr;
      for (const auto& [id, presentation] : presentations) {
        for (auto* box = presentation->FirstChildElement(); box; box = box->NextSiblingElement()) {
          if (attribute(box, "refId") == attribute(element, "id")) presented = box;
        }
      }
      ASSERT_NE(presented, nullptr) << "no presentation for " << attribute(element, "id");
      if (value.string) {
        EXPECT_EQ(found->second.kind, "text");
        EXPECT_EQ(presented->FirstChildElement("defaultValue")->GetText(), std::string(value.string->default_value));
      } else if (found->second.kind == "boolean") {
        EXPECT_TRUE(value.is_switch());
        EXPECT_EQ(element->FirstChildElement("trueValue")->FirstChildElement("decimal")->IntAttribute("value"),
                  value.dword->max_value);
        EXPECT_EQ(element->FirstChildElement("falseValue")->FirstChildElement("decimal")->IntAttribute("value"),
                  value.dword->min_value);
        EXPECT_EQ(attribute(presented, "defaultChecked"), value.dword->default_value ? "true" : "false");
      } else {
        EXPECT_EQ(found->second.kind, "decimal");
        EXPECT_EQ(element->IntAttribute("minValue", -1), value.dword->min_value);
        EXPECT_EQ(element->IntAttribute("maxValue", -1), value.dword->max_value);
        EXPECT_EQ(presented->IntAttribute("defaultValue", -1), value.dword->default_value);
      }
    }
    EXPECT_EQ(strings.count(value.name()), 1u);
    EXPECT_NE(strings[std::string(value.name()) + "_Help"].find("outside the Policies key"), std::string::npos);
  }
  size_t policies = 0;
  for (auto* p = admx.RootElement()->FirstChildElement("policies")->FirstChildElement(); p;
       p = p->NextSiblingElement()) {
    ++policies;
  }
  EXPECT_EQ(policies, settings);
}

const config::dword_entry* table_entry(const std::string& name) {
  for (const auto* entry : config::values::product_dword_entries) {
    if (name == entry->name) return entry;
  }
  return nullptr;
}

// Each example sets table values in their own keys and within their limits
// (the Wine test imports them and reads them back through the reader).
TEST(RegExamples, SetTableValuesInTheirKeysWithinTheirLimits) {
  const char* const examples[] = {"always-require-sign-in.reg", "dim-sooner-on-battery.reg",
                                  "keep-working-with-external-monitor.reg"};
  for (const char* name : examples) {
    SCOPED_TRACE(name);
    const auto file = test::read_reg_file(std::string(NOLVANE_SOURCE_DIR) + "/docs/examples/" + name);
    ASSERT_EQ(file.error, "");
    ASSERT_FALSE(file.values.empty());
    for (const auto& value : file.values) {
      const auto* entry = table_entry(value.name);
      ASSERT_NE(entry, nullptr) << value.name;
      const auto keys = value_keys({nullptr, entry, nullptr});
      EXPECT_NE(std::find(keys.begin(), keys.end(), value.key), keys.end()) << value.key;
      EXPECT_GE(static_cast<int32_t>(value.value), entry->min_value) << value.name;
      EXPECT_LE(static_cast<int32_t>(value.value), entry->max_value) << value.name;
    }
  }
}

std::string provider_guid_text() {
  const GUID& id = logging::nolvane_provider_id;
  char text[40];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

// The trace profile and the troubleshooting page name the provider the
// service registers; the manifests are XML Windows can load.
TEST(PackagingFiles, NameTheProviderOfTheCodeAndParse) {
  XMLDocument profile;
  ASSERT_EQ(profile.Parse(source_file("packaging/nolvane.wprp").c_str()), tinyxml2::XML_SUCCESS)
      << profile.ErrorStr();
  const XMLElement* provider = profile.RootElement()->FirstChildElement("Profiles")->FirstChildElement("EventProvider");
  ASSERT_NE(provider, nullptr);
  EXPECT_EQ(attribute(provider, "Name"), provider_guid_text());
  EXPECT_EQ(attribute(provider, "Level"), "5");
  EXPECT_NE(source_file("docs/troubleshooting.md").find(provider_guid_text()), std::string::npos);

  for (const char* manifest : {"packaging/program.manifest.in", "packaging/per_monitor_dpi.manifest.part"}) {
    XMLDocument document;
    std::string text = source_file(manifest);
    text = std::regex_replace(text, std::regex("@PROGRAM_WINDOWS_SETTINGS@"), "");
    if (std::string(manifest).find(".part") != std::string::npos) text = "<part>" + text + "</part>";
    EXPECT_EQ(document.Parse(text.c_str()), tinyxml2::XML_SUCCESS) << manifest << ": " << document.ErrorStr();
  }
}

}  // namespace
}  // namespace ostrel::settings_reference
