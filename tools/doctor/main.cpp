// lumivox-doctor: why is there no sound? Looks at the calling user's
// session the way the driver does, with the driver's own code, step by
// step, and names the first step that fails. See DOCTOR_USAGE
// (tools/doctor/options.cpp).
//
// Each step runs only when the ones it builds on found what it needs;
// the others report themselves skipped. The one step that would change
// something for the session, the tone, runs only when every step before
// it passed: a device open that waits in vain marks the server
// unreachable.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/version.h"
#include "tools/doctor/discover.h"
#include "tools/doctor/options.h"
#include "tools/doctor/report.h"
#include "tools/doctor/setup.h"
#include "tools/doctor/tone.h"

namespace {

const char TOOL[] = "lumivox-doctor";

bool jsonOutput = false;

// Says what --clear removes before it is removed: on standard output with
// the steps, or on standard error where standard output is the JSON.
void announceClear(const char *name, const char *target) {
  std::fprintf(jsonOutput ? stderr : stdout, "%s: removing the mark %s (target %s)\n", TOOL, name,
               target);
  std::fflush(jsonOutput ? stderr : stdout);
}

struct Run {
  std::vector<Step> steps;

  // Keeps the step and, as text, shows it at once: a step may wait.
  void add(Step step) {
    steps.push_back(std::move(step));
    if (!jsonOutput) {
      std::fputs(reportStepText(steps.back(), int(steps.size())).c_str(), stdout);
      std::fflush(stdout);
    }
  }
};

int diagnose(const DoctorOptions &options) {
  jsonOutput = options.json;
  Run run;
  Discovery found;
  run.add(checkSession(found));
  run.add(checkAddress(found));
  run.add(checkServer(found, options.clear, announceClear));
  ServerSteps server;
  if (found.serverFound) {
    server = checkServerSession(found.address, found.port, options.stream);
  } else {
    server.setup.name = "setup";
    server.setup.skip("no server to connect to");
    server.stream.name = "stream";
    server.stream.skip(options.stream ? "no server to connect to" : "left out (--no-stream)");
  }
  run.add(server.setup);
  run.add(server.stream);
  if (!options.tone) {
    Step tone;
    tone.name = "tone";
    tone.skip("not asked for (--tone)");
    run.add(tone);
  } else if (reportFirstFailure(run.steps)) {
    Step tone;
    tone.name = "tone";
    tone.skip("an earlier step failed, and a failing open would mark the server unreachable");
    run.add(tone);
  } else {
    run.add(checkTone(options.toneHz));
  }
  if (options.json) {
    std::fputs(reportJson(run.steps, LUMIVOX_VERSION).c_str(), stdout);
  } else {
    std::fputs(reportClosingText(run.steps).c_str(), stdout);
  }
  return reportFirstFailure(run.steps) ? DOCTOR_EXIT_FAILED : TOOL_EXIT_OK;
}

}  // namespace

int main(int argc, char **argv) {
  DoctorOptions options;
  std::string error;
  ParseOutcome outcome = doctorParseOptions(argc, argv, options, error);
  return outcome == PARSE_OK ? diagnose(options)
                             : toolParseExit(TOOL, outcome, DOCTOR_USAGE, error);
}
