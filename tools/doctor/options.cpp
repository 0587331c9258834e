#include "tools/doctor/options.h"

const char DOCTOR_USAGE[] =
    "Usage: lumivox-doctor [--clear] [--no-stream] [--tone] [--json]\n"
    "Answers \"why is there no sound?\" for the calling user's session. It looks\n"
    "at what the driver looks at, with the driver's own code, one step after the\n"
    "other, and prints a verdict line for each (ok, FAILED or skipped):\n"
    "  1. session   the session number from the kernel access device\n"
    "  2. address   the session's display address record, or else the Hookup\n"
    "               address query\n"
    "  3. server    the audio server's address and port (9000 + display) and\n"
    "               whether it is marked unreachable for this logon session\n"
    "  4. setup     a control connection and its setup: the server's devices\n"
    "               and controls, and the time the setup took\n"
    "  5. stream    a short play stream of silence over UDP, its probe round\n"
    "               trip, the wire format it starts with, lost\n"
    "               acknowledgements\n"
    "  6. tone      with --tone: one second of tone through the wave output\n"
    "               device, the driver loaded as an application loads it\n"
    "Then a closing verdict names the first step that failed and what to do,\n"
    "or, when none failed, the steps that were not run: they were not tested.\n"
    "\n"
    "  --clear                remove the mark that makes every process of this\n"
    "                         logon session give the server up at once (the\n"
    "                         driver never removes it itself); what is removed is\n"
    "                         printed first\n"
    "  --no-stream            leave out the short play stream (step 5); the\n"
    "                         verdict then says that the audio path was not\n"
    "                         tested (--stream, the default, runs it)\n"
    "  --tone                 play the test tone (step 6); skipped when an earlier\n"
    "                         step failed, since an open that waits in vain marks\n"
    "                         the server unreachable\n"
    "  --frequency HZ         the tone's frequency, 20 to 20000 (default 440)\n"
    "  --json                 print one JSON object with every step instead\n"
    "  --help                 show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status: 0 when every step that ran passed, 2 for a usage error, 4 when\n"
    "a step failed.\n";

ParseOutcome doctorParseOptions(int argc, char **argv, DoctorOptions &options, std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string name, value;
    bool hasValue = false;
    optionSplit(argv[i], name, value, hasValue);
    if (name == "--help") return PARSE_HELP;
    if (name == "--version") return PARSE_VERSION;
    if (name == "--frequency") {
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (!optionUnsigned(value, DOCTOR_TONE_HZ_MIN, DOCTOR_TONE_HZ_MAX, options.toneHz)) {
        error = "bad --frequency: " + value + " (20 to 20000)";
        return PARSE_ERROR;
      }
      continue;
    }
    if (hasValue) {
      error = name + " takes no value";
      return PARSE_ERROR;
    }
    if (name == "--clear") {
      options.clear = true;
    } else if (name == "--stream") {
      options.stream = true;
    } else if (name == "--no-stream") {
      options.stream = false;
    } else if (name == "--tone") {
      options.tone = true;
    } else if (name == "--json") {
      options.json = true;
    } else if (name.size() > 1 && name[0] == '-') {
      error = "unknown option: " + name;
      return PARSE_ERROR;
    } else {
      error = "unexpected argument: " + name + " (the doctor takes options only)";
      return PARSE_ERROR;
    }
  }
  return PARSE_OK;
}
