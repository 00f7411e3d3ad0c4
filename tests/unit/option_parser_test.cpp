#include "option_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel::daemon {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto none = argument_requirement::none;
constexpr auto required = argument_requirement::required;
constexpr auto optional = argument_requirement::optional;

int verbose_flag = 0;

// The daemon's own table, plus entries for the flag and optional-argument forms.
const long_option table[] = {
    {"monitor_activity", none, nullptr, 'm'},
    {"lock_screen", none, nullptr, 'l'},
    {"get_brightness", none, nullptr, 'g'},
    {"set_brightness", required, nullptr, 'd'},
    {"turn_off_display", none, nullptr, 't'},
    {"dim_and_lock", required, nullptr, 'z'},
    {"dim_and_display_off", required, nullptr, 'x'},
    {"dim_screen", required, nullptr, 'b'},
    {"turn_off_display_and_lock", none, nullptr, 'f'},
    {"verbose", none, &verbose_flag, 7},
    {"level", optional, nullptr, 'v'},
    {"lockout", none, nullptr, 'l'},  // same meaning as lock_screen: never ambiguous with it
    {nullptr, none, nullptr, 0},
};
constexpr char letters[] = "x:z:mlsrkegd:tyab:cfv::";

// A mutable argv, as main() gets it, and the parser's diagnostics.
class command_line {
 public:
  explicit command_line(std::vector<std::string> words) : words_(std::move(words)) {
    for (auto& word : words_) argv_.push_back(word.data());
    argv_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return argv_.data(); }
  std::vector<std::string> current() const {
    std::vector<std::string> now;
    for (int i = 0; i < argc(); ++i) now.push_back(argv_[static_cast<size_t>(i)]);
    return now;
  }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
};

struct parse_result {
  std::vector<std::string> options;  // each option as "<letter>" or "<letter>=<argument>"
  std::vector<std::string> diagnostics;
  int index = 0;
  std::vector<std::string> argv;
};

std::string show(int option, const char* argument) {
  std::string text = option < 32 ? std::to_string(option) : std::string(1, static_cast<char>(option));
  if (argument != nullptr) text += std::string("=") + argument;
  return text;
}

parse_result parse(std::vector<std::string> words, const char* short_options = letters) {
  command_line line(std::move(words));
  parse_result result;
  option_parser parser(line.argc(), line.argv(), short_options, table, "daemon",
                       [&](const std::string& text) { result.diagnostics.push_back(text); });
  for (int option = parser.next(); option != -1; option = parser.next()) {
    result.options.push_back(show(option, parser.argument()));
  }
  result.index = parser.index();
  result.argv = line.current();
  return result;
}

TEST(OptionParserTest, ShortOptionsClusterAndTakeArgumentsAttachedOrDetached) {
  auto r = parse({"daemon", "-ml", "-d50", "-d", "7", "-b0", "-x", "-1"});
  EXPECT_THAT(r.options, ElementsAre("m", "l", "d=50", "d=7", "b=0", "x=-1"));
  EXPECT_EQ(r.index, 8);
  EXPECT_THAT(r.diagnostics, IsEmpty());

  // An argument in the same word ends the cluster; a detached one may look like an option.
  r = parse({"daemon", "-md5", "-d", "--lock_screen"});
  EXPECT_THAT(r.options, ElementsAre("m", "d=5", "d=--lock_screen"));

  // An optional argument is only ever attached.
  r = parse({"daemon", "-v", "3", "-v4"});
  EXPECT_THAT(r.options, ElementsAre("v", "v=4"));
  EXPECT_EQ(r.index, 3);
  EXPECT_EQ(r.argv, (std::vector<std::string>{"daemon", "-v", "-v4", "3"}));
}

TEST(OptionParserTest, LongOptionsMatchExactlyOrByUniquePrefix) {
  auto r = parse({"daemon", "--get", "--set_brightness", "40", "--set_brightness=55", "--dim_s", "100",
                  "--turn_off_display"});
  // --turn_off_display is exact although it also starts turn_off_display_and_lock.
  EXPECT_THAT(r.options, ElementsAre("g", "d=40", "d=55", "b=100", "t"));
  EXPECT_THAT(r.diagnostics, IsEmpty());

  // Prefixes of several entries with one meaning are not ambiguous.
  r = parse({"daemon", "--lock", "--level=2", "--level", "--verbose"});
  EXPECT_THAT(r.options, ElementsAre("l", "v=2", "v", "0"));
  EXPECT_EQ(verbose_flag, 7);

  // The table index of the long option is handed back.
  command_line line({"daemon", "--dim_screen=5"});
  option_parser parser(line.argc(), line.argv(), letters, table, "daemon", nullptr);
  int long_index = -1;
  EXPECT_EQ(parser.next(&long_index), 'b');
  EXPECT_EQ(long_index, 7);
  EXPECT_STREQ(parser.argument(), "5");
}

TEST(OptionParserTest, NonOptionsArePermutedToTheEnd) {
  auto r = parse({"daemon", "one", "-m", "two", "three", "-d", "5", "four"});
  EXPECT_THAT(r.options, ElementsAre("m", "d=5"));
  EXPECT_EQ(r.argv, (std::vector<std::string>{"daemon", "-m", "-d", "5", "one", "two", "three", "four"}));
  EXPECT_EQ(r.index, 4);

  // Only non-options: nothing moves and the first of them is next.
  r = parse({"daemon", "one", "-", "two"});
  EXPECT_THAT(r.options, IsEmpty());
  EXPECT_EQ(r.index, 1);
  EXPECT_EQ(r.argv, (std::vector<std::string>{"daemon", "one", "-", "two"}));

  // "--" ends the options; what follows stays, after the non-options found before it.
  r = parse({"daemon", "one", "-m", "--", "-l", "two"});
  EXPECT_THAT(r.options, ElementsAre("m"));
  EXPECT_EQ(r.argv, (std::vector<std::string>{"daemon", "-m", "--", "one", "-l", "two"}));
  EXPECT_EQ(r.index, 3);
}

TEST(OptionParserTest, PlusAndMinusPrefixesChangeHowNonOptionsAreTreated) {
  // '+' (like POSIXLY_CORRECT) stops at the first non-option.
  auto r = parse({"daemon", "-m", "one", "-l"}, "+ml");
  EXPECT_THAT(r.options, ElementsAre("m"));
  EXPECT_EQ(r.index, 2);
  EXPECT_EQ(r.argv, (std::vector<std::string>{"daemon", "-m", "one", "-l"}));

  // '-' hands every non-option back as option 1, in place.
  r = parse({"daemon", "one", "-m", "two"}, "-ml");
  EXPECT_THAT(r.options, ElementsAre("1=one", "m", "1=two"));
}

TEST(OptionParserTest, EveryDiagnosticNamesTheProgramAndRejectsWithQuestionMark) {
  struct rejected {
    std::vector<std::string> words;
    std::string diagnostic;
    int rejected_option;
  };
  const std::vector<rejected> cases = {
      {{"daemon", "-d"}, "daemon: option requires an argument -- d\n", 'd'},
      {{"daemon", "--set_brightness"}, "daemon: option requires an argument -- set_brightness\n", 'd'},
      {{"daemon", "--dim"}, "daemon: ambiguous option -- dim\n", 0},
      {{"daemon", "--dim=4"}, "daemon: ambiguous option -- dim\n", 0},
      {{"daemon", "--turn_off"}, "daemon: ambiguous option -- turn_off\n", 0},
      {{"daemon", "--lock_screen=1"}, "daemon: option doesn't take an argument -- lock_screen\n", 'l'},
      {{"daemon", "-q"}, "daemon: unknown option -- q\n", 'q'},
      {{"daemon", "-:"}, "daemon: unknown option -- :\n", ':'},
      {{"daemon", "--no_such_option"}, "daemon: unknown option -- no_such_option\n", 0},
      {{"daemon", "--no_such_option=3"}, "daemon: unknown option -- no_such_option=3\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.words.back());
    command_line line(c.words);
    std::vector<std::string> diagnostics;
    option_parser parser(line.argc(), line.argv(), letters, table, "daemon",
                         [&](const std::string& text) { diagnostics.push_back(text); });
    EXPECT_EQ(parser.next(), '?');
    EXPECT_EQ(parser.rejected_option(), c.rejected_option);
    EXPECT_THAT(diagnostics, ElementsAre(c.diagnostic));
    EXPECT_EQ(parser.next(), -1);
    EXPECT_EQ(parser.index(), 2);
  }

  // A rejected option in a cluster leaves the rest of the cluster to parse.
  auto r = parse({"daemon", "-mql"});
  EXPECT_THAT(r.options, ElementsAre("m", "?", "l"));
  EXPECT_THAT(r.diagnostics, ElementsAre("daemon: unknown option -- q\n"));
}

TEST(OptionParserTest, LeadingColonOrReportOffSilencesDiagnostics) {
  // With ':' a missing argument is ':' and nothing is written.
  auto r = parse({"daemon", "-d"}, ":d:");
  EXPECT_THAT(r.options, ElementsAre(":"));
  EXPECT_THAT(r.diagnostics, IsEmpty());
  r = parse({"daemon", "-q", "--set_brightness"}, ":d:");
  EXPECT_THAT(r.options, ElementsAre("?", ":"));
  EXPECT_THAT(r.diagnostics, IsEmpty());

  command_line line({"daemon", "-q", "--dim"});
  std::vector<std::string> diagnostics;
  option_parser parser(line.argc(), line.argv(), letters, table, "daemon",
                       [&](const std::string& text) { diagnostics.push_back(text); });
  parser.set_report_errors(false);
  EXPECT_EQ(parser.next(), '?');
  EXPECT_EQ(parser.next(), '?');
  EXPECT_EQ(parser.next(), -1);
  EXPECT_THAT(diagnostics, IsEmpty());
}

TEST(OptionParserTest, DashWWithSemicolonTakesALongOption) {
  auto r = parse({"daemon", "-W", "lock_screen", "-Wdim_screen=9", "-W"}, "mW;");
  EXPECT_THAT(r.options, ElementsAre("l", "b=9", "?"));
  EXPECT_THAT(r.diagnostics, ElementsAre("daemon: option requires an argument -- W\n"));
}

}  // namespace
}  // namespace ostrel::daemon
