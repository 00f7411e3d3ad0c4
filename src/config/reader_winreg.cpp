#include "config/reader_winreg.h"

#include "logging/trace_line.h"

namespace ostrel::config {

using logging::log_level;
using logging::trace_line;

namespace {

const char* power_source_word(bool plugged_in) { return plugged_in ? plugged_in_word : on_battery_word; }

// Bytes of a string value: the text and its terminating zero.
constexpr DWORD string_buffer_size = 256;

}  // namespace

const char* platform_status_name(int status) {
  switch (status) {
    case ENABLED: return "ENABLED";
    case DISABLED_IN_CONFIG: return "DISABLED_IN_CONFIG";
    case DISABLED_IN_BIOS: return "DISABLED_IN_BIOS";
    case DISABLED_IN_TABLET_MODE: return "DISABLED_IN_TABLET_MODE";
    default: return "UNKNOWN";
  }
}

reader_winreg::reader_winreg(std::string root_path, bool plugged_in, bool subscribe)
    : root_path_(std::move(root_path)),
      regedit_(root_path_, subscribe),
      power_source_word_(power_source_word(plugged_in)) {
  regedit_.start_subscription();
}

reader_winreg::~reader_winreg() = default;

platform_status reader_winreg::get_platform_status() {
  return read_dword(values::enable) == 0 ? DISABLED_IN_CONFIG : ENABLED;
}

void reader_winreg::set_config_change_callback(std::function<void()> callback) {
  regedit_.exchange_callback(callback);
}

void reader_winreg::set_power_source(bool plugged_in) {
  std::lock_guard<std::mutex> lock(power_source_mutex_);
  power_source_word_ = power_source_word(plugged_in);
}

std::string reader_winreg::key_path(const char* sub_key, bool per_power_source) const {
  std::string path = root_path_;
  if (sub_key != nullptr) path += std::string("\\") + sub_key;
  if (per_power_source) {
    std::lock_guard<std::mutex> lock(power_source_mutex_);
    path += "\\" + power_source_word_;
  }
  return path;
}

int32_t reader_winreg::read_dword(const dword_entry& entry) {
  const win32::winregedit target(key_path(entry.sub_key, entry.per_power_source), /*subscribe=*/false);
  try {
    DWORD data = 0;
    DWORD size = sizeof(data);
    LSTATUS status = ERROR_SUCCESS;
    {
      // A key that cannot be opened raises win32::error to the caller.
      const win32::key_handle key = target.open();
      status = RegGetValueA(key.get(), /*lpSubKey=*/nullptr, entry.name, RRF_RT_REG_DWORD, /*pdwType=*/nullptr,
                            &data, &size);
    }
    if (status != ERROR_SUCCESS) throw error(std::string("Could not read ") + entry.name);
    const auto value = static_cast<int32_t>(data);
    if (entry.min_value != no_bound && value < entry.min_value) {
      throw error(std::string("RegValue ") + entry.name + " exceeds min value " + std::to_string(entry.min_value));
    }
    if (entry.max_value != no_bound && value > entry.max_value) {
      throw error(std::string("RegValue ") + entry.name + " exceeds max value " + std::to_string(entry.max_value));
    }
    return value;
  } catch (const error& e) {
    trace_line(log_level::error, "reg") << "Using default value " << entry.default_value << " for entry "
                                        << entry.name << ": \"" << e.what() << "\"\n";
    return entry.default_value;
  }
}

std::string reader_winreg::read_string(const string_entry& entry) {
  const win32::winregedit target(key_path(entry.sub_key, entry.per_power_source), /*subscribe=*/false);
  char buffer[string_buffer_size] = {};
  DWORD size = sizeof(buffer);
  LSTATUS status = ERROR_SUCCESS;
  {
    const win32::key_handle key = target.open();
    status = RegGetValueA(key.get(), /*lpSubKey=*/nullptr, entry.name, RRF_RT_REG_SZ, /*pdwType=*/nullptr, buffer,
                          &size);
  }
  if (status != ERROR_SUCCESS || size == 0) return entry.default_value;
  return std::string(buffer, size - 1);
}

bool reader_winreg::write_value(const std::string& path, const char* name, DWORD type, const BYTE* data,
                                DWORD size) {
  const win32::winregedit target(path, /*subscribe=*/false);
  std::lock_guard<std::mutex> lock(write_mutex_);
  regedit_.stop_subscription();
  LSTATUS status = ERROR_SUCCESS;
  {
    // On failure the exception leaves the subscription stopped.
    const win32::key_handle key = target.open();
    status = RegSetValueExA(key.get(), name, /*Reserved=*/0, type, data, size);
  }
  // A refused write changed nothing; the changes others make from now on
  // must still be seen.
  regedit_.start_subscription();
  return status == ERROR_SUCCESS;
}

bool reader_winreg::write_dword(const dword_entry& entry, const int32_t& value) {
  const auto data = static_cast<DWORD>(value);
  return write_value(key_path(entry.sub_key, entry.per_power_source), entry.name, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

bool reader_winreg::write_string(const string_entry& entry, const std::string& value) {
  return write_value(key_path(entry.sub_key, entry.per_power_source), entry.name, REG_SZ,
                     reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
}

std::map<std::string, std::string> reader_winreg::read_map() {
  throw error("read_map is not implemented by winreg config reader");
}

}  // namespace ostrel::config
