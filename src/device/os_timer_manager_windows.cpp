#include "device/os_timer_manager_windows.h"

#include "logging/service_message.h"
#include "logging/trace_line.h"

#include <windows.h>

#include <powrprof.h>

namespace ostrel {
namespace {

using logging::log_level;
using logging::scope_trace;
using logging::trace_line;

constexpr const char* tag_runner = "runner";

#define TIMER_LOG() OSTREL_LOCATED(log_level::info, tag_runner)
// Located in the public operation on whose behalf a helper runs.
#define TIMER_LOG_IN(function) ::ostrel::logging::trace_line(log_level::info, tag_runner, __FILE__, __LINE__, (function))

const char* tag_text(signal_tag tag) { return signal_tag_name(tag); }

// The policy a tag names; false (and a warning) for any other tag.
bool policy_level(const char* function, signal_tag tag, POWER_INFORMATION_LEVEL* level) {
  switch (tag) {
    case signal_tag::AC:
      TIMER_LOG_IN(function) << "Get Power Policy AC\n";
      *level = SystemPowerPolicyAc;
      return true;
    case signal_tag::DC:
      TIMER_LOG_IN(function) << "Get Power Policy DC\n";
      *level = SystemPowerPolicyDc;
      return true;
    default:
      TIMER_LOG_IN(function) << "WARNING: Invalid tag for getting Power Policy. Tag: " << tag_text(tag) << "\n";
      return false;
  }
}

// Reads the whole policy of `tag`, with the messages of get_os_video_timer.
bool read_policy(const char* function, signal_tag tag, POWER_INFORMATION_LEVEL* level,
                 SYSTEM_POWER_POLICY* policy) {
  if (!policy_level(function, tag, level)) {
    TIMER_LOG_IN(function) << "WARNING: Failed to get Power Policy for " << tag_text(tag) << "\n";
    return false;
  }
  const LONG status = ::CallNtPowerInformation(*level, /*InputBuffer=*/nullptr, 0, policy, sizeof(*policy));
  if (status != 0) {
    TIMER_LOG_IN(function) << "Failed to call media CallNtPowerInformation for getting Power Policy "
                           << tag_text(tag) << ". Ret: " << status << "\n";
    return false;
  }
  return true;
}

// "Enter" with the tag, "Exit" when the operation ends.
class tagged_scope {
 public:
  tagged_scope(const char* function, signal_tag tag) : function_(function) {
    trace_line(log_level::info, tag_runner, function_) << "Enter Tag: " << tag_text(tag);
  }
  ~tagged_scope() { trace_line(log_level::info, tag_runner, function_) << "Exit"; }
  tagged_scope(const tagged_scope&) = delete;
  tagged_scope& operator=(const tagged_scope&) = delete;

 private:
  const char* function_;
};

}  // namespace

os_timer_manager_windows::os_timer_manager_windows() {
  scope_trace trace(log_level::info, tag_runner, "os_timer_manager_windows");
}

os_timer_manager_windows::~os_timer_manager_windows() {
  scope_trace trace(log_level::info, tag_runner, "~os_timer_manager_windows");
  reset_os_video_timers();
}

std::optional<uint32_t> os_timer_manager_windows::get_os_video_timer(signal_tag tag) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  scope_trace trace(log_level::info, tag_runner, "get_os_video_timer");
  POWER_INFORMATION_LEVEL level;
  SYSTEM_POWER_POLICY policy{};
  if (!read_policy("get_os_video_timer", tag, &level, &policy)) return std::nullopt;
  TIMER_LOG() << "Video Timeout value is set to: " << policy.VideoTimeout << "\n";
  return policy.VideoTimeout;
}

bool os_timer_manager_windows::set_os_video_timer(signal_tag tag, uint32_t seconds) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  scope_trace trace(log_level::info, tag_runner, "set_os_video_timer");
  POWER_INFORMATION_LEVEL level;
  SYSTEM_POWER_POLICY policy{};
  // The whole record goes back; only the video time-out changes.
  if (!read_policy("set_os_video_timer", tag, &level, &policy)) return false;
  policy.VideoTimeout = seconds;
  TIMER_LOG() << "Setting video Timeout " << tag_text(tag) << ": " << seconds << "\n ";
  const LONG status = ::CallNtPowerInformation(level, &policy, sizeof(policy), /*OutputBuffer=*/nullptr, 0);
  if (status != 0) {
    TIMER_LOG() << "Failed to call media CallNtPowerInformation for setting Power Policy " << tag_text(tag)
                << ". Ret: " << status << "\n";
    return false;
  }
  return true;
}

bool os_timer_manager_windows::store_os_video_timers() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  scope_trace trace(log_level::info, tag_runner, "store_os_video_timers");
  bool result = true;
  for (const signal_tag tag : {signal_tag::AC, signal_tag::DC}) {
    const std::optional<uint32_t> current = get_os_video_timer(tag);
    if (!current) {
      TIMER_LOG() << "Failed to get " << tag_text(tag) << " video timeout value\n";
      result = false;
    } else if (*current != override_seconds) {
      TIMER_LOG() << "Storing video Timeout " << tag_text(tag) << ": " << *current << "\n";
      (tag == signal_tag::AC ? stored_ac_ : stored_dc_) = *current;
    } else {
      TIMER_LOG() << tag_text(tag) << " video timer is already overridden\n";
    }
  }
  return result;
}

bool os_timer_manager_windows::turn_off_screen_with_os_timers() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  scope_trace trace(log_level::info, tag_runner, "turn_off_screen_with_os_timers");
  if (!store_os_video_timers()) {
    TIMER_LOG() << "Failed to store video timers\n";
    return false;
  }
  bool ok = true;
  if (!set_os_video_timer(signal_tag::AC, override_seconds)) {
    TIMER_LOG() << "Failed to override AC video timer\n";
    ok = false;
  }
  if (!set_os_video_timer(signal_tag::DC, override_seconds)) {
    TIMER_LOG() << "Failed to override DC video timer\n";
    ok = false;
  }
  if (!ok) {
    logging::service_message()
        << "Failed to turn off screen with Win32 Video Timer API. Reseting OS timers to previous values\n";
    reset_os_video_timers();
  }
  return ok;
}

bool os_timer_manager_windows::reset_os_video_timer(signal_tag tag) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  tagged_scope trace("reset_os_video_timer", tag);
  if (tag != signal_tag::AC && tag != signal_tag::DC) {
    TIMER_LOG() << "Resetting for signal tag " << tag_text(tag) << " not supported\n";
    return false;
  }
  const std::optional<uint32_t> current = get_os_video_timer(tag);
  if (!current) {
    TIMER_LOG() << "ERROR: Failed to get user setting video timer " << tag_text(tag) << ". Will not reset\n";
    return false;
  }
  if (*current != override_seconds) {
    // A user who changed the time-out meanwhile keeps that value.
    TIMER_LOG() << "Video timer is " << *current << " seconds. Reset not required\n";
    return true;
  }
  TIMER_LOG() << "Video timer is " << *current << " seconds. Reset required\n";
  const std::optional<uint32_t>& stored = tag == signal_tag::AC ? stored_ac_ : stored_dc_;
  uint32_t restore;
  if (stored && *stored != override_seconds) {
    TIMER_LOG() << "Stored user setting available. Resetting video timer " << tag_text(tag) << " to " << *stored
                << "\n ";
    restore = *stored;
  } else {
    TIMER_LOG() << "Stored user setting not available. Resetting video timer to default values (AC: 5 min, DC: 3 "
                   "min)\n";
    restore = tag == signal_tag::AC ? default_ac_seconds : default_dc_seconds;
  }
  if (!set_os_video_timer(tag, restore)) {
    TIMER_LOG() << "Failed to reset " << tag_text(tag) << " video timer\n";
    return false;
  }
  return true;
}

bool os_timer_manager_windows::reset_os_video_timers() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  scope_trace trace(log_level::info, tag_runner, "reset_os_video_timers");
  const bool ac = reset_os_video_timer(signal_tag::AC);
  if (!ac) TIMER_LOG() << "Failed to reset AC video timer\n";
  const bool dc = reset_os_video_timer(signal_tag::DC);
  if (!dc) TIMER_LOG() << "Failed to reset DC video timer\n";
  return ac && dc;
}

}  // namespace ostrel
