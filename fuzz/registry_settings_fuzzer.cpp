// Registry values of any type, size and name, under the product key, the
// service's former key (with sub-keys of any name) and the maker's Transform
// key, then the start-up copy from the former key and a read of every
// setting. A setting read is its default or lies within its limits; a string
// setting fits its 256-byte buffer; the copy never overwrites a value the
// product key already had.
#include "config/customer_specific_config_reader.h"
#include "config/reader_winreg.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <winsim/machine.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace values = ostrel::config::values;
using ostrel::config::dword_entry;
using ostrel::config::string_entry;

const dword_entry* const product_dwords[] = {
    &values::enable, &values::opmode, &values::debug_mode, &values::lock_screen_timeout,
    &values::sensor_sleep_duration, &values::dim_duration, &values::device_compatibility, &values::enabled_in_bios,
    &values::enable_always_require_sign_in, &values::use_skelder, &values::delayed_start_time,
    &values::enable_with_external_monitor, &values::enable_with_display_required, &values::reset_os_idle_timer,
    &values::allow_leave_when_system_timer_disabled, &values::sleep_after_display_off,
    &values::lock_after_display_off};
const string_entry* const product_strings[] = {&values::output_directory, &values::version};

const char* const sub_keys[] = {"",
                                "\\UserSettings",
                                "\\UserSettings\\PluggedIn",
                                "\\UserSettings\\OnBattery",
                                "\\SystemSettings",
                                "\\SystemSettings\\PluggedIn",
                                "\\SystemSettings\\OnBattery",
                                "\\ServiceStatus"};
const DWORD types[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD};

struct written_value {
  std::string key;
  std::string name;
};

std::string any_key(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return std::string(ostrel::config::product_root) + input.PickValueInArray(sub_keys);
    case 1:
      return std::string(ostrel::config::transform_root) + "\\CurrentStatus";
    case 2:
      return std::string(ostrel::config::former_service_key) + input.PickValueInArray(sub_keys);
    default: {
      // A sub-key of any name under the former key: one to 255 characters, no separator.
      std::string name = input.ConsumeRandomLengthString(255);
      for (char& c : name) {
        if (c == '\\' || c == '\0') c = '_';
      }
      if (name.empty()) name = "_";
      return std::string(ostrel::config::former_service_key) + input.PickValueInArray(sub_keys) + "\\" + name;
    }
  }
}

std::string any_name(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) {
    return input.ConsumeBool() ? input.PickValueInArray(product_dwords)->name
                               : input.PickValueInArray(product_strings)->name;
  }
  std::string name = input.ConsumeRandomLengthString(300);
  return name.substr(0, name.find('\0'));
}

void check_reads(ostrel::config::reader_winreg& reader) {
  for (const dword_entry* entry : product_dwords) {
    const int32_t value = reader.read_dword(*entry);
    if (value == entry->default_value) continue;
    if (value < entry->min_value || value > entry->max_value) __builtin_trap();
  }
  for (const string_entry* entry : product_strings) {
    if (reader.read_string(*entry).size() > 255) __builtin_trap();
  }
  (void)reader.get_platform_status();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider input(bytes, size);

  std::vector<written_value> product_values;
  for (int i = 0; i < 16 && input.remaining_bytes() > 0; ++i) {
    written_value value{any_key(input), any_name(input)};
    const DWORD type = input.ConsumeBool() ? input.PickValueInArray(types) : input.ConsumeIntegral<DWORD>();
    const auto data = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange<size_t>(0, 300));
    winsim::machine::set_registry_value(value.key, value.name, type, data);
    if (value.key.rfind(ostrel::config::product_root, 0) == 0) product_values.push_back(std::move(value));
  }
  std::vector<winsim::machine::registry_data> before;
  for (const auto& value : product_values) before.push_back(*winsim::machine::registry_value(value.key, value.name));

  ostrel::config::customer_specific_config_reader::migrate_service_key();
  for (size_t i = 0; i < product_values.size(); ++i) {
    const auto after = winsim::machine::registry_value(product_values[i].key, product_values[i].name);
    if (!after || after->type != before[i].type || after->bytes != before[i].bytes) __builtin_trap();
  }

  // One power source's settings per input, sometimes reached by a switch
  // from the other; the reader keeps nothing from one read to the next.
  const bool plugged_in = input.ConsumeBool();
  ostrel::config::reader_winreg product(ostrel::config::product_root, plugged_in, /*subscribe=*/false);
  if (input.ConsumeBool()) product.set_power_source(!plugged_in);
  check_reads(product);
  ostrel::config::reader_winreg transform(ostrel::config::transform_root, plugged_in, /*subscribe=*/false);
  const int32_t mm = transform.read_dword(values::mm);
  if (mm != values::mm.default_value && (mm < values::mm.min_value || mm > values::mm.max_value)) __builtin_trap();
  // An empty registry for the next input; emptied here, it gives back what
  // this input took, so the leak check has nothing to look into.
  winsim::machine::reset();
  return 0;
}
