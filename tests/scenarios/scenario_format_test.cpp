#include "scenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace nolvane_sim {
namespace {

std::vector<step> parse(const std::string& text) {
  std::istringstream in(text);
  return parse_scenario(in);
}

std::string error_of(const std::string& text) {
  try {
    parse(text);
  } catch (const parse_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(ScenarioFormat, StepsKeepTheirTimesWordsAndFreeText) {
  const auto steps = parse(
      "# a comment\n"
      "\n"
      "registry Nolvane\\UserSettings\\PluggedIn LockScreenTimeout dword 0\n"
      "registry \"HKLM\\SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings\" OutputDirectory string C:\\Out Dir\\\r\n"
      "  start\n"
      "at 2.5s user away\n"
      "at 300ms expect trace event:PROXIMITY_FAR  state:RUNNING\n"
      "expect journal \"window_shown class=KeltDimOverlayWindow\"\n"
      "expect status stopped exit 1610\n"
      "expect registry Nolvane\\ServiceStatus Version 1000.124.444.10302\n"
      "trace info sm runner\n"
      "sensor interval 250ms\n"
      "sensor legacy\n"
      "monitor attach\n"
      "expect overlay gone\n"
      "expect display on within 500ms\n");
  ASSERT_EQ(steps.size(), 14u);

  EXPECT_EQ(steps[0].line, 3);
  EXPECT_EQ(steps[0].at_seconds, -1.0);
  EXPECT_EQ(steps[0].words,
            (std::vector<std::string>{"registry", "Nolvane\\UserSettings\\PluggedIn", "LockScreenTimeout", "dword", "0"}));
  EXPECT_EQ(registry_key(steps[0].words[1]), "SOFTWARE\\Ostrel Works\\Nolvane\\UserSettings\\PluggedIn");

  // Quotes keep blanks in a word; the free text runs to the end of the line.
  EXPECT_EQ(registry_key(steps[1].words[1]), "SOFTWARE\\Ostrel Works\\Nolvane\\SystemSettings");
  EXPECT_EQ(steps[1].words[3], "string");
  EXPECT_EQ(steps[1].text, "C:\\Out Dir\\");

  EXPECT_EQ(steps[2].words, std::vector<std::string>{"start"});
  EXPECT_DOUBLE_EQ(steps[3].at_seconds, 2.5);
  EXPECT_EQ(steps[3].source, "user away");
  EXPECT_DOUBLE_EQ(steps[4].at_seconds, 0.3);
  EXPECT_EQ(steps[4].text, "event:PROXIMITY_FAR  state:RUNNING");
  EXPECT_EQ(steps[5].text, "window_shown class=KeltDimOverlayWindow");
  EXPECT_EQ(steps[6].words, (std::vector<std::string>{"expect", "status", "stopped", "exit", "1610"}));
  EXPECT_EQ(steps[7].text, "1000.124.444.10302");
  EXPECT_EQ(steps[8].words, (std::vector<std::string>{"trace", "info", "sm", "runner"}));
  EXPECT_EQ(steps[9].words, (std::vector<std::string>{"sensor", "interval", "250ms"}));
  EXPECT_EQ(steps[10].words, (std::vector<std::string>{"sensor", "legacy"}));
  EXPECT_EQ(steps[11].words, (std::vector<std::string>{"monitor", "attach"}));
  EXPECT_EQ(steps[12].words, (std::vector<std::string>{"expect", "overlay", "gone"}));
  EXPECT_EQ(steps[13].words, (std::vector<std::string>{"expect", "display", "on", "within", "500ms"}));
}

TEST(ScenarioFormat, MistakesNameTheirLine) {
  EXPECT_EQ(error_of("start\nfly away\n"), "line 2: unknown command 'fly'");
  EXPECT_EQ(error_of("user gone\n"), "line 1: unknown 'gone' after 'user'");
  EXPECT_EQ(error_of("at soon start\n"), "line 1: 'at <time> <command>'");
  EXPECT_EQ(error_of("at 2s\n"), "line 1: 'at <time> <command>'");
  EXPECT_EQ(error_of("wait forever\n"), "line 1: 'forever' is not a time");
  EXPECT_EQ(error_of("registry Nolvane\\X Y dword many\n"), "line 1: 'many' is not a number");
  EXPECT_EQ(error_of("registry \"Nolvane\\X Y dword 1\n"), "line 1: missing closing quote");
  EXPECT_EQ(error_of("expect status sleeping\n"), "line 1: unknown 'sleeping' after 'status'");
  EXPECT_EQ(error_of("expect trace\n"), "line 1: text missing");
  EXPECT_EQ(error_of("control stop now\n"), "line 1: expected 2 words after 'control'");
  EXPECT_EQ(error_of("sensor interval soon\n"), "line 1: 'soon' is not a time");
  EXPECT_EQ(error_of("sensor interval\n"), "line 1: unknown 'interval' after 'sensor'");
  EXPECT_EQ(error_of("monitor on\n"), "line 1: unknown 'on' after 'monitor'");
  EXPECT_EQ(error_of("expect overlay hidden\n"), "line 1: unknown 'hidden' after 'overlay'");
  EXPECT_EQ(error_of("expect overlay gone soon\n"), "line 1: expect overlay shown|gone [within <time>]");
  EXPECT_EQ(error_of("expect display on before 1s\n"), "line 1: expected 'within'");
  EXPECT_EQ(error_of("expect overlay gone within ever\n"), "line 1: 'ever' is not a time");

  // Only what the simulation can carry out: a number it can convert, a time its clock can hold.
  // A zero byte inside a word does not end it early, nor the message that
  // shows the word.
  using namespace std::string_literals;
  EXPECT_EQ(error_of("firmware 1\0x\n"s), "line 1: '1\\x00x' is not a number");
  EXPECT_EQ(error_of("firmware \0\n"s), "line 1: '\\x00' is not a number");
  EXPECT_EQ(error_of("wait 1\0s\n"s), "line 1: '1\\x00s' is not a time");
  EXPECT_EQ(error_of("user \x1b[2J\n"), "line 1: unknown '\\x1b[2J' after 'user'");
  EXPECT_EQ(error_of("registry Nolvane\\X Y dword 99999999999999999999\n"),
            "line 1: '99999999999999999999' is not a number");
  for (const char* time : {"inf", "nan", "1e300", "1e9", "1e12ms"}) {
    EXPECT_EQ(error_of(std::string("at ") + time + " start\n"), "line 1: 'at <time> <command>'") << time;
  }
  EXPECT_EQ(error_of("wait 999999999\n"), "no error");
}

TEST(ScenarioFormat, TheShippedScenariosParse) {
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SCENARIO_DIR)) {
    if (entry.path().extension() != ".scn") continue;
    ++files;
    EXPECT_NO_THROW(load_scenario(entry.path().string())) << entry.path();
  }
  EXPECT_GE(files, 1u);
  EXPECT_THROW(load_scenario(std::string(SCENARIO_DIR) + "/missing.scn"), parse_error);
}

}  // namespace
}  // namespace nolvane_sim
