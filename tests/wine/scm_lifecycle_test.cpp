// nolvane_service.exe under Wine's service control manager, installed and
// driven the way an installer and the SCM do it: CreateServiceA with a quoted
// path under a directory with blanks, StartServiceA, QueryServiceStatusEx,
// ControlService and DeleteService, with the registry read from outside.
//
//   scm_lifecycle_tests <nolvane_service.exe> <ostrel_service_daemon.exe> <sensor_manager_double.dll>
//
// Wine has no sensor manager (its class is not registered), so every engine
// start fails: the service reports RUNNING, retries and then stops itself.
// Where a test needs the service in its event loop, it registers the
// stand-in sensor manager of sensor_manager_double.cpp.
// Wine ends a service when the last program of the session ends, so this
// program stays alive until each service has stopped.
#include "registry_test_keys.h"
#include "unique_handle.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ostrel::unique_hkey;

void close_service_handle(SC_HANDLE handle) { CloseServiceHandle(handle); }
using unique_service = ostrel::unique_any<SC_HANDLE, decltype(&close_service_handle), close_service_handle>;

constexpr char service_name[] = "NolvaneSvc";
constexpr char install_root[] = "C:\\Nolvane Wine Test";
constexpr char program_directory[] = "C:\\Nolvane Wine Test\\Program Files";
constexpr char product_key[] = "SOFTWARE\\Ostrel Works\\Nolvane";
constexpr char status_key[] = "SOFTWARE\\Ostrel Works\\Nolvane\\ServiceStatus";
constexpr char old_location[] = "SYSTEM\\CurrentControlSet\\Services\\NolvaneSvc";
constexpr char transform_root[] = "SYSTEM\\CurrentControlSet\\Services\\KELTPMSVC";
// CLSID_SensorManager, as Wine's COM names it in its log.
constexpr char sensor_manager_missing[] = "class {77a1c827-fcd2-4689-8915-9d613cc5fa3e} not registered";

constexpr DWORD controls_accepted_running = 0xE7;
constexpr int engine_init_retries = 10;
constexpr ULONGLONG retry_wait_ms = 1000;
constexpr ULONGLONG state_limit_ms = 30000;  // a state that takes longer fails the test
constexpr ULONGLONG poll_ms = 5;

std::string service_program;  // Windows paths of the programs under test
std::string daemon_program;
std::string sensor_manager_double;
constexpr char sensor_manager_class[] =
    "SOFTWARE\\Classes\\CLSID\\{77A1C827-FCD2-4689-8915-9D613CC5FA3E}";

// Wine shows the Unix file system as drive Z:.
std::string windows_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string converted = "Z:" + path;
  std::replace(converted.begin(), converted.end(), '/', '\\');
  return converted;
}

std::string environment(const char* name) {
  char value[4096];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// One status as seen from outside, with the time it was first seen.
struct observed_status {
  SERVICE_STATUS_PROCESS status{};
  ULONGLONG seen_ms = 0;
};

bool same_status(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
  return a.dwCurrentState == b.dwCurrentState && a.dwCheckPoint == b.dwCheckPoint &&
         a.dwControlsAccepted == b.dwControlsAccepted && a.dwWin32ExitCode == b.dwWin32ExitCode &&
         a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode;
}

std::string describe(const SERVICE_STATUS_PROCESS& s) {
  std::ostringstream text;
  text << "state " << s.dwCurrentState << ", checkpoint " << s.dwCheckPoint << ", controls 0x" << std::hex
       << s.dwControlsAccepted << std::dec << ", exit code " << s.dwWin32ExitCode << "/"
       << s.dwServiceSpecificExitCode << ", process " << s.dwProcessId;
  return text.str();
}

// Every distinct status the service reported, in order, polled every 5 ms.
class status_history {
 public:
  explicit status_history(SC_HANDLE service) : service_(service) {}

  // Polls until a recorded status satisfies `wanted`; fails the test after
  // `limit_ms` and then returns the last status.
  observed_status wait_for(const char* what, const std::function<bool(const SERVICE_STATUS_PROCESS&)>& wanted,
                           ULONGLONG limit_ms = state_limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    size_t checked = 0;
    for (;;) {
      poll();
      for (; checked < seen_.size(); ++checked) {
        if (wanted(seen_[checked].status)) return seen_[checked];
      }
      if (GetTickCount64() >= deadline) {
        ADD_FAILURE() << "no " << what << " within " << limit_ms << " ms; statuses seen:\n" << text();
        return seen_.empty() ? observed_status{} : seen_.back();
      }
      Sleep(poll_ms);
    }
  }

  observed_status wait_for_state(DWORD state, ULONGLONG limit_ms = state_limit_ms) {
    return wait_for(
        ("state " + std::to_string(state)).c_str(),
        [state](const SERVICE_STATUS_PROCESS& s) { return s.dwCurrentState == state; }, limit_ms);
  }

  const std::vector<observed_status>& seen() const { return seen_; }

  std::string text() const {
    std::string all;
    for (const auto& s : seen_) all += "  " + std::to_string(s.seen_ms) + " ms: " + describe(s.status) + "\n";
    return all;
  }

 private:
  void poll() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed)) {
      ADD_FAILURE() << "QueryServiceStatusEx failed with " << GetLastError();
      return;
    }
    if (seen_.empty() || !same_status(seen_.back().status, status)) seen_.push_back({status, GetTickCount64()});
  }

  SC_HANDLE service_;
  std::vector<observed_status> seen_;
};

std::string read_string(const char* key_path, const char* name) {
  char text[256] = {};
  DWORD size = sizeof text;
  const LSTATUS status = RegGetValueA(HKEY_LOCAL_MACHINE, key_path, name, RRF_RT_REG_SZ, nullptr, text, &size);
  return status == ERROR_SUCCESS ? std::string(text) : "<" + std::to_string(status) + ">";
}

int64_t read_dword(const char* key_path, const char* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  const LSTATUS status = RegGetValueA(HKEY_LOCAL_MACHINE, key_path, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
  return status == ERROR_SUCCESS ? static_cast<int64_t>(value) : -static_cast<int64_t>(status);
}

void write_dword(const std::string& key_path, const char* name, DWORD value) {
  unique_hkey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS)
      << key_path;
  ASSERT_EQ(RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
}

void write_string(const std::string& key_path, const char* name, const std::string& value) {
  unique_hkey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                            nullptr),
            ERROR_SUCCESS)
      << key_path;
  ASSERT_EQ(RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
}

// One entry of a key's DACL.
struct access_entry {
  std::string trustee;  // SID string, e.g. "S-1-5-32-545" for Users
  BYTE type = 0;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
};

std::vector<access_entry> dacl_of(const std::string& key_path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::string object = "MACHINE\\" + key_path;
  const DWORD status = GetNamedSecurityInfoA(object.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &dacl, nullptr, &descriptor);
  EXPECT_EQ(status, static_cast<DWORD>(ERROR_SUCCESS)) << key_path;
  std::vector<access_entry> entries;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    access_entry entry;
    entry.type = allowed->Header.AceType;
    entry.flags = allowed->Header.AceFlags;
    entry.mask = allowed->Mask;
    LPSTR sid = nullptr;
    if (ConvertSidToStringSidA(const_cast<DWORD*>(&allowed->SidStart), &sid)) {
      entry.trustee = sid;
      LocalFree(sid);
    }
    entries.push_back(entry);
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return entries;
}

std::string describe(const std::vector<access_entry>& entries) {
  std::ostringstream text;
  for (const auto& e : entries) {
    text << " {" << e.trustee << " type " << int(e.type) << " flags 0x" << std::hex << int(e.flags) << " mask 0x"
         << e.mask << std::dec << "}";
  }
  return text.str();
}

// The entries the key has of its own, not from its parent.
std::vector<access_entry> explicit_entries(const std::string& key_path) {
  std::vector<access_entry> entries = dacl_of(key_path);
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [](const access_entry& e) { return (e.flags & INHERITED_ACE) != 0; }),
                entries.end());
  return entries;
}

// Generic rights as a key understands them (Wine stores them unmapped).
ACCESS_MASK key_rights(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
  MapGenericMask(&mask, &mapping);
  return mask;
}

// Replaces a key's DACL by one entry of its own: Everyone with full control.
bool grant_everyone(const std::string& key_path) {
  EXPLICIT_ACCESS_A entry = test_support::named_entry("Everyone", TRUSTEE_IS_WELL_KNOWN_GROUP, KEY_ALL_ACCESS);
  PACL acl = nullptr;
  if (SetEntriesInAclA(1, &entry, nullptr, &acl) != ERROR_SUCCESS) return false;
  std::string object = "MACHINE\\" + key_path;
  const DWORD status = SetNamedSecurityInfoA(&object[0], SE_REGISTRY_KEY,
                                             DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                             nullptr, nullptr, acl, nullptr);
  LocalFree(acl);
  return status == ERROR_SUCCESS;
}

// Deletes a key tree whatever rights its keys were left with: as their
// owner this program may always rewrite their DACLs first.
void delete_tree(const std::string& key_path) {
  if (!grant_everyone(key_path)) return;
  unique_hkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
    char name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      delete_tree(key_path + "\\" + name);
    }
  }
  key.reset();
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_path.c_str());
}

// Where the session's log of Wine's services ends now; a service started
// after this writes its event-log texts and Wine's errors behind it.
std::string system_log() { return windows_path(environment("NOLVANE_WINE_SYSTEM_LOG")); }

std::streamoff log_position() {
  std::ifstream log(system_log(), std::ios::ate);
  EXPECT_TRUE(log.good()) << "the session's log NOLVANE_WINE_SYSTEM_LOG cannot be read";
  return log.good() ? static_cast<std::streamoff>(log.tellg()) : 0;
}

std::vector<std::string> log_lines_since(std::streamoff position) {
  std::ifstream log(system_log());
  log.seekg(position);
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  return lines;
}

size_t count_containing(const std::vector<std::string>& lines, const std::string& text) {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

class ScmLifecycleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CreateDirectoryA(install_root, nullptr);
    CreateDirectoryA(program_directory, nullptr);
    const std::string directory(program_directory);
    ASSERT_TRUE(CopyFileA(service_program.c_str(), (directory + "\\nolvane_service.exe").c_str(), FALSE))
        << service_program << ": " << GetLastError();
    ASSERT_TRUE(CopyFileA(daemon_program.c_str(), (directory + "\\ostrel_service_daemon.exe").c_str(), FALSE))
        << daemon_program << ": " << GetLastError();
  }

  void SetUp() override {
    manager_.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager_) << GetLastError();
    // Nothing of an earlier service survives into this test, whichever
    // test (or package) installed it.
    unique_service leftover(OpenServiceA(manager_.get(), service_name, SERVICE_ALL_ACCESS));
    if (leftover) remove(std::move(leftover));
    delete_tree("SOFTWARE\\Ostrel Works");
    delete_tree(transform_root);
    delete_tree(sensor_manager_class);
    const std::string command_line = "\"" + std::string(program_directory) + "\\nolvane_service.exe\"";
    service_.reset(CreateServiceA(manager_.get(), service_name, "Nolvane", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  command_line.c_str(), /*lpLoadOrderGroup=*/nullptr, /*lpdwTagId=*/nullptr,
                                  /*lpDependencies=*/nullptr, /*lpServiceStartName=*/nullptr,
                                  /*lpPassword=*/nullptr));
    ASSERT_TRUE(service_) << "CreateServiceA failed with " << GetLastError();
    history_ = std::make_unique<status_history>(service_.get());
  }

  void TearDown() override {
    if (service_) remove(std::move(service_));
  }

  // Stops the service if it runs and deletes it; its name is free again.
  void remove(unique_service service) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
      ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
      status_history(service.get()).wait_for_state(SERVICE_STOPPED);
    }
    EXPECT_TRUE(DeleteService(service.get())) << GetLastError();
    service.reset();
    // The entry goes once the last handle is closed and its process has
    // ended, which the SCM may see a moment after the STOPPED report.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    DWORD error = 0;
    for (;;) {
      unique_service left(OpenServiceA(manager_.get(), service_name, SERVICE_QUERY_STATUS));
      error = GetLastError();
      if (!left || GetTickCount64() >= deadline) break;
      left.reset();
      Sleep(poll_ms);
    }
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << "the service was not deleted";
  }

  ULONGLONG start() {
    log_start_ = log_position();
    const ULONGLONG started = GetTickCount64();
    EXPECT_TRUE(StartServiceA(service_.get(), 0, nullptr)) << "StartServiceA failed with " << GetLastError();
    return started;
  }

  static bool first_report(const SERVICE_STATUS_PROCESS& s) {
    return s.dwCurrentState == SERVICE_START_PENDING && s.dwCheckPoint == 2;
  }

  unique_service manager_;
  unique_service service_;
  std::unique_ptr<status_history> history_;
  std::streamoff log_start_ = 0;
};

TEST_F(ScmLifecycleTest, ReportsItsStartAndStopsAfterTheEngineRetriesWithoutASensorManager) {
  const ULONGLONG started = start();
  const observed_status pending = history_->wait_for("START_PENDING with checkpoint 2", first_report);
  EXPECT_EQ(pending.status.dwControlsAccepted, 0u);
  EXPECT_LT(pending.seen_ms - started, 3000u) << "without DelayedStartTime the first report comes at once";
  const observed_status running = history_->wait_for_state(SERVICE_RUNNING);
  EXPECT_EQ(running.status.dwControlsAccepted, controls_accepted_running);
  EXPECT_EQ(running.status.dwCheckPoint, 0u);

  // Written by the first load pass, before RUNNING; no firmware driver.
  EXPECT_EQ(read_string(status_key, "Version"), "1000.124.444.10302");
  EXPECT_EQ(read_dword(status_key, "EnabledInBios"), 1);

  // Ten retries, a second apart, then the service gives up by itself.
  const observed_status stopped = history_->wait_for_state(SERVICE_STOPPED, 60000);
  EXPECT_EQ(stopped.status.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.status.dwServiceSpecificExitCode, 0u);
  // Margin: RUNNING may be seen up to a second late on a loaded machine.
  EXPECT_GE(stopped.seen_ms - running.seen_ms, (engine_init_retries - 1) * retry_wait_ms);
  EXPECT_EQ(read_dword(status_key, "DeviceCompatibility"), 0);

  const auto lines = log_lines_since(log_start_);
  EXPECT_EQ(count_containing(lines, sensor_manager_missing), static_cast<size_t>(engine_init_retries + 1))
      << "one engine start per pass: the first and the retries";
  EXPECT_EQ(count_containing(lines, "L\"ERROR: Failed to initialize Nolvane. Runner error: 4\\n\""), 1u);

  for (const auto& seen : history_->seen()) {
    const DWORD state = seen.status.dwCurrentState;
    EXPECT_TRUE(state == SERVICE_START_PENDING || state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        << describe(seen.status);
  }
}

TEST_F(ScmLifecycleTest, AStopDuringTheRunEndsItWithinTwoSeconds) {
  start();
  history_->wait_for_state(SERVICE_RUNNING);
  SERVICE_STATUS status{};
  const ULONGLONG asked = GetTickCount64();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  const observed_status stopped = history_->wait_for_state(SERVICE_STOPPED, 10000);
  EXPECT_LE(stopped.seen_ms - asked, 2000u);
  EXPECT_EQ(stopped.status.dwWin32ExitCode, 0u);
  EXPECT_EQ(stopped.status.dwServiceSpecificExitCode, 0u);
  // Stopped by the request, not by giving up on the engine.
  EXPECT_NE(read_dword(status_key, "DeviceCompatibility"), 0);
}

TEST_F(ScmLifecycleTest, DelayedStartTimeDelaysTheFirstStartPendingReport) {
  constexpr DWORD delay_s = 3;
  // The reader takes the power source's sub-key; Wine's power status decides
  // which, so both get the setting.
  for (const char* source : {"PluggedIn", "OnBattery"}) {
    write_dword(std::string(product_key) + "\\UserSettings\\" + source, "DelayedStartTime", delay_s);
  }
  const ULONGLONG started = start();
  const observed_status pending = history_->wait_for("START_PENDING with checkpoint 2", first_report);
  EXPECT_GE(pending.seen_ms - started, delay_s * 1000);
  // Until then only the SCM's own start-pending status was there.
  for (const auto& seen : history_->seen()) {
    if (&seen == &history_->seen().back()) break;
    EXPECT_EQ(seen.status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << describe(seen.status);
    EXPECT_NE(seen.status.dwCheckPoint, 2u) << describe(seen.status);
  }
  history_->wait_for_state(SERVICE_RUNNING);
}

TEST_F(ScmLifecycleTest, CopiesTheOldServiceKeyWithItsValuesAndRights) {
  const std::string old_key(old_location);
  const std::string product(product_key);
  write_dword(old_key + "\\UserSettings\\PluggedIn", "LockScreenTimeout", 60);
  write_dword(old_key + "\\UserSettings\\PluggedIn", "EnableWithExternalMonitor", 1);
  write_dword(old_key + "\\SystemSettings\\PluggedIn", "Opmode", 77);
  write_string(old_key + "\\SystemSettings", "OutputDirectory", "C:\\windows\\temp\\");
  // The product key exists already: its value is kept, and the rights of
  // its keys are reset, an entry of SystemSettings' own included.
  write_dword(product + "\\UserSettings\\PluggedIn", "LockScreenTimeout", 30);
  write_dword(product + "\\SystemSettings", "Marker", 1);
  grant_everyone(product + "\\SystemSettings");
  ASSERT_EQ(explicit_entries(product + "\\SystemSettings").size(), 1u);

  log_start_ = log_position();
  StartServiceA(service_.get(), 0, nullptr);  // Wine may answer 1053 when the service has already stopped
  const observed_status stopped = history_->wait_for_state(SERVICE_STOPPED);

  // Rights: the existing keys keep only what their parent passes on; each
  // UserSettings key gets "Users" with read and set-value rights of its own.
  for (const char* reset : {"", "\\SystemSettings"}) {
    EXPECT_TRUE(explicit_entries(product + reset).empty()) << reset << ":" << describe(dacl_of(product + reset));
  }
  for (const char* user_key : {"\\UserSettings", "\\UserSettings\\PluggedIn"}) {
    const auto entries = explicit_entries(product + user_key);
    ASSERT_EQ(entries.size(), 1u) << user_key << ":" << describe(entries);
    EXPECT_EQ(entries[0].trustee, "S-1-5-32-545");
    EXPECT_EQ(entries[0].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(entries[0].flags, 0) << "not passed on to sub-keys";
    EXPECT_EQ(key_rights(entries[0].mask), static_cast<ACCESS_MASK>(KEY_READ | KEY_SET_VALUE));
  }

  // Known difference of Wine: its SetSecurityInfo keeps only the entries it
  // is given, without those SOFTWARE passes on (SYSTEM and Administrators
  // with full control on Windows). The emptied keys then refuse everyone,
  // and the UserSettings keys all but reading and setting values: the
  // service cannot open its keys and stops with 1610, and this program
  // reads the emptied keys only after granting itself access as their owner.
  EXPECT_EQ(read_string(product_key, "ImagePath"), "<5>");
  EXPECT_EQ(stopped.status.dwWin32ExitCode, 1610u);
  const auto lines = log_lines_since(log_start_);
  EXPECT_EQ(count_containing(lines, "L\"runtime error: Failed to create registry key\\n\""), 1u);
  for (const char* emptied : {"", "\\SystemSettings"}) ASSERT_TRUE(grant_everyone(product + emptied));

  // Values: copied when the product key lacks them, never overwritten; the
  // service key's own values (ImagePath, Type, ...) are not copied.
  EXPECT_EQ(read_dword((product + "\\UserSettings\\PluggedIn").c_str(), "LockScreenTimeout"), 30);
  EXPECT_EQ(read_dword((product + "\\UserSettings\\PluggedIn").c_str(), "EnableWithExternalMonitor"), 1);
  EXPECT_EQ(read_dword((product + "\\SystemSettings\\PluggedIn").c_str(), "Opmode"), 77);
  EXPECT_EQ(read_string((product + "\\SystemSettings").c_str(), "OutputDirectory"), "C:\\windows\\temp\\");
  EXPECT_EQ(read_dword((product + "\\SystemSettings").c_str(), "Marker"), 1);
  EXPECT_EQ(read_string(product_key, "ImagePath"), "<2>");
  EXPECT_EQ(read_dword(product_key, "Type"), -2);
}

// True when nothing changes under `key_path` for `quiet_ms`.
bool stays_unchanged(const std::string& key_path, DWORD quiet_ms) {
  unique_hkey key;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_NOTIFY, key.put()), ERROR_SUCCESS);
  ostrel::unique_event changed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  EXPECT_EQ(RegNotifyChangeKeyValue(key.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE),
            ERROR_SUCCESS);
  return WaitForSingleObject(changed.get(), quiet_ms) == WAIT_TIMEOUT;
}

TEST_F(ScmLifecycleTest, AChangedProductValueMakesTheRunningServiceReload) {
  const std::string server = std::string(sensor_manager_class) + "\\InprocServer32";
  write_string(server, "", sensor_manager_double);
  write_string(server, "ThreadingModel", "Both");

  start();
  history_->wait_for_state(SERVICE_RUNNING);
  // In its event loop the service writes nothing: a pass writes Version.
  ASSERT_TRUE(stays_unchanged(product_key, 2000)) << "the service does not settle in its event loop";
  ASSERT_EQ(read_string(status_key, "Version"), "1000.124.444.10302");

  // A change under the product key: the service reloads, and the new pass
  // writes Version again.
  ASSERT_EQ(RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, status_key, "Version"), ERROR_SUCCESS);
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (read_string(status_key, "Version") != "1000.124.444.10302" && GetTickCount64() < deadline) Sleep(poll_ms);
  EXPECT_EQ(read_string(status_key, "Version"), "1000.124.444.10302") << "no reload within 10 s";
  EXPECT_TRUE(stays_unchanged(product_key, 2000)) << "the reloaded pass does not settle";

  // No pass was an engine retry, and the service still runs.
  EXPECT_EQ(count_containing(log_lines_since(log_start_), sensor_manager_missing), 0u);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(service_.get(), &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  // A stop in the event loop ends it as quickly as one during the retries.
  const ULONGLONG asked = GetTickCount64();
  ASSERT_TRUE(ControlService(service_.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  const observed_status stopped = history_->wait_for_state(SERVICE_STOPPED, 10000);
  EXPECT_LE(stopped.seen_ms - asked, 2000u);
  EXPECT_EQ(stopped.status.dwWin32ExitCode, 0u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <nolvane_service.exe> <ostrel_service_daemon.exe> <sensor_manager_double.dll>\n",
                 argv[0]);
    return 2;
  }
  service_program = windows_path(argv[1]);
  daemon_program = windows_path(argv[2]);
  sensor_manager_double = windows_path(argv[3]);
  return RUN_ALL_TESTS();
}
