#include "tools/doctor/report.h"

#include <cstdio>

namespace {

const char *verdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::OK:
      return "ok";
    case Verdict::FAILED:
      return "FAILED";
    default:
      return "skipped";
  }
}

// A JSON string: quotes, backslashes and control characters escaped; the
// text is ASCII or UTF-8 and passes through otherwise.
std::string jsonString(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace

const Step *reportFirstFailure(const std::vector<Step> &steps) {
  for (const Step &step : steps) {
    if (step.verdict == Verdict::FAILED) return &step;
  }
  return nullptr;
}

std::string reportStepText(const Step &step, int n) {
  std::string out = std::to_string(n) + ". " + step.name + ": " + verdictWord(step.verdict);
  if (!step.summary.empty()) out += ": " + step.summary;
  out += "\n";
  for (const Detail &d : step.details) out += "     " + d.name + ": " + d.value + "\n";
  return out;
}

// The steps that did not run, as "stream (left out (--no-stream)), ...";
// empty when every step ran.
static std::string notTested(const std::vector<Step> &steps) {
  std::string out;
  for (const Step &step : steps) {
    if (step.verdict != Verdict::SKIPPED) continue;
    out += (out.empty() ? "" : ", ") + step.name + " (" + step.summary + ")";
  }
  return out;
}

std::string reportClosingText(const std::vector<Step> &steps) {
  const Step *failed = reportFirstFailure(steps);
  if (!failed) {
    std::string skipped = notTested(steps);
    if (skipped.empty()) return "verdict: ok: every step passed\n";
    return "verdict: ok: every step that ran passed; not tested: " + skipped + "\n";
  }
  return "verdict: FAILED at " + failed->name + ": " + failed->summary +
         "\nwhat to do: " + failed->advice + "\n";
}

std::string reportJson(const std::vector<Step> &steps, const char *version) {
  const Step *failed = reportFirstFailure(steps);
  std::string out = "{\"program\":\"lumivox-doctor\",\"version\":" + jsonString(version);
  out += ",\"ok\":" + std::string(failed ? "false" : "true");
  out += ",\"first_failure\":" + (failed ? jsonString(failed->name) : std::string("null"));
  out += ",\"advice\":" + (failed ? jsonString(failed->advice) : std::string("null"));
  out += ",\"not_tested\":[";
  bool first = true;
  for (const Step &step : steps) {
    if (step.verdict != Verdict::SKIPPED) continue;
    out += (first ? "" : ",") + jsonString(step.name);
    first = false;
  }
  out += "]";
  out += ",\"steps\":[";
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step &step = steps[i];
    if (i) out += ",";
    out += "{\"step\":" + jsonString(step.name);
    out += ",\"verdict\":" + jsonString(verdictWord(step.verdict));
    out += ",\"summary\":" + jsonString(step.summary) + ",\"details\":{";
    for (size_t j = 0; j < step.details.size(); ++j) {
      const Detail &d = step.details[j];
      if (j) out += ",";
      out += jsonString(d.name) + ":" + (d.number ? d.value : jsonString(d.value));
    }
    out += "}";
    if (!step.advice.empty()) out += ",\"advice\":" + jsonString(step.advice);
    out += "}";
  }
  return out + "]}\n";
}

std::string dottedAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned(address >> 24),
                unsigned(address >> 16 & 0xFF), unsigned(address >> 8 & 0xFF),
                unsigned(address & 0xFF));
  return text;
}

std::string hex32(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%08x", unsigned(value));
  return text;
}
