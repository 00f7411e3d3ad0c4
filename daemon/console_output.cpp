#include "console_output.h"

#include <cctype>
#include <climits>
#include <cstdio>

namespace ostrel::daemon {

void print_output(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void print_error(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

int read_decimal(const char* text) {
  if (text == nullptr) return 0;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*text - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace ostrel::daemon
