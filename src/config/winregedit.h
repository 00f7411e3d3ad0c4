// One registry key path (under HKEY_LOCAL_MACHINE) with an optional change
// subscription: a background task that calls a callback whenever a value is
// created, changed or deleted in the key or beneath it.
#pragma once

#include "config/registry_store.h"
#include "unique_handle.h"

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace ostrel::win32 {

class winregedit {
 public:
  // Without `subscribe` the object only opens its key; start_subscription
  // then does nothing.
  winregedit(std::string path, bool subscribe);
  // Ends the subscription and waits for its task.
  ~winregedit();
  winregedit(const winregedit&) = delete;
  winregedit& operator=(const winregedit&) = delete;

  const std::string& path() const { return path_; }

  // Opens (creating when missing) the key; raises win32::error
  // "Failed to create registry key" when that fails.
  key_handle open() const;

  // Starts the subscription task, replacing (and first ending) a previous
  // one. False when this object does not subscribe.
  bool start_subscription();
  // Signals the task to end and gives it at most 200 ms to do so.
  void stop_subscription();
  // True while a subscription task is running.
  bool subscription_running() const;

  // Exchanges the stored callback with `callback`, which then holds the
  // previous one. Safe while the task is calling the callback: a call in
  // progress finishes with the callable it started with.
  void exchange_callback(std::function<void()>& callback);

  // The subscription loop (runs on the task's thread).
  void subscribe_config_changes();

 private:
  std::shared_ptr<const std::function<void()>> current_callback() const;

  const std::string path_;
  unique_event stop_event_;  // auto-reset; only subscribing objects have one
  mutable std::mutex callback_mutex_;
  std::shared_ptr<const std::function<void()>> callback_;
  mutable std::mutex task_mutex_;
  std::future<void> subscription_;
  const bool subscribe_;
};

}  // namespace ostrel::win32
