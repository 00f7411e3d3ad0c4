// Helpers of the packaging tests that run under Wine: the built files they
// check, child programs (msiexec, reg), and the registry and SCM look-ups.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace ostrel::packaging_test {

// The value of the environment variable `name` (the test command hands the
// built files over so, see tests/wine/packaging.cmake) with forward slashes
// made backslashes; empty when it is not set.
std::string path_from_environment(const char* name);

// Runs `command_line` (no window, output discarded) and returns its exit
// code, or nullopt when it cannot be started or is still running after
// `timeout_ms` (it is then terminated).
std::optional<DWORD> run_program(const std::string& command_line, DWORD timeout_ms);

// A REG_SZ or REG_EXPAND_SZ (not expanded) value under HKEY_LOCAL_MACHINE.
std::optional<std::string> read_machine_string(const std::string& key, const char* name);
std::optional<DWORD> read_machine_dword(const std::string& key, const char* name);
bool write_machine_dword(const std::string& key, const char* name, DWORD value);
bool machine_key_exists(const std::string& key);
// Deletes the key and everything below it, first giving every key of the
// tree a DACL that lets its owner delete it.
void delete_machine_tree(const std::string& key);

bool file_exists(const std::string& path);

}  // namespace ostrel::packaging_test
