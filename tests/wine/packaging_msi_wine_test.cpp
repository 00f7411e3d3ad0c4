// The MSI under Wine's msiexec: install, upgrade and uninstall, as an
// administrator's management tool would run them (/qn).
#include "config/reader.h"
#include "host/service_main.h"
#include "logging/event_log_sink.h"
#include "packaging_wine_support.h"
#include "service_handle.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <msi.h>

#include <chrono>
#include <vector>

namespace ostrel::packaging_test {
namespace {

constexpr DWORD msiexec_timeout_ms = 180000;
const char* const service_key_name = "NolvaneSvc";

std::string install_directory() { return path_from_environment("ProgramFiles") + "\\Nolvane\\"; }
std::string service_path() { return install_directory() + "nolvane_service.exe"; }
std::string daemon_path() { return install_directory() + "ostrel_service_daemon.exe"; }
std::string event_source_key() {
  return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + logging::event_source_name;
}
std::string product_key(const char* sub_key) { return std::string(config::product_root) + "\\" + sub_key; }

// Product codes of the installed packages of this product line.
std::vector<std::string> installed_products() {
  const std::string upgrade_code = "{" + path_from_environment("NOLVANE_UPGRADE_CODE") + "}";
  std::vector<std::string> products;
  char product[39];
  for (DWORD index = 0; MsiEnumRelatedProductsA(upgrade_code.c_str(), 0, index, product) == ERROR_SUCCESS; ++index) {
    products.emplace_back(product);
  }
  return products;
}

std::string installed_version(const std::string& product) {
  char version[64] = "";
  DWORD size = sizeof version;
  MsiGetProductInfoA(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &size);
  return version;
}

std::optional<DWORD> msiexec(const char* action, const std::string& package) {
  return run_program("msiexec " + std::string(action) + " \"" + package + "\" /qn", msiexec_timeout_ms);
}

struct service_config {
  std::string binary_path;
  std::string display_name;
  std::string account;
  DWORD service_type = 0;
  DWORD start_type = 0;
  std::string description;
};

std::optional<service_config> query_service() {
  unique_service_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_service_handle service(manager ? OpenServiceA(manager.get(), service_key_name, SERVICE_QUERY_CONFIG)
                                        : nullptr);
  if (!service) return std::nullopt;
  std::vector<char> buffer(8192);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  if (!QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) return std::nullopt;
  service_config result{config->lpBinaryPathName, config->lpDisplayName, config->lpServiceStartName,
                        config->dwServiceType, config->dwStartType, ""};
  std::vector<char> description_buffer(8192);
  if (QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION,
                           reinterpret_cast<BYTE*>(description_buffer.data()),
                           static_cast<DWORD>(description_buffer.size()), &needed)) {
    const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(description_buffer.data());
    if (description->lpDescription) result.description = description->lpDescription;
  }
  return result;
}

bool service_exists() {
  unique_service_handle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_service_handle service(manager ? OpenServiceA(manager.get(), service_key_name, SERVICE_QUERY_STATUS)
                                        : nullptr);
  return static_cast<bool>(service);
}

class PackageLifecycle : public ::testing::Test {
 protected:
  // Wine gives registry keys no inherited rights, so once the service has
  // reset the rights of an existing product key (an empty, unprotected
  // DACL) nothing can open that key: a service start on a prefix where
  // the key already exists fails there. Every run therefore starts without
  // the key and without an installed package, and leaves none.
  void SetUp() override {
    remove_installed_products();
    delete_machine_tree(config::product_root);
  }
  void TearDown() override {
    remove_installed_products();
    delete_machine_tree(config::product_root);
  }

  static void remove_installed_products() {
    for (const auto& product : installed_products()) msiexec("/x", product);
  }
};

void expect_service_installed(const char* when) {
  SCOPED_TRACE(when);
  const auto config = query_service();
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->binary_path, "\"" + service_path() + "\"");
  EXPECT_EQ(config->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(config->account, "LocalSystem");
  EXPECT_EQ(config->display_name, "Nolvane");
  EXPECT_FALSE(config->description.empty());
  EXPECT_TRUE(file_exists(service_path()));
  EXPECT_TRUE(file_exists(daemon_path()));
  EXPECT_EQ(read_machine_string(event_source_key(), "EventMessageFile"), service_path());
  EXPECT_EQ(read_machine_dword(event_source_key(), "TypesSupported"), 7u);
}

// Install, keep a setting across an upgrade, uninstall: one package life.
TEST_F(PackageLifecycle, InstallUpgradeAndUninstallKeepTheSettings) {
  const std::string package = path_from_environment("NOLVANE_MSI");
  const std::string upgrade_package = path_from_environment("NOLVANE_UPGRADE_MSI");
  ASSERT_FALSE(package.empty());
  ASSERT_FALSE(upgrade_package.empty());

  ASSERT_EQ(msiexec("/i", package), 0u);
  expect_service_installed("after install");
  // The service runs: its first pass writes its version. Margin: the start
  // takes well under a second; 60 s allow for a loaded 2-core machine.
  const std::string version_key = product_key(config::service_status);
  EXPECT_TRUE(test::wait_for([&] { return read_machine_string(version_key, config::values::version.name).has_value(); },
                             std::chrono::seconds(60)));
  EXPECT_EQ(read_machine_string(version_key, config::values::version.name), program_version);

  const std::string setting_key = product_key(config::user_settings) + "\\" + config::plugged_in_word;
  const char* const setting = config::values::lock_screen_timeout.name;
  ASSERT_TRUE(write_machine_dword(setting_key, setting, 123));

  ASSERT_EQ(msiexec("/i", upgrade_package), 0u);
  expect_service_installed("after upgrade");
  const auto products = installed_products();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(installed_version(products.front()), path_from_environment("NOLVANE_UPGRADE_PRODUCT_VERSION"));
  EXPECT_EQ(read_machine_dword(setting_key, setting), 123u);

  ASSERT_EQ(msiexec("/x", upgrade_package), 0u);
  EXPECT_TRUE(test::wait_for([] { return !service_exists(); }, std::chrono::seconds(30)));
  EXPECT_FALSE(file_exists(service_path()));
  EXPECT_FALSE(file_exists(daemon_path()));
  EXPECT_FALSE(machine_key_exists(event_source_key()));
  EXPECT_TRUE(installed_products().empty());
  EXPECT_EQ(read_machine_dword(setting_key, setting), 123u);
}

}  // namespace
}  // namespace ostrel::packaging_test
