// lumivox-server: the audio server on a terminal. See SERVER_USAGE
// (server/options.cpp) or run with --help.
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/version.h"
#include "server/listener.h"
#include "server/log.h"
#include "server/options.h"
#include "server/sound.h"
#include "server/stats.h"
#include "tools/common/keyfile.h"

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

// Checks at start what --output and --input name, so that a path that
// cannot work is an error now rather than a stream that plays to nothing
// or records nothing later. The output is written anew by each stream: it
// must be writable where it is, or creatable in its directory. The input
// must be a sound file libsndfile opens.
bool checkFiles(const ServerOptions &options) {
  if (!options.output.empty() && options.output != OUTPUT_NONE) {
    const std::string &path = options.output;
    bool exists = access(path.c_str(), F_OK) == 0;
    std::string directory =
        path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (directory.empty()) directory = "/";
    if (exists ? access(path.c_str(), W_OK) != 0 : access(directory.c_str(), W_OK | X_OK) != 0) {
      logLine(LOG_ERROR, "--output %s: cannot write %s: %s", path.c_str(),
              exists ? "the file" : "into its directory", std::strerror(errno));
      return false;
    }
  }
  if (!options.input.empty()) {
    SF_INFO info{};
    SNDFILE *file = sf_open(options.input.c_str(), SFM_READ, &info);
    if (!file) {
      logLine(LOG_ERROR, "--input %s: cannot read: %s", options.input.c_str(),
              sf_strerror(nullptr));
      return false;
    }
    sf_close(file);
  }
  return true;
}

// Where playback goes and recordings come from, when not from the sound
// system: for the log line of the start.
const char *playbackElsewhere(const ServerOptions &options) {
  if (options.output == OUTPUT_NONE) return "nothing (--output none)";
  if (!options.output.empty()) return options.output.c_str();
  return "nothing (--fast)";
}

// Whether the sound server has the device --sink or --source names; when
// not, says so with the ones it has. True when nothing is named or the
// list cannot be had (the streams then say what they find).
bool deviceExists(bool sink, const std::string &name) {
  std::vector<std::string> names;
  if (name.empty() || !soundDeviceNames(sink, names, SOUND_CONNECT_MS)) return true;
  if (std::find(names.begin(), names.end(), name) != names.end()) return true;
  std::string list;
  for (const std::string &n : names) list += (list.empty() ? "" : ", ") + n;
  logLine(LOG_ERROR, "--%s %s: the sound server has no such %s; it has: %s",
          sink ? "sink" : "source", name.c_str(), sink ? "sink" : "source",
          list.empty() ? "none" : list.c_str());
  return false;
}

// Connects to the sound system when a stream would use it, and says where
// playback goes and where recordings come from. False when --sink or
// --source names a device the sound server does not have.
bool connectSound(const ServerOptions &options) {
  bool plays = options.output.empty() && !options.fast;
  bool records = options.input.empty() && !options.tone;
  bool connected = false;
  std::string why = "--sound-server none";
  if ((plays || records) && options.soundServer != SOUND_SERVER_NONE) {
    connected = soundConnect(options.soundServer, SOUND_CONNECT_MS, why);
  }
  if (connected && ((plays && !deviceExists(true, options.sink)) ||
                    (records && !deviceExists(false, options.source)))) {
    soundDisconnect();
    return false;
  }
  soundBufferingStart(options.soundLatencyMs * 1000);
  if (connected && plays) soundKeepReady(options.sink);
  if (connected) {
    logLine(LOG_INFO, "sound system: playing to %s, recording from %s",
            !plays                 ? "no sink"
            : options.sink.empty() ? "the default sink"
                                   : options.sink.c_str(),
            !records                 ? "no source"
            : options.source.empty() ? "the default source"
                                     : options.source.c_str());
  } else if (plays || records) {
    logLine(LOG_INFO, "no sound server (%s)", why.c_str());
  }
  if (serverPlaysToSound(options) && !connected) {
    logLine(LOG_INFO,
            "playback streams are refused until a sound server answers (tried again in the "
            "background)");
  } else if (!plays || !connected) {
    logLine(LOG_INFO, "playback goes to %s", plays ? "nothing" : playbackElsewhere(options));
  }
  if (!records || !connected) {
    std::string tone = "a tone of " + std::to_string(options.toneHz) + " Hz";
    logLine(LOG_INFO, "recordings come from %s",
            options.input.empty() ? tone.c_str() : options.input.c_str());
  }
  return true;
}

// How often the connection to the sound system is looked at, so that one
// that went is made again (in the background) and the streams learn of it.
constexpr auto SOUND_WATCH = std::chrono::milliseconds(250);

void watchSound(asio::steady_timer &timer) {
  timer.expires_after(SOUND_WATCH);
  timer.async_wait([&timer](const asio::error_code &e) {
    if (e) return;
    soundConnected();
    soundBufferingQuiet();
    watchSound(timer);
  });
}

// Every few seconds: the log's summaries of held-back lines come soon after
// their minute's end, whether or not more lines come.
void flushLogLater(asio::steady_timer &timer) {
  timer.expires_after(std::chrono::seconds(5));
  timer.async_wait([&timer](const asio::error_code &e) {
    if (e) return;
    logFlush();
    flushLogLater(timer);
  });
}

// SIGHUP, as a log rotation sends it: the statistics file is opened again
// (the log is standard error, which belongs to whoever started the
// server), and nothing else changes.
void awaitHangup(asio::signal_set &hangup, const ServerOptions &options) {
  hangup.async_wait([&hangup, &options](const asio::error_code &e, int) {
    if (e) return;
    if (!statsReopen()) {
      logLine(LOG_ERROR, "--stats %s: cannot open again: %s", options.stats.c_str(),
              std::strerror(errno));
    } else {
      logLine(LOG_INFO, "SIGHUP: %s",
              options.stats.empty() ? "nothing to reopen (no --stats)"
                                    : "the statistics file reopened");
    }
    awaitHangup(hangup, options);
  });
}

// The key of --key-file or the default file, made on first start. With
// --print-key or --new-key it is printed on standard output; exits are
// given through `exitStatus` (-1: go on serving).
bool loadKey(const ServerOptions &options, uint8_t key[KEY_BYTES], int &exitStatus) {
  exitStatus = -1;
  std::string path = options.keyFile.empty() ? keyFileDefault() : options.keyFile;
  if (path.empty()) {
    logLine(LOG_ERROR,
            "no place for the key: neither XDG_CONFIG_HOME nor HOME is set "
            "(give --key-file, or --no-auth on a machine of one user)");
    exitStatus = 1;
    return false;
  }
  std::string error;
  if (options.newKey) {
    if (!keyFileRenew(path, key, error)) {
      logLine(LOG_ERROR, "--new-key: %s", error.c_str());
      exitStatus = 1;
      return false;
    }
    logLine(LOG_INFO, "a new key in %s: pair every driver's user again", path.c_str());
  } else {
    KeyFileResult result = keyFileLoad(path, true, key, error);
    if (result == KeyFileResult::FAILED) {
      logLine(LOG_ERROR, "the key: %s", error.c_str());
      exitStatus = 1;
      return false;
    }
    logLine(LOG_INFO, "drivers prove the key %s %s",
            result == KeyFileResult::CREATED ? "made now in" : "of", path.c_str());
  }
  if (options.printKey || options.newKey) {
    char text[KEY_TEXT_CHARS + 1];
    keyTextFormat(key, text);
    std::printf("%s\n", text);
    exitStatus = std::fflush(stdout) == 0 ? 0 : 1;
  }
  return true;
}

int serve(const ServerOptions &options) {
  logLevel = options.verbose;
  uint8_t key[KEY_BYTES];
  if (!options.noAuth || options.printKey || options.newKey) {
    int exitStatus;
    bool loaded = loadKey(options, key, exitStatus);
    if (!loaded || exitStatus >= 0) return loaded ? exitStatus : 1;
  } else {
    logLine(LOG_INFO, "--no-auth: every driver that reaches the server is served, key or not");
  }
  std::signal(SIGPIPE, SIG_IGN);  // a driver gone mid-write is an error result, not a signal
  raiseDescriptorLimit();
  if (!options.stats.empty() && !statsOpen(options.stats)) {
    logLine(LOG_ERROR, "--stats %s: cannot write: %s", options.stats.c_str(), std::strerror(errno));
    return 1;
  }
  if (!checkFiles(options) || !connectSound(options)) return 1;
  asio::io_context io(1);
  Server server(io, options);
  if (!options.noAuth) server.setKey(key);
  std::string error;
  if (!server.listen(error)) {
    logLine(LOG_ERROR, "cannot listen on %s:%u: %s", options.listen.c_str(),
            unsigned(serverControlPort(options)), error.c_str());
    soundDisconnect();
    return 1;
  }
  asio::signal_set hangup(io, SIGHUP);
  asio::signal_set signals(io, SIGINT, SIGTERM);
  asio::steady_timer flush(io), sound(io);
  signals.async_wait([&server, &hangup, &flush, &sound](const asio::error_code &e, int number) {
    if (e) return;
    logLine(LOG_INFO, "signal %d: stopping", number);
    hangup.cancel();
    flush.cancel();
    sound.cancel();
    server.stop();
  });
  awaitHangup(hangup, options);
  flushLogLater(flush);
  if (serverPlaysToSound(options) || serverRecordsFromSound(options)) watchSound(sound);
  server.start();
  asio::ip::tcp::endpoint at = server.endpoint();
  logLine(LOG_ERROR, "listening on %s:%u", at.address().to_string().c_str(), unsigned(at.port()));
  io.run();
  logFlush(true);
  soundDisconnect();
  statsClose();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  ServerOptions options;
  std::string error;
  ParseOutcome outcome = serverParseOptions(argc, argv, options, error);
  if (outcome == PARSE_OK) return serve(options);
  return toolParseExit("lumivox-server", outcome, SERVER_USAGE, error);
}
