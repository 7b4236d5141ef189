#include "common/timeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <vector>

#include "codec/command_table.h"
#include "common/text.h"

namespace ecub::tools {

namespace {

constexpr double kLeft = 190;  // row names
constexpr double kPlot = 1600;
constexpr double kRight = 30;
constexpr double kTop = 96;  // title, legend and the marks' heads above the rows
constexpr double kRow = 20;
constexpr double kBar = 14;

constexpr std::array<const char*, 3> kOutcomeColour = {"#2ca02c", "#ff9f1a", "#d62728"};

struct MarkStyle {
  const char* css;
  const char* colour;
  const char* words;
};
// By LogMark::Kind.
constexpr std::array<MarkStyle, 4> kMarkStyle = {{
    {"start", "#7f7f7f", "log started"},
    {"open", "#1f77b4", "port opened"},
    {"port-error", "#9467bd", "port failure"},
    {"given-up", "#d62728", "link given up"},
}};

// Text for an SVG text node or attribute: printable ASCII only, markup escaped.
std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\n':
        out += "&#10;";
        break;
      default:
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
  }
  return out;
}

std::string Fixed(double value, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Seconds(int64_t ms) {
  return Fixed(static_cast<double>(ms) / 1000.0, 3) + " s";
}

std::string Name(uint8_t command) {
  return Trim(CommandName(command));
}

class Picture {
 public:
  Picture(const LogSummary& summary, const std::string& title) : summary_(summary) {
    for (const LogRequest& r : summary.requests) {
      t0_ = std::min(t0_, r.start_ms());
      t1_ = std::max(t1_, r.end_ms());
      rows_[r.command].push_back(&r);
    }
    for (const LogMark& m : summary.marks) {
      t0_ = std::min(t0_, m.time_ms);
      t1_ = std::max(t1_, m.time_ms);
    }
    if (t0_ > t1_) t0_ = t1_ = 0;
    scale_ = kPlot / static_cast<double>(std::max<int64_t>(t1_ - t0_, 1));
    bottom_ = kTop + kRow * static_cast<double>(std::max<size_t>(rows_.size(), 1));
    Head(title);
    Axis();
    size_t row = 0;
    for (const auto& [command, requests] : rows_) Row(row++, command, requests);
    if (rows_.empty()) {
      out_ += "<text x=\"" + Fixed(kLeft) + "\" y=\"" + Fixed(kTop + 14) +
              "\">no request in this log</text>\n";
    }
    Marks();
    out_ += "</svg>\n";
  }
  std::string Take() { return std::move(out_); }

 private:
  double X(int64_t t) const { return kLeft + static_cast<double>(t - t0_) * scale_; }

  void Head(const std::string& title) {
    const double width = kLeft + kPlot + kRight;
    const double height = bottom_ + 40;
    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Fixed(width, 0) +
            "\" height=\"" + Fixed(height, 0) + "\" viewBox=\"0 0 " + Fixed(width, 0) + " " +
            Fixed(height, 0) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out_ += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    size_t failed = 0;
    for (const LogRequest& r : summary_.requests) {
      failed += r.outcome == LogRequest::Outcome::kFailed ? 1 : 0;
    }
    out_ += "<text class=\"title\" x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">" +
            Escape(title) + ": " + std::to_string(summary_.requests.size()) + " requests (" +
            std::to_string(failed) + " failed) in " + Seconds(t1_ - t0_) + "</text>\n";
    // The legend.
    double x = 10;
    const auto key = [&](const std::string& swatch, const std::string& words) {
      out_ += swatch;
      out_ += "<text x=\"" + Fixed(x + 16) + "\" y=\"50\">" + words + "</text>\n";
      x += 16 + 7.0 * static_cast<double>(words.size()) + 24;
    };
    static const char* const kOutcomeWords[] = {"answered at once", "answered after retries",
                                                "failed: link given up"};
    for (size_t i = 0; i < kOutcomeColour.size(); ++i) {
      key("<rect x=\"" + Fixed(x) + "\" y=\"40\" width=\"12\" height=\"12\" fill=\"" +
              kOutcomeColour[i] + "\"/>",
          kOutcomeWords[i]);
    }
    for (const MarkStyle& m : kMarkStyle) {
      key("<line x1=\"" + Fixed(x + 6) + "\" y1=\"38\" x2=\"" + Fixed(x + 6) +
              "\" y2=\"54\" stroke=\"" + m.colour + "\" stroke-width=\"2\"/>",
          m.words);
    }
    out_ +=
        "<text x=\"10\" y=\"70\" fill=\"#555\">Bars run from a request to its answer; "
        "columns thinner than a pixel stand for all requests in them, split by outcome. "
        "Hover for details.</text>\n";
  }

  void Axis() {
    const double span = static_cast<double>(std::max<int64_t>(t1_ - t0_, 1));
    const double raw = span / 10;
    double step = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
      if (step * m >= raw) {
        step *= m;
        break;
      }
    }
    const int decimals = step >= 1000 ? 0 : step >= 100 ? 1 : step >= 10 ? 2 : 3;
    out_ += "<g class=\"axis\" stroke=\"#ddd\">\n";
    std::string labels;
    const double first = std::ceil(static_cast<double>(t0_) / step) * step;
    for (double t = first; t <= static_cast<double>(t1_) + 1e-9; t += step) {
      const double x = kLeft + (t - static_cast<double>(t0_)) * scale_;
      out_ += "<line x1=\"" + Fixed(x) + "\" y1=\"" + Fixed(kTop - 4) + "\" x2=\"" + Fixed(x) +
              "\" y2=\"" + Fixed(bottom_) + "\"/>\n";
      labels += "<text x=\"" + Fixed(x) + "\" y=\"" + Fixed(bottom_ + 16) +
                "\" text-anchor=\"middle\">" + Fixed(t / 1000.0, decimals) + " s</text>\n";
    }
    out_ += "</g>\n<g class=\"scale\">\n" + labels + "</g>\n";
  }

  void Row(size_t index, uint8_t command, const std::vector<const LogRequest*>& requests) {
    const double y = kTop + kRow * static_cast<double>(index);
    out_ += "<g class=\"row\" data-command=\"" + std::to_string(command) + "\">\n";
    out_ += "<text x=\"" + Fixed(kLeft - 6) + "\" y=\"" + Fixed(y + kBar - 2) +
            "\" text-anchor=\"end\">" + Escape(Name(command)) + " (" +
            std::to_string(requests.size()) + ")</text>\n";
    if (index % 2 == 1) {
      out_ += "<rect x=\"" + Fixed(kLeft) + "\" y=\"" + Fixed(y - 3) + "\" width=\"" +
              Fixed(kPlot) + "\" height=\"" + Fixed(kRow) + "\" fill=\"#f4f4f4\"/>\n";
    }
    bucket_ = {};
    for (const LogRequest* r : requests) {
      const double x0 = X(r->start_ms());
      const double x1 = X(r->end_ms());
      if (x1 - x0 >= 1.0) {
        FlushBucket(y, command);
        Bar(y, *r, x0, x1 - x0);
        continue;
      }
      const int64_t column = static_cast<int64_t>(std::floor(x0));
      if (bucket_.count() > 0 && column != bucket_.column) FlushBucket(y, command);
      bucket_.column = column;
      if (bucket_.count() == 0) bucket_.first = r;
      bucket_.last = r;
      ++bucket_.n[static_cast<size_t>(r->outcome)];
    }
    FlushBucket(y, command);
    out_ += "</g>\n";
  }

  void Bar(double y, const LogRequest& r, double x, double width) {
    const LogAttempt& last = r.attempts.back();
    std::string tip =
        Name(r.command) + " at " + Seconds(r.start_ms()) + ": " + OutcomeName(r.outcome);
    if (last.accepted) {
      tip += " in " + std::to_string(last.answered_ms - last.sent_ms) + " ms";
    }
    tip += ", " + std::to_string(r.attempts.size()) + " attempt(s)\nrequest " + SpacedHex(r.frame);
    for (size_t i = 0; i < r.attempts.size(); ++i) {
      const LogAttempt& a = r.attempts[i];
      tip += "\n" + std::to_string(i + 1) + ": " + (a.accepted ? "answer" : a.failure);
      if (a.answer) tip += (a.accepted ? " " : ", got ") + SpacedHex(*a.answer);
    }
    const size_t o = static_cast<size_t>(r.outcome);
    out_ += "<rect class=\"bar " + std::string(OutcomeName(r.outcome)) + "\" data-n=\"1\" x=\"" +
            Fixed(x) + "\" y=\"" + Fixed(y) + "\" width=\"" + Fixed(std::max(width, 1.0)) +
            "\" height=\"" + Fixed(kBar) + "\" fill=\"" + kOutcomeColour[o] + "\"><title>" +
            Escape(tip) + "</title></rect>\n";
  }

  void FlushBucket(double y, uint8_t command) {
    const size_t total = bucket_.count();
    if (total == 0) return;
    if (total == 1) {
      Bar(y, *bucket_.first, X(bucket_.first->start_ms()), 1.0);
      bucket_ = {};
      return;
    }
    const std::string tip = std::to_string(total) + " requests of " + Name(command) + " from " +
                            Seconds(bucket_.first->start_ms()) + " to " +
                            Seconds(bucket_.last->end_ms()) + ": " + std::to_string(bucket_.n[0]) +
                            " answered at once, " + std::to_string(bucket_.n[1]) +
                            " after retries, " + std::to_string(bucket_.n[2]) + " failed";
    // Failed at the top, so a rare failure still shows: each outcome present gets 2 px at least.
    double top = y;
    double left = kBar;
    for (size_t o = 3; o-- > 0;) {
      if (bucket_.n[o] == 0) continue;
      double h = kBar * static_cast<double>(bucket_.n[o]) / static_cast<double>(total);
      h = o == 0 ? left : std::min(left, std::max(h, 2.0));
      if (h <= 0) continue;
      out_ += "<rect class=\"bar " + std::string(OutcomeName(static_cast<LogRequest::Outcome>(o))) +
              "\" data-n=\"" + std::to_string(bucket_.n[o]) + "\" x=\"" +
              std::to_string(bucket_.column) + "\" y=\"" + Fixed(top) + "\" width=\"1\" height=\"" +
              Fixed(h) + "\" fill=\"" + kOutcomeColour[o] + "\"><title>" + Escape(tip) +
              "</title></rect>\n";
      top += h;
      left -= h;
    }
    bucket_ = {};
  }

  void Marks() {
    // One line per kind and pixel column; its tooltip counts what it stands for.
    struct Column {
      size_t n = 0;
      const LogMark* first = nullptr;
    };
    std::map<std::pair<size_t, int64_t>, Column> columns;
    for (const LogMark& m : summary_.marks) {
      Column& c =
          columns[{static_cast<size_t>(m.kind), static_cast<int64_t>(std::floor(X(m.time_ms)))}];
      if (c.n++ == 0) c.first = &m;
    }
    out_ += "<g class=\"marks\">\n";
    for (const auto& [key, c] : columns) {
      const MarkStyle& style = kMarkStyle[key.first];
      const double x = X(c.first->time_ms);
      std::string tip =
          std::string(style.words) + " at " + Seconds(c.first->time_ms) + ": " + c.first->text;
      if (c.n > 1) tip = std::to_string(c.n) + " times " + style.words + ", first " + tip;
      out_ += "<line class=\"mark " + std::string(style.css) + "\" data-n=\"" +
              std::to_string(c.n) + "\" x1=\"" + Fixed(x) + "\" y1=\"" + Fixed(kTop - 14) +
              "\" x2=\"" + Fixed(x) + "\" y2=\"" + Fixed(bottom_) + "\" stroke=\"" + style.colour +
              "\" stroke-width=\"2\" stroke-opacity=\"0.7\"><title>" + Escape(tip) +
              "</title></line>\n";
    }
    out_ += "</g>\n";
  }

  struct Bucket {
    int64_t column = 0;
    std::array<size_t, 3> n{};  // by outcome
    const LogRequest* first = nullptr;
    const LogRequest* last = nullptr;
    size_t count() const { return n[0] + n[1] + n[2]; }
  };

  const LogSummary& summary_;
  std::map<uint8_t, std::vector<const LogRequest*>> rows_;
  int64_t t0_ = INT64_MAX;
  int64_t t1_ = INT64_MIN;
  double scale_ = 1;
  double bottom_ = 0;
  Bucket bucket_;
  std::string out_;
};

}  // namespace

std::string TimelineSvg(const LogSummary& summary, const std::string& title) {
  return Picture(summary, title).Take();
}

}  // namespace ecub::tools
