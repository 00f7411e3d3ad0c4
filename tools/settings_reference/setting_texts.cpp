#include "setting_texts.h"

namespace ostrel::settings_reference {

const std::vector<setting_text>& setting_texts() {
  static const std::vector<setting_text> texts = {
      {"Enable", value_role::setting, "Turn walk-away locking on", "",
       "1 lets Nolvane dim the screen and turn the display off when the user walks away. 0 turns that off: the "
       "service keeps running but leaves the screen alone."},
      {"LockScreenTimeout", value_role::setting, "Time until the display turns off", "seconds",
       "How long after the sensor last saw somebody the display turns off. The screen dims DimDuration seconds "
       "before that. A value below DimDuration + 5 counts as DimDuration + 5, so the screen never dims sooner "
       "than 5 seconds after the user left. Keyboard or mouse use while the user is away starts the wait again."},
      {"DimDuration", value_role::setting, "How long the screen stays dimmed", "seconds",
       "How long the dark overlay stays on the screen before the display turns off. Coming back, or touching the "
       "keyboard or mouse, while the screen is dimmed removes the overlay."},
      {"EnableWithExternalMonitor", value_role::setting, "Keep working with an external monitor", "",
       "0 makes Nolvane stand aside while an external display is attached. 1 keeps it working with an external "
       "display attached."},
      {"EnableWithDisplayRequired", value_role::setting, "Keep working while an app keeps the display on", "",
       "0 makes Nolvane stand aside while an application keeps the display on (a video, a presentation, a call). "
       "1 dims and turns the display off even then."},
      {"AllowLeaveWhenSystemTimerDisabled", value_role::setting, "Keep working when the screen time-out is Never",
       "",
       "0 makes Nolvane stand aside while the Windows power setting that turns the screen off is set to Never. "
       "1 keeps it working then."},
      {"EnableAlwaysRequireSignIn", value_role::setting, "Always require sign-in", "",
       "1 locks the workstation whenever the display goes off (at the end of dimming or by the Windows "
       "time-out) or the session becomes remote, so that coming back always needs a sign-in."},
      {"DelayedStartTime", value_role::setting, "Delay the service start", "seconds",
       "How long the service waits after Windows starts it before it begins its work. A stop request ends the "
       "wait. The value for the power source in use when the service starts applies."},
      {"UseSkelder", value_role::setting, "Engine option UseSkelder", "",
       "Handed to the presence engine. The sensor engine of this version does not use it; leave it at the "
       "default."},
      {"LockAfterDisplayOff", value_role::setting, "Lock when the display turns off", "",
       "1 locks the workstation when Nolvane turns the display off at the end of dimming."},
      {"SleepAfterDisplayOff", value_role::setting, "Turn the display off directly", "",
       "How Nolvane turns the display off at the end of dimming. 0 sets the Windows display time-outs to one "
       "second for a moment and restores them afterwards. 1 sends the display-off command to the desktop "
       "instead."},
      {"ResetOsIdleTimer", value_role::setting, "Tell Windows the display is in use", "",
       "1 tells Windows that the display is in use when the user comes back and just before dimming, so that "
       "the Windows screen time-out counts again from then."},
      {"SensorSleepDuration", value_role::setting, "Engine sleep time", "seconds",
       "Handed to the presence engine, which gets LockScreenTimeout minus DimDuration minus this value (at "
       "least 5) as its time to rest the sensor. The sensor engine of this version does not use it."},
      {"Opmode", value_role::setting, "Engine operation mode", "",
       "The operation mode handed to the presence engine. The sensor engine of this version does not use it; "
       "leave it at the default."},
      {"DebugMode", value_role::setting, "Repeat event-log entries in the trace", "",
       "1 repeats every event-log entry of the service as a trace line that starts with [service], at the "
       "verbose level, so that a trace shows them in order with everything else. It is also handed to the "
       "presence engine."},
      {"OutputDirectory", value_role::setting, "Output folder", "",
       "A folder that must exist. The service reads it when it starts and checks it, after expanding "
       "references such as %SystemRoot%; if it cannot be reached or is not a folder, the service stops. An "
       "empty value skips the check."},
      {"DeviceCompatibility", value_role::status, "Presence sensor found", "",
       "Written by the service: 1 once the presence sensor works, 0 when it is missing or the service gave up "
       "starting it. The service reads it at start; do not set it."},
      {"EnabledInBios", value_role::status, "Enabled in the firmware", "",
       "Written by the service: 0 when the laptop's firmware switches the feature off (the service then stops "
       "itself), otherwise 1."},
      {"Version", value_role::status, "Service version", "",
       "Written by the service at every start: the version of the running service."},
  };
  return texts;
}

const setting_text* find_setting_text(const std::string& name) {
  for (const auto& text : setting_texts()) {
    if (name == text.name) return &text;
  }
  return nullptr;
}

}  // namespace ostrel::settings_reference
