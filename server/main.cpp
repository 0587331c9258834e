// lumivox-server: the audio server on a terminal. See SERVER_USAGE
// (server/options.cpp) or run with --help.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "platform/version.h"
#include "server/listener.h"
#include "server/log.h"
#include "server/options.h"
#include "server/sound.h"
#include "server/stats.h"

namespace {

// Many drivers may connect at once, each connection and stream a
// descriptor: the soft limit is raised to the hard one.
void raiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  logLine(LOG_DEBUG, "descriptor limit raised to %llu", (unsigned long long)limit.rlim_cur);
}

// The sound system answers at once when it runs; a second is plenty.
constexpr uint32_t SOUND_CONNECT_MS = 1000;

// Connects to the sound system when a stream would use it.
void connectSound(const ServerOptions &options) {
  bool plays = options.output.empty() && !options.fast;
  bool records = options.input.empty() && !options.tone;
  if ((!plays && !records) || options.soundServer == SOUND_SERVER_NONE) return;
  std::string why;
  if (soundConnect(options.soundServer, SOUND_CONNECT_MS, why)) {
    logLine(LOG_INFO, "sound system: playing to %s, recording from %s",
            !plays                 ? "no sink (--output)"
            : options.sink.empty() ? "the default sink"
                                   : options.sink.c_str(),
            !records                 ? "no source (--input or --tone)"
            : options.source.empty() ? "the default source"
                                     : options.source.c_str());
  } else {
    logLine(LOG_INFO, "no sound server (%s): playback goes nowhere, recordings are a tone",
            why.c_str());
  }
}

int serve(const ServerOptions &options) {
  logLevel = options.verbose;
  std::signal(SIGPIPE, SIG_IGN);  // a driver gone mid-write is an error result, not a signal
  raiseDescriptorLimit();
  if (!options.stats.empty() && !statsOpen(options.stats)) {
    logLine(LOG_ERROR, "cannot write %s", options.stats.c_str());
    return 1;
  }
  connectSound(options);
  asio::io_context io(1);
  Server server(io, options);
  std::string error;
  if (!server.listen(error)) {
    logLine(LOG_ERROR, "cannot listen on %s:%u: %s", options.listen.c_str(),
            unsigned(serverControlPort(options)), error.c_str());
    soundDisconnect();
    return 1;
  }
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&server](const asio::error_code &e, int number) {
    if (e) return;
    logLine(LOG_INFO, "signal %d: stopping", number);
    server.stop();
  });
  server.start();
  asio::ip::tcp::endpoint at = server.endpoint();
  logLine(LOG_ERROR, "listening on %s:%u", at.address().to_string().c_str(), unsigned(at.port()));
  io.run();
  soundDisconnect();
  statsClose();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  ServerOptions options;
  std::string error;
  switch (serverParseOptions(argc, argv, options, error)) {
    case 0:
      return serve(options);
    case 1:
      std::fputs(SERVER_USAGE, stdout);
      return 0;
    case 3:
      std::fputs("lumivox-server " LUMIVOX_VERSION "\n", stdout);
      return 0;
    default:
      std::fprintf(stderr, "lumivox-server: %s\nTry 'lumivox-server --help'.\n", error.c_str());
      return 2;
  }
}
