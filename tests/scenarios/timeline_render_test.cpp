// nolvane_sim --timeline draws a scenario run; rsvg-convert must render the
// picture, and the picture must show every lane, the states the run went
// through and the expectation that failed, in red.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const failed_red = "#d50000";

int exit_code_of(const std::string& command) {
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

struct drawn_text {
  std::string text;
  std::string fill;
};

// Every <text> and every <title> (the tooltip a bar carries even when its
// label does not fit), wherever they sit in the document.
void collect(const tinyxml2::XMLElement* e, std::vector<drawn_text>* texts, std::vector<std::string>* titles) {
  for (; e != nullptr; e = e->NextSiblingElement()) {
    const std::string name = e->Name();
    const char* content = e->GetText();
    if (name == "text") texts->push_back({content ? content : "", e->Attribute("fill") ? e->Attribute("fill") : ""});
    if (name == "title" && content) titles->push_back(content);
    collect(e->FirstChildElement(), texts, titles);
  }
}

bool any_text(const std::vector<drawn_text>& texts, const std::string& wanted) {
  for (const auto& t : texts) {
    if (t.text == wanted) return true;
  }
  return false;
}

bool any_title_starting(const std::vector<std::string>& titles, const std::string& prefix) {
  for (const auto& t : titles) {
    if (t.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

uint32_t big_endian(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

class TimelinePicture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("timeline_render_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(TimelinePicture, ARunRendersWithEveryLaneItsStatesAndItsFailedExpectationInRed) {
  const fs::path svg = dir_ / "run.svg";
  const fs::path png = dir_ / "run.png";
  // The scenario's last expectation fails by design: exit code 1, picture written all the same.
  ASSERT_EQ(exit_code_of(std::string(NOLVANE_SIM) + " --timeline " + quoted(svg) + " " + TIMELINE_SCENARIO + " > " +
                         quoted(dir_ / "run.txt") + " 2>&1"),
            1)
      << "see " << (dir_ / "run.txt");
  EXPECT_FALSE(fs::exists(svg.string() + ".partial"));

  tinyxml2::XMLDocument document;
  ASSERT_EQ(document.LoadFile(svg.c_str()), tinyxml2::XML_SUCCESS) << document.ErrorStr();
  const tinyxml2::XMLElement* root = document.RootElement();
  ASSERT_NE(root, nullptr);
  ASSERT_STREQ(root->Name(), "svg");
  std::vector<drawn_text> texts;
  std::vector<std::string> titles;
  collect(root, &texts, &titles);

  EXPECT_TRUE(any_text(texts, "timeline_render.scn"));
  for (const char* lane : {"sensor presence", "user input", "state", "sub-state", "overlay", "display",
                           "lock and session", "power source", "daemon runs"}) {
    EXPECT_TRUE(any_text(texts, lane)) << lane;
  }
  // What the run went through, each as a bar of its lane.
  for (const char* value : {"present from", "away from", "RUNNING from", "STOPPED from", "USER_PRESENT from",
                            "USER_ABSENT from", "DIMMING from", "LOCKED from", "shown from", "on from",
                            "locked from", "unlocked from", "mains from", "battery from",
                            "dim_screen 8500 → terminated from", "monitor_activity → exit 0 from"}) {
    EXPECT_TRUE(any_title_starting(titles, value)) << value;
  }
  EXPECT_TRUE(any_text(texts, "input"));

  // The one failed expectation, in red, by its line; none of those that held.
  std::vector<std::string> red;
  for (const auto& t : texts) {
    if (t.fill == failed_red) red.push_back(t.text);
  }
  ASSERT_EQ(red.size(), 2u);  // "FAILED" over its moment and the line below the lanes
  EXPECT_EQ(red[0], "FAILED");
  EXPECT_NE(red[1].find("line 20: expect display off within 300ms"), std::string::npos) << red[1];
  EXPECT_TRUE(any_title_starting(titles, "line 13: expect overlay gone within 4s"));

  ASSERT_EQ(exit_code_of(std::string(RSVG_CONVERT) + " " + quoted(svg) + " -o " + quoted(png)), 0);
  std::ifstream file(png, std::ios::binary);
  std::vector<unsigned char> head(24);
  file.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  ASSERT_EQ(file.gcount(), 24);
  const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_TRUE(std::equal(std::begin(signature), std::end(signature), head.begin()));
  EXPECT_EQ(std::string(head.begin() + 12, head.begin() + 16), "IHDR");
  EXPECT_EQ(big_endian(&head[16]), static_cast<uint32_t>(root->DoubleAttribute("width")));
  EXPECT_EQ(big_endian(&head[20]), static_cast<uint32_t>(root->DoubleAttribute("height")));
}

}  // namespace
