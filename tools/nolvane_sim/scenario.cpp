#include "scenario.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace nolvane_sim {
namespace {

// About 30 years; a steady_clock duration in nanoseconds holds about 292.
constexpr double max_seconds = 1e9;

struct token {
  std::string word;
  size_t begin = 0;  // offset in the line, quotes included
};

std::vector<token> tokenize(const std::string& line, int line_number) {
  std::vector<token> tokens;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    token t;
    t.begin = i;
    if (line[i] == '"') {
      const size_t close = line.find('"', i + 1);
      if (close == std::string::npos) {
        throw parse_error("line " + std::to_string(line_number) + ": missing closing quote");
      }
      t.word = line.substr(i + 1, close - i - 1);
      i = close + 1;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') t.word += line[i++];
    }
    tokens.push_back(t);
  }
  return tokens;
}

// True when strtoll/strtod read all of `text`: a zero byte inside a word
// would otherwise end the number early.
bool read_whole(const std::string& text, const char* end) { return end == text.c_str() + text.size(); }

bool parse_number(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 0);
  if (!read_whole(text, end) || errno == ERANGE) return false;
  *value = parsed;
  return true;
}

// A word as a message shows it: quoted, with control bytes as \xNN, since a
// zero byte would end the message where the reader stops.
std::string quoted(const std::string& word) {
  static const char hex[] = "0123456789abcdef";
  std::string text = "'";
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      text += "\\x";
      text += hex[byte >> 4];
      text += hex[byte & 0xf];
    } else {
      text += c;
    }
  }
  return text + "'";
}

class line_checker {
 public:
  line_checker(const std::string& line, int number, std::vector<token> tokens, size_t first)
      : line_(line), number_(number), tokens_(std::move(tokens)), first_(first) {}

  [[noreturn]] void fail(const std::string& why) const {
    throw parse_error("line " + std::to_string(number_) + ": " + why);
  }
  size_t count() const { return tokens_.size() - first_; }
  const std::string& word(size_t i) const {
    if (first_ + i >= tokens_.size()) fail("too few words");
    return tokens_[first_ + i].word;
  }
  // The raw line from word i on; one quoted word loses its quotes.
  std::string rest(size_t i) const {
    if (first_ + i >= tokens_.size()) fail("text missing");
    if (first_ + i + 1 == tokens_.size()) return tokens_[first_ + i].word;
    std::string text = line_.substr(tokens_[first_ + i].begin);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.pop_back();
    return text;
  }
  void words(step& s, size_t n) const {
    if (count() != n) fail("expected " + std::to_string(n) + " words after " + quoted(word(0)));
    for (size_t i = 0; i < n; ++i) s.words.push_back(word(i));
  }
  void one_of(size_t i, const std::set<std::string>& allowed) const {
    if (allowed.count(word(i)) == 0) fail("unknown " + quoted(word(i)) + " after " + quoted(word(i - 1)));
  }
  void number(size_t i) const {
    long long ignored = 0;
    if (!parse_number(word(i), &ignored)) fail(quoted(word(i)) + " is not a number");
  }

 private:
  const std::string& line_;
  int number_;
  std::vector<token> tokens_;
  size_t first_;
};

// "expect display|overlay <value> [within <time>]"
void check_desktop_expect(const line_checker& c, step& s, const std::string& one, const std::string& other) {
  if (c.count() != 3 && c.count() != 5) c.fail("expect " + c.word(1) + " " + one + "|" + other + " [within <time>]");
  c.words(s, c.count());
  c.one_of(2, {one, other});
  if (c.count() == 5) {
    if (c.word(3) != "within") c.fail("expected 'within'");
    double ignored = 0;
    if (!parse_seconds(c.word(4), &ignored)) c.fail("'" + c.word(4) + "' is not a time");
  }
}

void check_expect(const line_checker& c, step& s) {
  const std::string& what = c.word(1);
  if (what == "trace" || what == "journal") {
    s.words = {"expect", what};
    s.text = c.rest(2);
  } else if (what == "display") {
    check_desktop_expect(c, s, "on", "off");
  } else if (what == "overlay") {
    check_desktop_expect(c, s, "shown", "gone");
  } else if (what == "status") {
    if (c.count() != 3 && c.count() != 5) c.fail("expect status running|stopped [exit <number>]");
    c.words(s, c.count());
    c.one_of(2, {"running", "stopped"});
    if (c.count() == 5) {
      if (c.word(3) != "exit") c.fail("expected 'exit'");
      c.number(4);
    }
  } else if (what == "registry") {
    s.words = {"expect", "registry", c.word(2), c.word(3)};
    s.text = c.rest(4);
  } else {
    c.fail("unknown expectation " + quoted(what));
  }
}

void check_command(const line_checker& c, step& s) {
  const std::string& command = c.word(0);
  if (command == "start" || command == "input") {
    c.words(s, 1);
  } else if (command == "trace") {
    if (c.count() < 2) c.fail("trace debug|info|error [tag...]");
    c.words(s, c.count());
    c.one_of(1, {"debug", "info", "error"});
  } else if (command == "sensor") {
    if (c.count() == 3 && c.word(1) == "interval") {
      c.words(s, 3);
      double ignored = 0;
      if (!parse_seconds(c.word(2), &ignored)) c.fail(quoted(c.word(2)) + " is not a time");
    } else {
      c.words(s, 2);
      c.one_of(1, {"none", "add", "legacy"});
    }
  } else if (command == "monitor") {
    c.words(s, 2);
    c.one_of(1, {"attach", "detach"});
  } else if (command == "firmware") {
    c.words(s, 2);
    c.number(1);
  } else if (command == "registry") {
    if (c.count() < 5) c.fail("registry <key> <name> dword|string <value>");
    s.words = {"registry", c.word(1), c.word(2), c.word(3)};
    c.one_of(3, {"dword", "string"});
    if (c.word(3) == "dword") {
      if (c.count() != 5) c.fail("one number after 'dword'");
      c.number(4);
      s.words.push_back(c.word(4));
    } else {
      s.text = c.rest(4);
    }
  } else if (command == "user") {
    c.words(s, 2);
    c.one_of(1, {"away", "present"});
  } else if (command == "session") {
    c.words(s, 2);
    c.one_of(1, {"lock", "unlock", "remote", "local"});
  } else if (command == "power") {
    c.words(s, 2);
    c.one_of(1, {"battery", "mains"});
  } else if (command == "control") {
    c.words(s, 2);
    c.one_of(1, {"stop"});
  } else if (command == "wait") {
    c.words(s, 2);
    double ignored = 0;
    if (!parse_seconds(c.word(1), &ignored)) c.fail(quoted(c.word(1)) + " is not a time");
  } else if (command == "expect") {
    check_expect(c, s);
  } else {
    c.fail("unknown command " + quoted(command));
  }
}

}  // namespace

bool parse_seconds(const std::string& text, double* seconds) {
  std::string number = text;
  double scale = 1.0;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
    number.resize(number.size() - 2);
    scale = 0.001;
  } else if (number.size() > 1 && number.back() == 's') {
    number.pop_back();
  }
  if (number.empty()) return false;
  char* end = nullptr;
  const double value = std::strtod(number.c_str(), &end) * scale;
  // Also refuses "nan", "inf" and times beyond what the simulation's clock holds.
  if (!read_whole(number, end) || !(value >= 0 && value < max_seconds)) return false;
  *seconds = value;
  return true;
}

std::string registry_key(const std::string& key) {
  static const std::string shorthand = "Nolvane\\";
  if (key.compare(0, shorthand.size(), shorthand) == 0) {
    return "SOFTWARE\\Ostrel Works\\Nolvane\\" + key.substr(shorthand.size());
  }
  if (key == "Nolvane") return "SOFTWARE\\Ostrel Works\\Nolvane";
  static const std::string hklm = "HKLM\\";
  if (key.compare(0, hklm.size(), hklm) == 0) return key.substr(hklm.size());
  return key;
}

std::vector<step> parse_scenario(std::istream& in) {
  std::vector<step> steps;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;

    std::vector<token> tokens = tokenize(line, number);
    step s;
    s.line = number;
    size_t first = 0;
    if (tokens[0].word == "at") {
      if (tokens.size() < 3 || !parse_seconds(tokens[1].word, &s.at_seconds)) {
        throw parse_error("line " + std::to_string(number) + ": 'at <time> <command>'");
      }
      first = 2;
    }
    s.source = line.substr(tokens[first].begin);
    line_checker checker(line, number, tokens, first);
    check_command(checker, s);
    steps.push_back(std::move(s));
  }
  return steps;
}

std::vector<step> load_scenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw parse_error("cannot read " + path);
  return parse_scenario(in);
}

}  // namespace nolvane_sim
