// GoogleMock fakes of the state machines' collaborators, with default actions
// that record every request in one journal so that tests can check what was
// asked and in which order. Safe to call from the machines' timer and
// pause-condition tasks.
#pragma once

#include "config/reader.h"
#include "device_interface.h"
#include "engine_callback_interface.h"
#include "events/event_queue.h"
#include "trace_capture.h"
#include "wait_for.h"

#include <gmock/gmock.h>
#include <winsim/machine.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::test {

// Everything the fakes were asked, one entry per call, in call order.
class journal {
 public:
  void add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  size_t count(const std::string& entry) const {
    auto all = entries();
    return static_cast<size_t>(std::count(all.begin(), all.end(), entry));
  }
  bool contains(const std::string& entry) const { return count(entry) > 0; }
  // Index of the first occurrence at or after `from`, or -1.
  int index_of(const std::string& entry, size_t from = 0) const {
    auto all = entries();
    for (size_t i = from; i < all.size(); ++i) {
      if (all[i] == entry) return static_cast<int>(i);
    }
    return -1;
  }
  // The last entry that starts with `prefix`, or "" when there is none.
  std::string last_starting_with(const std::string& prefix) const {
    auto all = entries();
    auto it = std::find_if(all.rbegin(), all.rend(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
    return it == all.rend() ? std::string() : *it;
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }
  // Entries from `from` on, without the pause-condition queries, which the
  // polling task adds at its own pace.
  std::vector<std::string> commands_since(size_t from) const {
    auto all = entries();
    std::vector<std::string> out;
    for (size_t i = from; i < all.size(); ++i) {
      if (all[i] == "ask:IS_DISPLAY_REQUIRED" || all[i] == "ask:HAS_EXTERNAL_DISPLAY" ||
          all[i] == "ask:IS_SCREEN_OFF_TIMER_ENABLED") {
        continue;
      }
      out.push_back(all[i]);
    }
    return out;
  }
  bool wait_for_entry(const std::string& entry, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                      size_t from = 0) const {
    return wait_for([&] { return index_of(entry, from) >= 0; }, timeout);
  }
  std::string dump() const {
    std::string out;
    for (const auto& e : entries()) out += e + "\n";
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class mock_device : public device_interface {
 public:
  MOCK_METHOD(bool, set_event_queue, (std::shared_ptr<event_queue> queue), (override));
  MOCK_METHOD(bool, send_command, (const output_signal_package& package), (override));
  MOCK_METHOD(bool, register_callback, (const input_signal_package& package), (override));
  MOCK_METHOD(std::optional<std::any>, get_data, (const input_signal_package& package), (override));
  MOCK_METHOD(void, teardown, (), (override));
  MOCK_METHOD(void, user_activity_teardown, (), (override));
  MOCK_METHOD(void, dim_screen_teardown, (), (override));
};

// What the fake device answers to the queries; changeable while tasks poll.
struct device_answers {
  std::atomic<bool> display_required{false};
  std::atomic<bool> external_display{false};
  std::atomic<bool> screen_off_timer_enabled{true};
  std::atomic<bool> user_token_available{true};
  std::atomic<bool> session_locked{false};
  std::atomic<bool> commands_succeed{true};
};

// Commands journal as "cmd:<signal>" (":<ms>" added for the overlay time),
// queries as "ask:<signal>", teardown as "teardown".
inline std::shared_ptr<testing::NiceMock<mock_device>> make_device(journal& log, device_answers& answers) {
  auto device = std::make_shared<testing::NiceMock<mock_device>>();
  ON_CALL(*device, send_command(testing::_)).WillByDefault([&log, &answers](const output_signal_package& p) {
    std::string entry = std::string("cmd:") + output_signal_name(p.signal);
    if (p.signal == output_signal::SHOW_DIM_SCREEN_OVERLAY) {
      entry += ":" + std::to_string(std::any_cast<uint64_t>(p.value));
    }
    log.add(entry);
    return answers.commands_succeed.load();
  });
  ON_CALL(*device, register_callback(testing::_)).WillByDefault([&log, &answers](const input_signal_package& p) {
    log.add(std::string("ask:") + input_signal_name(p.signal));
    switch (p.signal) {
      case input_signal::IS_DISPLAY_REQUIRED:
        return answers.display_required.load();
      case input_signal::HAS_EXTERNAL_DISPLAY:
        return answers.external_display.load();
      case input_signal::IS_SCREEN_OFF_TIMER_ENABLED:
        return answers.screen_off_timer_enabled.load();
      case input_signal::IS_USER_TOKEN_AVAILABLE:
        return answers.user_token_available.load();
      case input_signal::IS_SESSION_LOCKED:  // true: not locked
        return !answers.session_locked.load();
      default:
        return true;
    }
  });
  ON_CALL(*device, teardown()).WillByDefault([&log] { log.add("teardown"); });
  return device;
}

// The engine callbacks as mock functions. Suspend and resume journal as
// "engine:suspend" / "engine:resume"; every state vector is kept, decoded.
struct fake_engine {
  explicit fake_engine(journal& log) {
    ON_CALL(state_cb, Call(testing::_)).WillByDefault([&log, this](bool suspend) {
      log.add(suspend ? "engine:suspend" : "engine:resume");
      return state_result.load();
    });
    ON_CALL(send_cb, Call(testing::_, testing::_, testing::_))
        .WillByDefault([this](uint32_t id, const uint8_t* data, size_t size) {
          std::lock_guard<std::mutex> lock(mutex);
          ids.push_back(id);
          std::vector<float> floats;
          for (size_t i = 0; i + 4 <= size; i += 4) {
            uint32_t bits = uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16 |
                            uint32_t(data[i + 3]) << 24;
            float f;
            std::memcpy(&f, &bits, sizeof(f));
            floats.push_back(f);
          }
          sizes.push_back(size);
          vectors.push_back(floats);
          return 0;
        });
    callbacks = std::make_shared<engine_callback_interface>();
    callbacks->engine_state_cb = state_cb.AsStdFunction();
    callbacks->engine_send_cb = send_cb.AsStdFunction();
  }
  std::vector<std::vector<float>> sent() {
    std::lock_guard<std::mutex> lock(mutex);
    return vectors;
  }

  testing::NiceMock<testing::MockFunction<bool(bool)>> state_cb;
  testing::NiceMock<testing::MockFunction<int(uint32_t, const uint8_t*, size_t)>> send_cb;
  std::atomic<bool> state_result{true};
  std::shared_ptr<engine_callback_interface> callbacks;
  std::mutex mutex;
  std::vector<uint32_t> ids;
  std::vector<size_t> sizes;
  std::vector<std::vector<float>> vectors;
};

class mock_reader : public config::reader {
 public:
  MOCK_METHOD(config::platform_status, get_platform_status, (), (override));
  MOCK_METHOD(void, set_config_change_callback, (std::function<void()> callback), (override));
  MOCK_METHOD(void, set_power_source, (bool plugged_in), (override));
  MOCK_METHOD(bool, write_string, (const config::string_entry& entry, const std::string& value), (override));
  MOCK_METHOD(bool, write_dword, (const config::dword_entry& entry, const int32_t& value), (override));
  MOCK_METHOD(std::string, read_string, (const config::string_entry& entry), (override));
  MOCK_METHOD(int32_t, read_dword, (const config::dword_entry& entry), (override));
  MOCK_METHOD((std::map<std::string, std::string>), read_map, (), (override));
};

// A reader answering from `values` by setting name (the entry's default for
// names not in it); writes of DWORDs land in `values`.
inline std::shared_ptr<testing::NiceMock<mock_reader>> make_reader(std::map<std::string, int32_t>& values) {
  auto reader = std::make_shared<testing::NiceMock<mock_reader>>();
  ON_CALL(*reader, read_dword(testing::_)).WillByDefault([&values](const config::dword_entry& e) {
    auto it = values.find(e.name);
    return it == values.end() ? e.default_value : it->second;
  });
  ON_CALL(*reader, write_dword(testing::_, testing::_))
      .WillByDefault([&values](const config::dword_entry& e, const int32_t& v) {
        values[e.name] = v;
        return true;
      });
  return reader;
}

// A queue whose callback records every delivered event; the test thread
// plays the consumer by draining it.
struct recording_queue {
  recording_queue() : queue(std::make_shared<event_queue>()) {
    queue->set_event_callback([this](events_t e) { delivered.push_back(e); });
  }
  // Delivers everything pending; returns what was delivered by this call.
  std::vector<events_t> drain() {
    const size_t from = delivered.size();
    while (queue->process_next_event()) {
    }
    return std::vector<events_t>(delivered.begin() + static_cast<std::ptrdiff_t>(from), delivered.end());
  }
  // Drains until `e` has been delivered (counting from delivery index `from`).
  bool wait_delivered(events_t e, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                      size_t from = 0) {
    return wait_for(
        [&] {
          drain();
          return std::find(delivered.begin() + static_cast<std::ptrdiff_t>(std::min(from, delivered.size())),
                           delivered.end(), e) != delivered.end();
        },
        timeout);
  }
  size_t count(events_t e) const { return static_cast<size_t>(std::count(delivered.begin(), delivered.end(), e)); }

  std::shared_ptr<event_queue> queue;
  std::vector<events_t> delivered;
};

// What every state-machine test fixture holds: a fresh simulated machine, a
// trace session, the journal of collaborator calls and the fakes writing it.
struct collaborators {
  winsim::machine::scoped_machine machine_;
  trace_capture capture_{0};
  journal log_;
  device_answers answers_;
  std::shared_ptr<testing::NiceMock<mock_device>> device_ = make_device(log_, answers_);
  fake_engine engine_{log_};
  recording_queue queue_;
};

}  // namespace ostrel::test
