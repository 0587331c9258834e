// What the doctor found: one record per step with its verdict, its facts
// and, for a failure, what to do about it; printed as text or as one JSON
// object, with the closing verdict naming the first step that failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Verdict { OK, FAILED, SKIPPED };

// One fact of a step: a name and its value, printed as "name: value" and
// as a JSON member (a number when number is set, else a string).
struct Detail {
  std::string name;
  std::string value;
  bool number = false;
};

struct Step {
  std::string name;  // "session", "address", ...
  Verdict verdict = Verdict::SKIPPED;
  std::string summary;          // the rest of the verdict line
  std::vector<Detail> details;  // in the order found
  std::string advice;           // what to do, for a failure

  void add(const std::string &key, const std::string &value) { details.push_back({key, value}); }
  void addNumber(const std::string &key, int64_t value) {
    details.push_back({key, std::to_string(value), true});
  }
  void ok(const std::string &text) { verdict = Verdict::OK, summary = text; }
  void fail(const std::string &text, const std::string &todo) {
    verdict = Verdict::FAILED, summary = text, advice = todo;
  }
  void skip(const std::string &text) { verdict = Verdict::SKIPPED, summary = text; }
};

// The first failed step, or null.
const Step *reportFirstFailure(const std::vector<Step> &steps);
// The text form of step number n: its verdict line, its facts indented
// below.
std::string reportStepText(const Step &step, int n);
// The closing verdict: every step passed, or the first failure and what
// to do about it.
std::string reportClosingText(const std::vector<Step> &steps);
// The JSON form: {"program", "version", "ok", "first_failure", "advice",
// "steps": [{"step", "verdict", "summary", "details": {...}, "advice"}]}.
std::string reportJson(const std::vector<Step> &steps, const char *version);

// "a.b.c.d" of a host-order IPv4 address (first octet most significant).
std::string dottedAddress(uint32_t address);
// "0x" and eight hexadecimal digits.
std::string hex32(uint32_t value);
