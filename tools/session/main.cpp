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
  switch (sessionParseOptions(argc, argv, options, error)) {
    case 0: return sessionServe(options);
    case 1: std::fputs(SESSION_USAGE, stdout); return 0;
    case 3: std::fputs("lumivox-session " LUMIVOX_VERSION "\n", stdout); return 0;
    default:
      std::fprintf(stderr, "lumivox-session: %s\nTry 'lumivox-session --help'.\n", error.c_str());
      return 2;
  }
}
