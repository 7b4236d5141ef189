#include "common/log_summary.h"

#include <algorithm>

namespace ecub::tools {

namespace {

using Kind = LogEvent::Kind;

// Lines that only add detail to the failure line before them.
bool IsDetailLine(const LogEvent& e) {
  return e.label == "lpErrors" || e.label == "GetLastError" || e.label == "LastDllError" ||
         e.label == "FtStatus";
}

class Summarizer {
 public:
  LogSummary Run(const std::vector<LogEvent>& events) {
    for (const LogEvent& e : events) Take(e);
    CloseAttempt();
    for (LogRequest& r : out_.requests) Settle(r);
    return std::move(out_);
  }

 private:
  void Take(const LogEvent& e) {
    if (e.kind == Kind::kStart) {
      CloseAttempt();
      current_ = nullptr;
      if (!out_.sessions.empty()) offset_ = out_.sessions.back().last_ms + 1;
      out_.sessions.emplace_back();
      now_ = offset_;
      out_.sessions.back().first_ms = now_;
      out_.sessions.back().last_ms = now_;
      Mark(LogMark::Kind::kStart, "log started " + e.text);
      return;
    }
    if (out_.sessions.empty()) out_.sessions.emplace_back();  // a log cut at its head
    if (e.time_ms) {
      // Times are written by one clock that only goes forward; a line out of order is taken
      // to be as late as the one before it.
      // Clamped to about thirty years, so sums of times cannot overflow.
      constexpr int64_t kLongest = 1'000'000'000'000;
      now_ = std::max(now_, offset_ + std::clamp<int64_t>(*e.time_ms, 0, kLongest));
      out_.sessions.back().last_ms = std::max(out_.sessions.back().last_ms, now_);
      if (attempt_ && !attempt_->answer && !ended_) {
        attempt_->end_ms = now_;
        ended_ = true;
      }
    }
    const bool sends =
        e.frame && (e.kind == Kind::kSent || e.label == "ERR_DISAL" || e.label == "ERR_H");
    if (sends) {
      Send(e);
    } else if (e.kind == Kind::kReceived) {
      ++out_.answers;
      if (attempt_) {
        attempt_->answer = e.frame.value_or("");
        attempt_->answered_ms = attempt_->end_ms = now_;
        if (!refused_) {
          attempt_->accepted = true;
          attempt_->failure.clear();
        }
      }
    } else if (e.label == "COMUNICATION ERROR:") {
      if (attempt_) Refuse(e.note.empty() ? e.text : e.note);
    } else if (e.label == "APERTURA") {
      CloseAttempt();
      current_ = nullptr;  // a new port: what follows is no retry
      ++out_.sessions.back().connects;
      Mark(LogMark::Kind::kOpen, e.text);
    } else if (e.kind == Kind::kError && !IsDetailLine(e)) {
      ++out_.sessions.back().port_errors;
      Mark(LogMark::Kind::kPortError, e.label + " " + e.text);
      // A port failure ends the attempt it happens in, even after an answer (a failed read
      // logs what it got).
      if (attempt_) Refuse("port failure: " + e.label);
    }
  }

  void Send(const LogEvent& e) {
    ++out_.sends;
    CloseAttempt();
    const std::string& frame = *e.frame;
    // The same frame again after an attempt that was not accepted is the next attempt.
    if (current_ == nullptr || current_->frame != frame || current_->attempts.back().accepted) {
      LogRequest r;
      r.frame = frame;
      r.command = e.command.value_or(0);
      r.session = out_.sessions.size() - 1;
      out_.requests.push_back(std::move(r));
      ++out_.sessions.back().requests;
    }
    current_ = &out_.requests.back();
    current_->attempts.emplace_back();
    attempt_ = &current_->attempts.back();
    attempt_->sent_ms = attempt_->end_ms = now_;
    attempt_->whole = e.kind == Kind::kSent;
    attempt_->failure = attempt_->whole ? "no answer" : "sending stopped: " + e.note;
    refused_ = !attempt_->whole;
    ended_ = false;
  }

  void Refuse(const std::string& why) {
    if (refused_) return;
    attempt_->accepted = false;
    attempt_->failure = why;
    refused_ = true;
  }

  void CloseAttempt() { attempt_ = nullptr; }

  void Settle(LogRequest& r) {
    LogAttempt& last = r.attempts.back();
    if (!last.accepted) {
      r.outcome = LogRequest::Outcome::kFailed;
      // Nothing is written when the last attempt runs out; the next line may come minutes
      // later. The attempts before it show how long one lasts.
      const size_t n = r.attempts.size();
      if (n >= 2) {
        const int64_t spacing = r.attempts[n - 1].sent_ms - r.attempts[n - 2].sent_ms;
        last.end_ms = std::min(last.end_ms, last.sent_ms + spacing);
      }
    } else {
      r.outcome =
          r.attempts.size() == 1 ? LogRequest::Outcome::kAnswered : LogRequest::Outcome::kRetried;
    }
  }

  void Mark(LogMark::Kind kind, const std::string& text) {
    out_.marks.push_back({kind, now_, text, out_.sessions.size() - 1});
  }

  LogSummary out_;
  // Pointers into out_.requests are kept only until the next push_back, which is always
  // followed by taking them afresh.
  LogRequest* current_ = nullptr;
  LogAttempt* attempt_ = nullptr;
  bool refused_ = false;
  bool ended_ = false;
  int64_t offset_ = 0;
  int64_t now_ = 0;
};

}  // namespace

LogSummary SummarizeLog(const std::vector<LogEvent>& events) {
  LogSummary s = Summarizer().Run(events);
  // A failed request ends with the link given up: the server closes the port.
  std::vector<LogMark> given_up;
  for (const LogRequest& r : s.requests) {
    if (r.outcome == LogRequest::Outcome::kFailed) {
      given_up.push_back(
          {LogMark::Kind::kGivenUp, r.end_ms(),
           "link given up after " + std::to_string(r.attempts.size()) + " attempt(s)", r.session});
    }
  }
  std::vector<LogMark> all;
  all.reserve(s.marks.size() + given_up.size());
  std::merge(s.marks.begin(), s.marks.end(), given_up.begin(), given_up.end(),
             std::back_inserter(all),
             [](const LogMark& a, const LogMark& b) { return a.time_ms < b.time_ms; });
  s.marks = std::move(all);
  return s;
}

const char* OutcomeName(LogRequest::Outcome outcome) {
  switch (outcome) {
    case LogRequest::Outcome::kAnswered:
      return "answered";
    case LogRequest::Outcome::kRetried:
      return "retried";
    case LogRequest::Outcome::kFailed:
      break;
  }
  return "failed";
}

}  // namespace ecub::tools
