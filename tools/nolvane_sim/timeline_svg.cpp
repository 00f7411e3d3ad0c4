#include "timeline_svg.h"

#include "xml_text.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <map>
#include <sstream>

namespace nolvane_sim {
namespace {

using nolvane_tools::xml_escaped;

constexpr double width = 1500;
constexpr double label_width = 150;
constexpr double plot_left = label_width + 12;
constexpr double plot_width = width - plot_left - 24;
constexpr double axis_y = 58;
constexpr double first_lane_y = 72;
constexpr double lane_height = 30;
constexpr double bar_height = 20;
constexpr double run_row_height = 18;
constexpr double run_bar_height = 11;
constexpr size_t max_run_rows = 8;
constexpr double char_width = 6.8;  // of the 12 px sans-serif labels, a little generous
const char* const failed_red = "#d50000";

std::string number(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value;
  return text.str();
}

double text_width(const std::string& text) { return char_width * static_cast<double>(text.size()); }

// Fill colours of the values a lane takes; anything else gets one of the
// spare colours, the same for the same text.
const char* fill_of(lane l, const std::string& value) {
  static const std::map<std::string, const char*> known{
      {"present", "#66bb6a"},  {"away", "#bdbdbd"},      {"no sensor", "#eeeeee"},  {"RUNNING", "#66bb6a"},
      {"STOPPED", "#ef9a9a"},  {"INITIAL", "#e0e0e0"},   {"USER_PRESENT", "#a5d6a7"}, {"USER_ABSENT", "#ffcc80"},
      {"DIMMING", "#5e35b1"},  {"ENGINE_OFF", "#b0bec5"}, {"shown", "#263238"},       {"on", "#fff59d"},
      {"off", "#424242"},      {"unlocked", "#c8e6c9"},  {"locked", "#ef9a9a"},     {"remote", "#90caf9"},
      {"remote, locked", "#ce93d8"}, {"mains", "#a5d6a7"}, {"battery", "#ffe082"}};
  static const char* const spare[] = {"#80cbc4", "#f48fb1", "#9fa8da", "#bcaaa4", "#e6ee9c", "#81d4fa"};
  if (l != lane::daemon) {
    const auto it = known.find(value);
    if (it != known.end()) return it->second;
  }
  return spare[std::hash<std::string>{}(value) % (sizeof spare / sizeof spare[0])];
}

// Dark fills get white text.
const char* text_colour_on(const char* fill) {
  const unsigned value = static_cast<unsigned>(std::stoul(std::string(fill + 1), nullptr, 16));
  const double luminance = 0.299 * (value >> 16) + 0.587 * ((value >> 8) & 0xFF) + 0.114 * (value & 0xFF);
  return luminance < 110 ? "#ffffff" : "#212121";
}

class picture {
 public:
  picture(const timeline& t, std::ostream& out)
      : t_(t), out_(out), scale_(plot_width / std::max(t.end(), 1.0)) {}

  void draw(const std::string& title) {
    const auto rows = place_runs();
    const double runs_height = std::max<size_t>(1, run_rows_) * run_row_height + 8;
    const double lanes_bottom = first_lane_y + (lane_count - 1) * lane_height + runs_height;
    std::vector<const timeline::expectation*> failed;
    for (const auto& e : t_.expectations()) {
      if (!e.held) failed.push_back(&e);
    }
    const double height = lanes_bottom + 40 + 18 * static_cast<double>(failed.size());

    out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << number(height)
         << "\" viewBox=\"0 0 " << width << " " << number(height)
         << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\" font-size=\"12\">\n"
         << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
         << "<text x=\"12\" y=\"26\" font-size=\"16\" font-weight=\"bold\">" << xml_escaped(title) << "</text>\n";
    axis(lanes_bottom);
    for (size_t i = 0; i < lane_count; ++i) {
      const auto l = static_cast<lane>(i);
      const double y = first_lane_y + static_cast<double>(i) * lane_height;
      out_ << "<text x=\"12\" y=\"" << number(y + 15) << "\" font-weight=\"bold\">" << lane_title(l) << "</text>\n"
           << "<line x1=\"12\" x2=\"" << width - 12 << "\" y1=\"" << number(y - 4) << "\" y2=\"" << number(y - 4)
           << "\" stroke=\"#eeeeee\"/>\n";
      if (l == lane::daemon) {
        runs(y, rows);
      } else if (l == lane::input) {
        moments(l, y);
      } else {
        segments(l, y);
      }
    }
    expectations(lanes_bottom, failed);
    out_ << "</svg>\n";
  }

 private:
  double x_of(double seconds) const { return plot_left + seconds * scale_; }

  void axis(double lanes_bottom) {
    static const double steps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600};
    double step = steps[sizeof steps / sizeof steps[0] - 1];
    for (double s : steps) {
      if (s * scale_ >= 64) {
        step = s;
        break;
      }
    }
    out_ << "<g font-size=\"11\" fill=\"#616161\">\n";
    for (double at = 0; at <= t_.end() + 1e-9; at += step) {
      const double x = x_of(at);
      std::ostringstream label;
      label << std::defaultfloat << std::setprecision(4) << at << " s";
      out_ << "<line x1=\"" << number(x) << "\" x2=\"" << number(x) << "\" y1=\"" << axis_y << "\" y2=\""
           << number(lanes_bottom) << "\" stroke=\"#e0e0e0\"/>\n"
           << "<text x=\"" << number(x) << "\" y=\"" << axis_y - 6 << "\" text-anchor=\"middle\">" << label.str()
           << "</text>\n";
    }
    out_ << "</g>\n";
  }

  void segments(lane l, double y) {
    for (const auto& s : t_.segments(l)) {
      const double x = x_of(s.from);
      const double w = std::max(1.5, (s.to - s.from) * scale_);
      const char* fill = fill_of(l, s.value);
      out_ << "<rect x=\"" << number(x) << "\" y=\"" << number(y) << "\" width=\"" << number(w) << "\" height=\""
           << bar_height << "\" fill=\"" << fill << "\"><title>" << xml_escaped(s.value) << " from " << number(s.from)
           << " s</title></rect>\n";
      if (text_width(s.value) + 8 <= w) {
        out_ << "<text x=\"" << number(x + 4) << "\" y=\"" << number(y + 14) << "\" fill=\"" << text_colour_on(fill)
             << "\">" << xml_escaped(s.value) << "</text>\n";
      }
    }
  }

  void moments(lane l, double y) {
    for (const auto& m : t_.moments(l)) {
      const double x = x_of(m.at);
      const bool left = x + 9 + text_width(m.label) > width - 4;
      out_ << "<path d=\"M " << number(x) << " " << number(y + 2) << " l 6 9 l -6 9 l -6 -9 z\" fill=\"#1565c0\"><title>"
           << xml_escaped(m.label) << " at " << number(m.at) << " s</title></path>\n"
           << "<text x=\"" << number(left ? x - 9 : x + 9) << "\" y=\"" << number(y + 15) << "\" fill=\"#1565c0\""
           << (left ? " text-anchor=\"end\"" : "") << ">" << xml_escaped(m.label) << "</text>\n";
    }
  }

  static std::string run_label(const timeline::daemon_run& r) {
    std::string option = r.option;
    if (option.rfind("--", 0) == 0) option = option.substr(2);
    return option + (r.ending.empty() ? "" : " → " + r.ending);
  }

  double run_width(const timeline::daemon_run& r) const {
    return std::max(3.0, ((r.end < 0 ? t_.end() : r.end) - r.start) * scale_);
  }

  enum class side { right, left, inside };
  // A label goes right of its bar; where it would run off the picture, left
  // of it, or else inside the (long) bar.
  side label_side(const timeline::daemon_run& r) const {
    const double label = 4 + text_width(run_label(r));
    const double x = x_of(r.start);
    if (x + run_width(r) + label <= width - 4) return side::right;
    if (x - label >= plot_left) return side::left;
    return side::inside;
  }

  // Each run's row: labels that would overlap go to the next row; when every
  // row is taken the bar goes without its label.
  struct placed {
    size_t row;
    bool labelled;
  };
  std::vector<placed> place_runs() {
    std::vector<placed> result;
    std::vector<double> free_from;
    for (const auto& r : t_.runs()) {
      const double x = x_of(r.start);
      const double bar = run_width(r);
      const double label = 4 + text_width(run_label(r));
      const side where = label_side(r);
      const double left = where == side::left ? x - label : x;
      const double right = where == side::right ? x + bar + label : x + bar;
      size_t row = free_from.size();
      for (size_t i = 0; i < free_from.size(); ++i) {
        if (free_from[i] <= left) {
          row = i;
          break;
        }
      }
      if (row == free_from.size() && row < max_run_rows) free_from.push_back(0);
      if (row < free_from.size()) {
        free_from[row] = right + 6;
        result.push_back({row, true});
      } else {
        const size_t earliest = static_cast<size_t>(std::min_element(free_from.begin(), free_from.end()) - free_from.begin());
        free_from[earliest] = std::max(free_from[earliest], x + bar + 2);
        result.push_back({earliest, false});
      }
    }
    run_rows_ = free_from.size();
    return result;
  }

  void runs(double y, const std::vector<placed>& rows) {
    const auto& all = t_.runs();
    for (size_t i = 0; i < all.size(); ++i) {
      const auto& r = all[i];
      const double row_y = y + static_cast<double>(rows[i].row) * run_row_height;
      const double x = x_of(r.start);
      const double w = run_width(r);
      const std::string name = r.option.substr(0, r.option.find(' '));
      const std::string label = run_label(r);
      out_ << "<rect x=\"" << number(x) << "\" y=\"" << number(row_y) << "\" width=\"" << number(w) << "\" height=\""
           << run_bar_height << "\" fill=\"" << fill_of(lane::daemon, name) << "\" stroke=\"#455a64\" stroke-width=\"0.6\"><title>"
           << xml_escaped(label) << " from " << number(r.start) << " s</title></rect>\n";
      if (rows[i].labelled) {
        const side where = label_side(r);
        const double label_x = where == side::right ? x + w + 4 : where == side::left ? x - 4 : x + 4;
        out_ << "<text x=\"" << number(label_x) << "\" y=\"" << number(row_y + 10) << "\" font-size=\"11\""
             << (where == side::left ? " text-anchor=\"end\"" : "") << ">" << xml_escaped(label) << "</text>\n";
      }
    }
  }

  void expectations(double lanes_bottom, const std::vector<const timeline::expectation*>& failed) {
    for (const auto& e : t_.expectations()) {
      const double x = x_of(e.at);
      if (e.held) {
        out_ << "<path d=\"M " << number(x - 4) << " " << axis_y + 2 << " l 4 6 l 4 -6 z\" fill=\"#2e7d32\"><title>"
             << xml_escaped(e.text) << "</title></path>\n";
      } else {
        const bool near_right = x + 4 + text_width("FAILED") > width - 4;
        out_ << "<line x1=\"" << number(x) << "\" x2=\"" << number(x) << "\" y1=\"" << axis_y << "\" y2=\""
             << number(lanes_bottom) << "\" stroke=\"" << failed_red << "\" stroke-width=\"2\"/>\n"
             << "<text x=\"" << number(near_right ? x - 4 : x + 4) << "\" y=\"" << axis_y + 12 << "\" fill=\""
             << failed_red << "\" font-weight=\"bold\"" << (near_right ? " text-anchor=\"end\"" : "")
             << ">FAILED</text>\n";
      }
    }
    double y = lanes_bottom + 24;
    out_ << "<text x=\"12\" y=\"" << number(y) << "\" fill=\"#616161\" font-size=\"11\">"
         << "times in seconds since the scenario began; green marks on the axis: expectations that held</text>\n";
    for (const auto* e : failed) {
      y += 18;
      out_ << "<text x=\"12\" y=\"" << number(y) << "\" fill=\"" << failed_red << "\" font-weight=\"bold\">FAILED at "
           << number(e->at) << " s, " << xml_escaped(e->text) << "</text>\n";
    }
  }

  const timeline& t_;
  std::ostream& out_;
  const double scale_;  // pixels per second
  size_t run_rows_ = 0;
};

}  // namespace

void write_svg(const timeline& t, const std::string& title, std::ostream& out) { picture(t, out).draw(title); }

}  // namespace nolvane_sim
