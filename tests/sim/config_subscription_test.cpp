// Change subscriptions of the readers over the simulated registry. Changes
// made through winsim::machine come "from another program".
#include "config/customer_specific_config_reader.h"
#include "config/reader_winreg.h"
#include "wait_for.h"

#include <gtest/gtest.h>
#include <winsim/machine.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

namespace ostrel::config {
namespace {

using namespace std::chrono_literals;
using test::wait_for;
namespace machine = winsim::machine;

const std::string user_on_battery = std::string(product_root) + "\\UserSettings\\OnBattery";

// Long enough for a wrongly delivered notification to show up.
constexpr auto quiet_period = 300ms;

class ConfigSubscriptionTest : public ::testing::Test {
 protected:
  // True once `reader`'s subscription is waiting for the next change.
  static bool armed(size_t count = 1) {
    return wait_for([count] { return machine::registry_armed_notification_count() == count; });
  }

  std::function<void()> counting() {
    return [this] { ++calls_; };
  }

  machine::scoped_machine machine_;
  std::atomic<int> calls_{0};
};

TEST_F(ConfigSubscriptionTest, EachValueChangeBelowTheRootCallsOnce) {
  reader_winreg reader(product_root, true, /*subscribe=*/true);
  reader.set_config_change_callback(counting());
  ASSERT_TRUE(armed());
  EXPECT_FALSE(wait_for([&] { return calls_ != 0; }, quiet_period));  // nothing changed yet

  machine::set_registry_dword(user_on_battery, "Enable", 0);
  ASSERT_TRUE(wait_for([&] { return calls_ == 1; }));
  ASSERT_TRUE(armed());
  EXPECT_FALSE(wait_for([&] { return calls_ != 1; }, quiet_period));  // never twice for one change

  // An empty new sub-key is no value change.
  machine::create_registry_key(std::string(product_root) + "\\UserSettings\\NewKey");
  EXPECT_FALSE(wait_for([&] { return calls_ != 1; }, quiet_period));
  EXPECT_TRUE(reader.subscription_running());

  machine::delete_registry_value(user_on_battery, "Enable");
  EXPECT_TRUE(wait_for([&] { return calls_ == 2; }));
}

TEST_F(ConfigSubscriptionTest, OwnWritesAreNotReportedAndTheSubscriptionResumes) {
  reader_winreg reader(product_root, true, true);
  reader.set_config_change_callback(counting());
  ASSERT_TRUE(armed());

  EXPECT_TRUE(reader.write_dword(values::device_compatibility, 1));
  EXPECT_TRUE(reader.subscription_running());
  ASSERT_TRUE(armed());
  EXPECT_FALSE(wait_for([&] { return calls_ != 0; }, quiet_period));

  machine::set_registry_dword(user_on_battery, "Enable", 0);
  EXPECT_TRUE(wait_for([&] { return calls_ == 1; }));
}

TEST_F(ConfigSubscriptionTest, AFailedWriteLeavesTheSubscriptionRunning) {
  reader_winreg reader(product_root, true, true);
  reader.set_config_change_callback(counting());
  ASSERT_TRUE(armed());

  // A write the registry refuses changes nothing, and must not deafen the
  // service to the changes others make afterwards.
  machine::fail_call("RegSetValueExA", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(reader.write_dword(values::device_compatibility, 1));
  EXPECT_TRUE(reader.subscription_running());
  ASSERT_TRUE(armed());
  EXPECT_FALSE(wait_for([&] { return calls_ != 0; }, quiet_period));
  machine::set_registry_dword(user_on_battery, "Enable", 0);
  EXPECT_TRUE(wait_for([&] { return calls_ == 1; }));
}

TEST_F(ConfigSubscriptionTest, ChangeBeforeTheCallbackEndsThatSubscriptionAndAWriteStartsAFreshOne) {
  reader_winreg reader(product_root, true, true);
  ASSERT_TRUE(armed());
  machine::set_registry_dword(user_on_battery, "Enable", 0);
  ASSERT_TRUE(wait_for([&] { return !reader.subscription_running(); }));

  reader.set_config_change_callback(counting());
  machine::set_registry_dword(user_on_battery, "Enable", 1);
  EXPECT_FALSE(wait_for([&] { return calls_ != 0; }, quiet_period));

  // The write's stop finds no task to end; its signal must not end the task
  // the write starts afterwards.
  EXPECT_TRUE(reader.write_dword(values::device_compatibility, 1));
  ASSERT_TRUE(armed());
  EXPECT_TRUE(reader.subscription_running());
  EXPECT_TRUE(reader.write_dword(values::device_compatibility, 0));
  ASSERT_TRUE(armed());
  machine::set_registry_dword(user_on_battery, "Enable", 0);
  EXPECT_TRUE(wait_for([&] { return calls_ == 1; }));
}

TEST_F(ConfigSubscriptionTest, AFailedRegistrationEndsTheSubscriptionWithoutLeaking) {
  const size_t handles = machine::open_handle_count();
  {
    machine::fail_call("RegNotifyChangeKeyValue", ERROR_ACCESS_DENIED, 1);
    reader_winreg reader(product_root, true, true);
    reader.set_config_change_callback(counting());
    ASSERT_TRUE(wait_for([&] { return !reader.subscription_running(); }));
    EXPECT_EQ(machine::open_handle_count(), handles + 1);  // only the reader's stop event
    EXPECT_TRUE(reader.write_dword(values::device_compatibility, 1));
    ASSERT_TRUE(armed());
    machine::set_registry_dword(user_on_battery, "Enable", 0);
    EXPECT_TRUE(wait_for([&] { return calls_ == 1; }));
  }
  EXPECT_EQ(machine::open_handle_count(), handles);
}

TEST_F(ConfigSubscriptionTest, DestroyingAWaitingReaderReturnsPromptlyAndClosesEverything) {
  const size_t handles = machine::open_handle_count();
  {
    reader_winreg with_callback(product_root, true, true);
    with_callback.set_config_change_callback(counting());
    reader_winreg without_callback(transform_root, true, true);
    ASSERT_TRUE(armed(2));
    std::optional<reader_winreg> short_lived;
    short_lived.emplace(product_root, true, true);
    short_lived->set_config_change_callback(counting());
    ASSERT_TRUE(armed(3));
    // Its task wakes on the stop at once; the bound only catches a
    // destruction that waits for a change or a time-out of its own.
    const auto start = std::chrono::steady_clock::now();
    short_lived.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  }
  EXPECT_EQ(calls_, 0);
  EXPECT_EQ(machine::open_handle_count(), handles);
  EXPECT_EQ(machine::registry_armed_notification_count(), 0u);
}

TEST_F(ConfigSubscriptionTest, BothRootsCallTheSameCallback) {
  customer_specific_config_reader reader(true);
  reader.set_config_change_callback(counting());
  ASSERT_TRUE(armed(2));
  machine::set_registry_dword(std::string(transform_root) + "\\CurrentStatus", "MM", 2);
  ASSERT_TRUE(wait_for([&] { return calls_ == 1; }));
  machine::set_registry_dword(user_on_battery, "Enable", 0);
  ASSERT_TRUE(wait_for([&] { return calls_ == 2; }));
  EXPECT_TRUE(reader.transform_reader().subscription_running());
}

TEST_F(ConfigSubscriptionTest, CallbackCanBeExchangedWhileChangesArrive) {
  // Declared before the reader: its task may call them until it is gone.
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  reader_winreg reader(product_root, true, true);
  reader.set_config_change_callback([&] { ++first; });
  ASSERT_TRUE(armed());

  std::atomic<bool> done{false};
  auto changer = std::async(std::launch::async, [&] {
    for (DWORD i = 0; !done; ++i) {
      machine::set_registry_dword(user_on_battery, "Enable", i % 2);
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_TRUE(wait_for([&] { return first > 0; }));
  for (int i = 0; i < 50; ++i) reader.set_config_change_callback(i % 2 ? std::function<void()>([&] { ++first; })
                                                                        : std::function<void()>([&] { ++second; }));
  reader.set_config_change_callback([&] { ++second; });
  const int before = second;
  EXPECT_TRUE(wait_for([&] { return second > before; }));
  done = true;
  changer.get();
}

}  // namespace
}  // namespace ostrel::config
