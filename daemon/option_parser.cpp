#include "option_parser.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace ostrel::daemon {
namespace {

const char* const end_of_word = "";

std::string prefix(const char* text, size_t length) { return std::string(text, length); }

bool same_interpretation(const long_option& a, const long_option& b) {
  return a.argument == b.argument && a.flag == b.flag && a.value == b.value;
}

}  // namespace

void option_parser::write_to_stderr(const std::string& line) {
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

option_parser::option_parser(int argc, char** argv, const char* short_options, const long_option* long_options,
                             std::string program_name, diagnostic_sink sink)
    : argc_(argc),
      argv_(argv),
      options_(short_options != nullptr ? short_options : ""),
      long_options_(long_options),
      program_name_(std::move(program_name)),
      sink_(std::move(sink)) {
  const bool posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
  if (*options_ == '-') {
    flags_ |= all_arguments;
  } else if (posixly_correct || *options_ == '+') {
    flags_ &= ~static_cast<unsigned>(permute);
  }
  if (*options_ == '+' || *options_ == '-') ++options_;
}

void option_parser::diagnose(const std::string& message) const {
  if (sink_) sink_(program_name_ + ": " + message + "\n");
}

// Moves the options found after a run of non-options in front of that run.
void option_parser::permute_arguments(int non_options_start, int non_options_end, int options_end) {
  std::rotate(argv_ + non_options_start, argv_ + non_options_end, argv_ + options_end);
}

int option_parser::next(int* long_index) {
  argument_ = nullptr;
  while (*place_ == '\0') {
    if (index_ >= argc_) {
      place_ = end_of_word;
      if (non_options_end_ != -1) {
        permute_arguments(non_options_start_, non_options_end_, index_);
        index_ -= non_options_end_ - non_options_start_;
      } else if (non_options_start_ != -1) {
        // Only non-options were skipped: the first of them is next.
        index_ = non_options_start_;
      }
      non_options_start_ = non_options_end_ = -1;
      return -1;
    }
    place_ = argv_[index_];
    if (*place_ != '-' || (place_[1] == '\0' && std::strchr(options_, '-') == nullptr)) {
      place_ = end_of_word;  // a non-option
      if (flags_ & all_arguments) {
        argument_ = argv_[index_++];
        return 1;
      }
      if (!(flags_ & permute)) return -1;
      if (non_options_start_ == -1) {
        non_options_start_ = index_;
      } else if (non_options_end_ != -1) {
        permute_arguments(non_options_start_, non_options_end_, index_);
        non_options_start_ = index_ - (non_options_end_ - non_options_start_);
        non_options_end_ = -1;
      }
      ++index_;
      continue;
    }
    if (non_options_start_ != -1 && non_options_end_ == -1) non_options_end_ = index_;

    // "-" alone is handled below; "--" ends the options.
    if (place_[1] != '\0' && *++place_ == '-' && place_[1] == '\0') {
      ++index_;
      place_ = end_of_word;
      if (non_options_end_ != -1) {
        permute_arguments(non_options_start_, non_options_end_, index_);
        index_ -= non_options_end_ - non_options_start_;
      }
      non_options_start_ = non_options_end_ = -1;
      return -1;
    }
    break;
  }

  // A long option: "--name" (place_ is just after the first '-').
  if (long_options_ != nullptr && place_ != argv_[index_] && *place_ == '-') {
    ++place_;
    const int result = parse_long_option(long_index);
    place_ = end_of_word;
    return result;
  }

  const int option = static_cast<unsigned char>(*place_++);
  const char* letter = option == ':' ? nullptr : std::strchr(options_, option);
  if (option == ':' || (option == '-' && *place_ != '\0') || letter == nullptr) {
    // A lone "-" that is not an option letter is a non-option.
    if (option == '-' && *place_ == '\0') return -1;
    if (*place_ == '\0') ++index_;
    if (print_errors()) diagnose(std::string("unknown option -- ") + static_cast<char>(option));
    rejected_ = option;
    return '?';
  }

  if (long_options_ != nullptr && option == 'W' && letter[1] == ';') {
    // "-W name" is the long option "--name".
    if (*place_ == '\0') {
      if (!next_word_for(option)) return bad_argument();
      place_ = argv_[index_];
    }
    const int result = parse_long_option(long_index);
    place_ = end_of_word;
    return result;
  }

  if (letter[1] != ':') {
    // No argument.
    if (*place_ == '\0') ++index_;
  } else {
    argument_ = nullptr;
    if (*place_ != '\0') {
      argument_ = place_;  // attached: "-b500"
    } else if (letter[2] != ':') {
      // Required, in the next word.
      if (!next_word_for(option)) return bad_argument();
      argument_ = argv_[index_];
    }
    place_ = end_of_word;
    ++index_;
  }
  return option;
}

bool option_parser::next_word_for(int option) {
  if (++index_ < argc_) return true;
  place_ = end_of_word;
  if (print_errors()) diagnose(std::string("option requires an argument -- ") + static_cast<char>(option));
  rejected_ = option;
  return false;
}

int option_parser::parse_long_option(int* long_index) {
  const char* current = place_;
  ++index_;

  size_t length = 0;
  const char* value = nullptr;
  if (const char* equals = std::strchr(current, '=')) {
    length = static_cast<size_t>(equals - current);
    value = equals + 1;
  } else {
    length = std::strlen(current);
  }

  int match = -1;
  bool exact = false;
  bool second_partial = false;
  for (int i = 0; long_options_[i].name != nullptr; ++i) {
    if (std::strncmp(current, long_options_[i].name, length) != 0) continue;
    if (std::strlen(long_options_[i].name) == length) {
      match = i;
      exact = true;
      break;
    }
    if (match == -1) {
      match = i;
    } else if (!same_interpretation(long_options_[i], long_options_[match])) {
      second_partial = true;
    }
  }

  if (!exact && second_partial) {
    if (print_errors()) diagnose("ambiguous option -- " + prefix(current, length));
    rejected_ = 0;
    return '?';
  }

  if (match == -1) {
    if (print_errors()) diagnose(std::string("unknown option -- ") + current);
    rejected_ = 0;
    return '?';
  }

  const long_option& found = long_options_[match];
  if (found.argument == argument_requirement::none && value != nullptr) {
    if (print_errors()) diagnose("option doesn't take an argument -- " + prefix(current, length));
    rejected_ = found.flag == nullptr ? found.value : 0;
    return bad_argument();
  }
  if (found.argument != argument_requirement::none) {
    if (value != nullptr) {
      argument_ = value;
    } else if (found.argument == argument_requirement::required) {
      // An optional argument is only ever attached with '='. Past the last
      // word there is none; the index moves on and is put back below.
      argument_ = index_ < argc_ ? argv_[index_] : nullptr;
      ++index_;
    }
  }
  if (found.argument == argument_requirement::required && argument_ == nullptr) {
    if (print_errors()) diagnose(std::string("option requires an argument -- ") + current);
    rejected_ = found.flag == nullptr ? found.value : 0;
    --index_;
    return bad_argument();
  }

  if (long_index != nullptr) *long_index = match;
  if (found.flag != nullptr) {
    *found.flag = found.value;
    return 0;
  }
  return found.value;
}

}  // namespace ostrel::daemon
