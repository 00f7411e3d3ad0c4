// The simulated pieces the configuration layer reads besides the registry:
// the maker's firmware driver, the environment block and the C: drive.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/machine.h>
#include <winsim/machine_environment.h>

#include <fstream>
#include <filesystem>

namespace {

constexpr DWORD firmware_query = 0x002227F8;

class ConfigWinsimTest : public ::testing::Test {
 protected:
  winsim::machine::scoped_machine machine_;
};

HANDLE open_driver() {
  return CreateFileA("\\\\.\\KELTPMDRV", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

TEST_F(ConfigWinsimTest, FirmwareDriverAnswersWhatTheMachineSays) {
  // A new machine has no such driver.
  SetLastError(0);
  EXPECT_EQ(open_driver(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  winsim::machine::set_firmware_driver_answer(0x12);
  HANDLE driver = open_driver();
  ASSERT_NE(driver, INVALID_HANDLE_VALUE);
  DWORD argument = 0x00100000, result = 0xdeadbeef, returned = 0xdeadbeef;
  ASSERT_TRUE(DeviceIoControl(driver, firmware_query, &argument, 4, &result, 4, &returned, nullptr));
  EXPECT_EQ(result, 0x12u);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(winsim::machine::firmware_driver_last_argument(), 0x00100000u);

  winsim::machine::set_firmware_driver_answer_size(0x2, 2);
  result = 0;
  ASSERT_TRUE(DeviceIoControl(driver, firmware_query, &argument, 4, &result, 4, &returned, nullptr));
  EXPECT_EQ(returned, 2u);

  winsim::machine::set_firmware_driver_failure(ERROR_GEN_FAILURE);
  EXPECT_FALSE(DeviceIoControl(driver, firmware_query, &argument, 4, &result, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(returned, 0u);

  EXPECT_FALSE(DeviceIoControl(driver, 0x00220000, &argument, 4, &result, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  EXPECT_EQ(winsim::machine::firmware_driver_open_count(), 2);
  EXPECT_EQ(winsim::machine::firmware_driver_query_count(), 3);
  EXPECT_TRUE(CloseHandle(driver));
}

TEST_F(ConfigWinsimTest, EnvironmentStringsExpandLikeWindows) {
  char buffer[128];
  const DWORD length = ExpandEnvironmentStringsA("%SystemRoot%\\Temp\\", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "C:\\Windows\\Temp\\");
  EXPECT_EQ(length, std::strlen(buffer) + 1);  // counts the terminating zero

  ExpandEnvironmentStringsA("%systemdrive%|%NoSuchVariable%|100%|%%", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "C:|%NoSuchVariable%|100%|%%");
  // An unknown name leaves its closing '%' free to open the next reference.
  ExpandEnvironmentStringsA("%Nope%TEMP%", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "%NopeC:\\Windows\\TEMP");

  winsim::machine::set_environment_variable("NolvaneOut", std::string("D:\\out"));
  EXPECT_EQ(ExpandEnvironmentStringsA("%NOLVANEOUT%", nullptr, 0), 7u);
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(ExpandEnvironmentStringsA("%NOLVANEOUT%", buffer, 3), 7u);  // too small: the size it needs
  EXPECT_EQ(buffer[0], 'x');
  winsim::machine::reset();
  ExpandEnvironmentStringsA("%NOLVANEOUT%", buffer, sizeof(buffer));
  EXPECT_STREQ(buffer, "%NOLVANEOUT%");
}

TEST_F(ConfigWinsimTest, FileAttributesComeFromDriveC) {
  namespace fs = std::filesystem;
  const fs::path drive = fs::path(machine_.path()) / "drive_c";
  fs::create_directories(drive / "Windows" / "Temp");
  std::ofstream(drive / "Windows" / "Temp" / "log.txt") << "x";

  EXPECT_EQ(GetFileAttributesA("C:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                             FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesA("c:\\WINDOWS\\temp\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesA("C:/Windows/Temp/LOG.TXT"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesA("C:\\Windows\\system32\\..\\Temp"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

  EXPECT_EQ(GetFileAttributesA("C:\\Windows\\Temp\\missing.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA("C:\\Nowhere\\file.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA("D:\\Windows"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
