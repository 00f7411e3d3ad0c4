#include "config/output_directory.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>
#include <winsim/machine_environment.h>

#include <filesystem>
#include <fstream>

namespace ostrel {
namespace {

using config::check_output_directory;
using test::trace_capture;

class OutputDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(winsim::machine::host_path("C:\\Windows\\Temp"));
    std::filesystem::create_directories(winsim::machine::host_path("C:\\Ostrel\\Output"));
    std::ofstream(winsim::machine::host_path("C:\\Ostrel\\notes.txt")) << "not a directory";
  }

  winsim::machine::scoped_machine machine_;
  trace_capture capture_{0};
};

TEST_F(OutputDirectoryTest, DirectoriesPassAndEverythingElseIsLoggedWithItsReason) {
  std::string path;
  EXPECT_TRUE(check_output_directory("C:\\Windows\\Temp\\", &path));
  EXPECT_EQ(path, "C:\\Windows\\Temp\\");
  // Environment references are expanded first (TEMP is C:\Windows\TEMP here).
  EXPECT_TRUE(check_output_directory("%TEMP%", &path));
  EXPECT_EQ(path, "C:\\Windows\\TEMP");
  winsim::machine::set_environment_variable("OUT", std::string("C:\\Ostrel\\Output"));
  EXPECT_TRUE(check_output_directory("%OUT%\\", &path));
  // Nothing configured: nothing to check.
  EXPECT_TRUE(check_output_directory(""));
  EXPECT_TRUE(capture_.messages().empty()) << capture_.dump();

  EXPECT_FALSE(check_output_directory("C:\\missing\\", &path));
  EXPECT_EQ(path, "C:\\missing\\");
  EXPECT_TRUE(capture_.contains("[runner] Error: is_directory failed - 'C:\\missing\\' does not exist"));
  EXPECT_TRUE(capture_.contains("[runner] Output directory is not a directory: C:\\missing\\"));

  // A file is not a directory either.
  EXPECT_FALSE(check_output_directory("C:\\Ostrel\\notes.txt"));
  EXPECT_TRUE(capture_.contains("[runner] Error: is_directory failed - 'C:\\Ostrel\\notes.txt' does not exist"));
  EXPECT_TRUE(capture_.contains("[runner] Output directory is not a directory: C:\\Ostrel\\notes.txt"));

  // Only a failed query means "cannot access".
  winsim::machine::fail_call("GetFileAttributesA", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(check_output_directory("C:\\Ostrel\\Output"));
  EXPECT_TRUE(capture_.contains("[runner] Error: is_directory failed - cannot access 'C:\\Ostrel\\Output'"));
  EXPECT_TRUE(capture_.contains("[runner] Output directory is not a directory: C:\\Ostrel\\Output"));
}

TEST_F(OutputDirectoryTest, AnExpansionThatFailsSkipsTheCheck) {
  winsim::machine::fail_call("ExpandEnvironmentStringsA", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_TRUE(check_output_directory("C:\\missing\\"));
  EXPECT_TRUE(capture_.contains(
      "[runner] WARNING: Failed to get environment variable for output directory. Trying to access :C:\\missing\\"));
  EXPECT_EQ(capture_.count_containing("is_directory"), 0u);

  // An expansion longer than the 260-byte buffer fails the same way instead
  // of checking a cut-off path.
  capture_.clear();
  winsim::machine::set_environment_variable("LONG", std::string(300, 'x'));
  EXPECT_TRUE(check_output_directory("C:\\%LONG%"));
  EXPECT_TRUE(capture_.contains(
      "[runner] WARNING: Failed to get environment variable for output directory. Trying to access :C:\\%LONG%"));

  // A text that expands to nothing is not checked.
  capture_.clear();
  winsim::machine::set_environment_variable("EMPTY", std::string());
  EXPECT_TRUE(check_output_directory("%EMPTY%"));
  EXPECT_EQ(capture_.count_containing("is_directory"), 0u);
}

}  // namespace
}  // namespace ostrel
