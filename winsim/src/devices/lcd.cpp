// "\\.\LCD": the backlight control interface of the built-in display. Its
// levels live in the shared desktop state, so the daemon's changes are seen
// by the tests and the rest of the machine.
#include "desktop/desktop_state.h"
#include "devices/devices.h"

#include <ntddvdeo.h>

namespace winsim::detail {
namespace {

namespace desktop = winsim::detail::desktop;

class lcd_device : public device_object {
 public:
  BOOL io_control(DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                  LPDWORD bytes_returned) override {
    // DeviceIoControl itself answers failures injected in this process; the
    // daemon's run in another process is reached through the machine.
    DWORD error = 0;
    if (desktop::machine_should_fail("DeviceIoControl", &error)) {
      SetLastError(error);
      return FALSE;
    }
    switch (code) {
      case IOCTL_VIDEO_QUERY_DISPLAY_BRIGHTNESS:
        return query(out, out_size, bytes_returned);
      case IOCTL_VIDEO_SET_DISPLAY_BRIGHTNESS:
        return set(in, in_size, bytes_returned);
      default:
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
  }

 private:
  static BOOL query(LPVOID out, DWORD out_size, LPDWORD bytes_returned) {
    if (out == nullptr || out_size < sizeof(DISPLAY_BRIGHTNESS)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    const auto state = desktop::read_state();
    DISPLAY_BRIGHTNESS levels{};
    // On a query the policy names the power source the levels are for.
    levels.ucDisplayPolicy = DISPLAYPOLICY_AC;
    levels.ucACBrightness = static_cast<UCHAR>(desktop::number_or(state, desktop::key_lcd_ac, 100));
    levels.ucDCBrightness = static_cast<UCHAR>(desktop::number_or(state, desktop::key_lcd_dc, 100));
    std::memcpy(out, &levels, sizeof levels);
    if (bytes_returned != nullptr) *bytes_returned = sizeof levels;
    return TRUE;
  }

  static BOOL set(LPVOID in, DWORD in_size, LPDWORD bytes_returned) {
    if (in == nullptr || in_size < sizeof(DISPLAY_BRIGHTNESS)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    DISPLAY_BRIGHTNESS levels{};
    std::memcpy(&levels, in, sizeof levels);
    if (levels.ucACBrightness > 100 || levels.ucDCBrightness > 100 || levels.ucDisplayPolicy > DISPLAYPOLICY_BOTH) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    // The policy picks the levels to change; 0 (no policy) changes the current ones, both here.
    const bool ac = levels.ucDisplayPolicy == 0 || (levels.ucDisplayPolicy & DISPLAYPOLICY_AC);
    const bool dc = levels.ucDisplayPolicy == 0 || (levels.ucDisplayPolicy & DISPLAYPOLICY_DC);
    desktop::update_state([&](desktop::state_map& state) {
      if (ac) state[desktop::key_lcd_ac] = std::to_string(levels.ucACBrightness);
      if (dc) state[desktop::key_lcd_dc] = std::to_string(levels.ucDCBrightness);
    });
    desktop::journal("brightness policy=" + std::to_string(levels.ucDisplayPolicy) +
                     " ac=" + std::to_string(levels.ucACBrightness) + " dc=" + std::to_string(levels.ucDCBrightness));
    if (bytes_returned != nullptr) *bytes_returned = 0;
    return TRUE;
  }
};

}  // namespace

std::shared_ptr<device_object> open_lcd() {
  if (desktop::number_or(desktop::read_state(), desktop::key_lcd, 1) == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return std::make_shared<lcd_device>();
}

}  // namespace winsim::detail
