// Command-line options the way BSD getopt_long reads them: short options
// from a letter string ("ab:c"), long options by name or any unique prefix,
// arguments attached ("-b1", "--b=1") or in the next word, "--" ending the
// options, and the non-options permuted to the end unless POSIXLY_CORRECT is
// set or the letter string starts with '+'. A leading '-' returns every
// non-option as option 1; a leading ':' (after '+' or '-') silences the
// diagnostics and reports a missing argument as ':'.
//
// Unlike the C library's getopt_long, the parser keeps its state in the
// object, so parsers never disturb each other.
#pragma once

#include <functional>
#include <string>

namespace ostrel::daemon {

enum class argument_requirement { none = 0, required = 1, optional = 2 };

struct long_option {
  const char* name;  // null ends a table
  argument_requirement argument;
  int* flag;  // when set, the option stores `value` here and next() returns 0
  int value;
};

class option_parser {
 public:
  // Receives each diagnostic as one full line: program name, ": ", message, "\n".
  using diagnostic_sink = std::function<void(const std::string& line)>;
  static void write_to_stderr(const std::string& line);

  // `argv` is reordered in place while non-options are permuted. The
  // environment (POSIXLY_CORRECT) is read here.
  option_parser(int argc, char** argv, const char* short_options, const long_option* long_options,
                std::string program_name, diagnostic_sink sink = write_to_stderr);

  // The next option: its letter, the `value` of a long option, 0 for a long
  // option with a flag, 1 for a non-option in '-' mode, '?' for a rejected
  // option or ':' for a missing argument in ':' mode; -1 when the options
  // end. *long_index receives the table index of a long option.
  int next(int* long_index = nullptr);

  // The current option's argument, or null.
  const char* argument() const { return argument_; }
  // Index of the next word; after -1, of the first non-option.
  int index() const { return index_; }
  // The option character that was rejected (0 for a rejected long option).
  int rejected_option() const { return rejected_; }
  // Whether diagnostics are written (opterr); on by default.
  void set_report_errors(bool report) { report_errors_ = report; }

 private:
  enum flags : unsigned { permute = 0x1, all_arguments = 0x2 };

  int parse_long_option(int* long_index);
  void permute_arguments(int non_options_start, int non_options_end, int options_end);
  bool print_errors() const { return report_errors_ && *options_ != ':'; }
  int bad_argument() const { return *options_ == ':' ? ':' : '?'; }
  void diagnose(const std::string& message) const;
  // Moves on to the next word, which holds `option`'s argument; false, with
  // the diagnostic, when there is none.
  bool next_word_for(int option);

  int argc_;
  char** argv_;
  const char* options_;
  const long_option* long_options_;
  std::string program_name_;
  diagnostic_sink sink_;
  unsigned flags_ = permute;

  const char* place_ = "";  // scanning position within the current word
  int index_ = 1;
  const char* argument_ = nullptr;
  int rejected_ = '?';
  bool report_errors_ = true;
  int non_options_start_ = -1;
  int non_options_end_ = -1;
};

}  // namespace ostrel::daemon
