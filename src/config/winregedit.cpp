#include "config/winregedit.h"

#include "errors.h"
#include "logging/trace_line.h"

#include <chrono>

namespace ostrel::win32 {

using logging::log_level;
using logging::trace_line;

namespace {

// How long a write waits for the subscription to end before it goes on.
constexpr auto stop_timeout = std::chrono::milliseconds(200);

bool finished(const std::future<void>& task) {
  return task.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

}  // namespace

winregedit::winregedit(std::string path, bool subscribe) : path_(std::move(path)), subscribe_(subscribe) {
  if (!subscribe_) return;
  stop_event_.reset(CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE,
                                 /*lpName=*/nullptr));
  if (!stop_event_) {
    trace_line(log_level::error, "runner") << "Failed to create event";
    throw error("Failed to create event");
  }
}

winregedit::~winregedit() {
  if (stop_event_) SetEvent(stop_event_.get());
  std::lock_guard<std::mutex> lock(task_mutex_);
  if (subscription_.valid()) subscription_.wait();
  subscription_ = std::future<void>();
}

key_handle winregedit::open() const {
  key_handle key = create_key(path_);
  if (!key) {
    trace_line(log_level::error, "runner") << "Failed to create key";
    throw error("Failed to create registry key");
  }
  return key;
}

bool winregedit::start_subscription() {
  if (!subscribe_) return false;
  std::lock_guard<std::mutex> lock(task_mutex_);
  if (subscription_.valid()) {
    // A task still running (e.g. inside the callback) is being replaced.
    if (!finished(subscription_)) SetEvent(stop_event_.get());
    subscription_.wait();
  }
  // A stop meant for a task that had already ended would otherwise end the
  // new one at its first wait, and every later one too.
  ResetEvent(stop_event_.get());
  subscription_ = std::async(std::launch::async, [this] { subscribe_config_changes(); });
  return true;
}

void winregedit::stop_subscription() {
  if (!stop_event_) return;
  SetEvent(stop_event_.get());
  std::lock_guard<std::mutex> lock(task_mutex_);
  if (subscription_.valid() && !finished(subscription_)) subscription_.wait_for(stop_timeout);
}

bool winregedit::subscription_running() const {
  std::lock_guard<std::mutex> lock(task_mutex_);
  return subscription_.valid() && !finished(subscription_);
}

void winregedit::exchange_callback(std::function<void()>& callback) {
  auto incoming = std::make_shared<const std::function<void()>>(std::move(callback));
  std::shared_ptr<const std::function<void()>> previous;
  {
    std::lock_guard<std::mutex> lock(callback_mutex_);
    previous = std::exchange(callback_, std::move(incoming));
  }
  callback = previous ? *previous : std::function<void()>();
}

std::shared_ptr<const std::function<void()>> winregedit::current_callback() const {
  std::lock_guard<std::mutex> lock(callback_mutex_);
  return callback_;
}

void winregedit::subscribe_config_changes() {
  key_handle key = open();
  for (;;) {
    // Created unsignalled: the cycle reports only a change registered below,
    // never one that happened before it.
    unique_event changed(CreateEventA(/*lpEventAttributes=*/nullptr, /*bManualReset=*/FALSE,
                                      /*bInitialState=*/FALSE, /*lpName=*/nullptr));
    if (!changed) {
      trace_line(log_level::error, "runner") << "Failed to create event";
      throw error("Failed to create event");
    }
    const LSTATUS status = RegNotifyChangeKeyValue(key.get(), /*bWatchSubtree=*/TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                   changed.get(), /*fAsynchronous=*/TRUE);
    if (status != ERROR_SUCCESS) throw error("Unable to open subscribe to changes in regedit");

    const HANDLE handles[] = {changed.get(), stop_event_.get()};
    const DWORD result = WaitForMultipleObjectsEx(2, handles, /*bWaitAll=*/FALSE, INFINITE, /*bAlertable=*/FALSE);
    if (result == WAIT_FAILED) break;
    const auto callback = current_callback();
    if (!callback || !*callback) throw error("Config change callback is not set");
    if (result == WAIT_OBJECT_0 + 1) break;

    (*callback)();
    changed.reset();
    // Reopen the key: the registration on the old handle is spent.
    key.reset();
    key = open();
  }
}

}  // namespace ostrel::win32
