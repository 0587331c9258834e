// lumivox-session: stands in for the terminal-server installation on Linux.
// See SESSION_USAGE (tools/session/options.cpp) or run with --help.
#include <cstdio>
#include <string>

#include "platform/version.h"
#include "tools/session/options.h"
#include "tools/session/serve.h"

int main(int argc, char **argv) {
  SessionOptions options;
  std::string error;
  ParseOutcome outcome = sessionParseOptions(argc, argv, options, error);
  if (outcome == PARSE_OK) return sessionServe(options);
  return toolParseExit("lumivox-session", outcome, SESSION_USAGE, error);
}
