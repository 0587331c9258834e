// What lumivox-play and lumivox-record write with --stats FILE: how many
// headers went to the device and came back, the frames the application
// handed over or asked for against those the device accounted for, and the
// number and longest duration of each kind of call. One JSON object on one
// line, written when the tool ends, so that a script can tell how a run
// went without reading the progress lines.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/mmapi.h"

class ToolStats {
 public:
  // Runs call (returning an MMRESULT) and counts it under name with the
  // time it took.
  template <class Call>
  MMRESULT time(const char *name, Call call) {
    uint64_t start = nowUs();
    MMRESULT result = call();
    note(name, nowUs() - start);
    return result;
  }
  // A count for the file, as "name": value; set again, it is replaced.
  void set(const char *name, uint64_t value);
  // Writes {"tool":..., "status":..., the counts..., "calls":{NAME:
  // {"count":N,"longestMs":MS},...}} and a newline to path. False when the
  // file cannot be written.
  bool write(const std::string &path, const char *tool, int status) const;

 private:
  struct Call {
    std::string name;
    uint64_t count = 0;
    uint64_t longestUs = 0;
  };
  static uint64_t nowUs();
  void note(const char *name, uint64_t us);

  std::vector<std::pair<std::string, uint64_t>> counts_;
  std::vector<Call> calls_;  // in the order first made
};
