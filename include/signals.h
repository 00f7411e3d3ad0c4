// The requests the state machines hand to the device interface: a signal
// from one of two vocabularies (commands and queries), a payload and a
// power-source tag.
#pragma once

#include <any>
#include <cstdint>
#include <functional>

namespace ostrel {

// Commands, handled by device_interface::send_command.
enum class output_signal : uint64_t {
  SET_DISPLAY_REQUIRED = 0,
  LOCK_SCREEN = 1,
  DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK = 2,
  DISPLAY_OFF_RESET_BRIGHTNESS = 3,
  DIM_SCREEN = 4,
  DIM_RESET = 5,
  BRIGHTEN_SCREEN = 6,
  TURN_OFF_DISPLAY = 7,
  TURN_OFF_DISPLAY_AND_LOCK = 8,
  SEND_RETURN_KEY = 9,
  START_GUI = 10,
  START_NOISY_GUI = 11,
  STOP_GUI = 12,
  SET_FAN = 13,
  PLAY_BEEP = 14,
  SHOW_IMAGE = 15,
  REMOVE_IMAGE = 16,
  SET_SYSTEM_REQUIRED = 17,
  SET_AWAY_MODE = 18,
  CHECK_DEVICE_MODEL_NAME = 19,
  SHOW_DIM_SCREEN_OVERLAY = 20,
  REMOVE_DIM_SCREEN_OVERLAY = 21,
  STOP_USER_ACTIVITY_PROCESS = 22,
  OS_VIDEO_TIMER_SCREEN_OFF = 23,
  OS_VIDEO_TIMER_RECOVER = 24,
};

// Queries and watchers, handled by device_interface::register_callback.
enum class input_signal : uint64_t {
  USER_ACTIVITY = 0,
  LOCK_EVENT = 1,
  UNLOCK_EVENT = 2,
  GET_FAN_SPEED = 3,
  IS_DISPLAY_REQUIRED = 4,
  IS_SCREEN_OFF_TIMER_ENABLED = 5,
  IS_SESSION_LOCKED = 6,
  IS_REMOTE_SESSION = 7,
  GET_BRIGHTNESS = 8,
  IS_USER_TOKEN_AVAILABLE = 9,
  HAS_EXTERNAL_DISPLAY = 10,
};

// Which power source a request is meant for; only ever printed.
enum class signal_tag : uint32_t {
  NONE = 0,
  AC = 1,
  DC = 2,
};

// The enumerator's name; "UNKNOWN" for any value outside the vocabulary.
inline const char* output_signal_name(output_signal signal) {
  static const char* const names[] = {
      "SET_DISPLAY_REQUIRED",
      "LOCK_SCREEN",
      "DISPLAY_OFF_RESET_BRIGHTNESS_AND_LOCK",
      "DISPLAY_OFF_RESET_BRIGHTNESS",
      "DIM_SCREEN",
      "DIM_RESET",
      "BRIGHTEN_SCREEN",
      "TURN_OFF_DISPLAY",
      "TURN_OFF_DISPLAY_AND_LOCK",
      "SEND_RETURN_KEY",
      "START_GUI",
      "START_NOISY_GUI",
      "STOP_GUI",
      "SET_FAN",
      "PLAY_BEEP",
      "SHOW_IMAGE",
      "REMOVE_IMAGE",
      "SET_SYSTEM_REQUIRED",
      "SET_AWAY_MODE",
      "CHECK_DEVICE_MODEL_NAME",
      "SHOW_DIM_SCREEN_OVERLAY",
      "REMOVE_DIM_SCREEN_OVERLAY",
      "STOP_USER_ACTIVITY_PROCESS",
      "OS_VIDEO_TIMER_SCREEN_OFF",
      "OS_VIDEO_TIMER_RECOVER",
  };
  const auto value = static_cast<uint64_t>(signal);
  return value < sizeof(names) / sizeof(names[0]) ? names[value] : "UNKNOWN";
}

inline const char* input_signal_name(input_signal signal) {
  static const char* const names[] = {
      "USER_ACTIVITY",
      "LOCK_EVENT",
      "UNLOCK_EVENT",
      "GET_FAN_SPEED",
      "IS_DISPLAY_REQUIRED",
      "IS_SCREEN_OFF_TIMER_ENABLED",
      "IS_SESSION_LOCKED",
      "IS_REMOTE_SESSION",
      "GET_BRIGHTNESS",
      "IS_USER_TOKEN_AVAILABLE",
      "HAS_EXTERNAL_DISPLAY",
  };
  const auto value = static_cast<uint64_t>(signal);
  return value < sizeof(names) / sizeof(names[0]) ? names[value] : "UNKNOWN";
}

inline const char* signal_tag_name(signal_tag tag) {
  switch (tag) {
    case signal_tag::NONE:
      return "NONE";
    case signal_tag::AC:
      return "AC";
    case signal_tag::DC:
      return "DC";
  }
  return "UNKNOWN";
}

// A command. Where a signal needs no payload the value holds a null pointer.
struct output_signal_package {
  output_signal signal = output_signal::SET_DISPLAY_REQUIRED;
  std::any value;
  signal_tag tag = signal_tag::NONE;
};

// A query or watcher request. The two callback slots are carried for callers
// that want to be told asynchronously; the Windows implementation answers
// through the call's result, the payload pointer or the event queue instead.
struct input_signal_package {
  input_signal signal = input_signal::USER_ACTIVITY;
  std::function<void(bool)> result_callback;
  std::function<void(const std::any&)> data_callback;
  std::any value;
  signal_tag tag = signal_tag::NONE;
};

}  // namespace ostrel
