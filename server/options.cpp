// Option parsing for lumivox-server. Options with a value take it as the
// next argument or after '='.
#include "server/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

const char SERVER_USAGE[] =
    "Usage: lumivox-server [OPTION]...\n"
    "The audio server of a terminal: serves the control connections of Lumivox\n"
    "drivers on TCP port 9000 plus the display number, until SIGINT or SIGTERM.\n"
    "It lists one playback device (id 1) with its volume control (id 3) and one\n"
    "recording device (id 2) with its volume control (id 4); control values are\n"
    "kept for the life of the server and start at 0xffffffff. Each stream it\n"
    "grants gets its own UDP socket on the listen address. Once listening it\n"
    "prints \"lumivox-server: listening on ADDRESS:PORT\" on standard error,\n"
    "where it also logs what it does.\n"
    "\n"
    "  --display N            the display number; the control port is 9000 + N\n"
    "                         (default 0)\n"
    "  --listen ADDR          the IPv4 address to listen on (default 127.0.0.1;\n"
    "                         0.0.0.0 for every interface)\n"
    "  --port N               the TCP port instead of 9000 + display; 0 takes any\n"
    "                         free port, shown in the ready line\n"
    "  --verbose LEVEL        0: errors only; 1 (default): connections, setups,\n"
    "                         streams and bad input; 2: every message as well\n"
    "  --max-clients N        connections served at once (default 1024); a\n"
    "                         connection beyond them is closed at once\n"
    "\n"
    "Who is served: a driver proves that its user holds the server's key\n"
    "before it gets any stream, control change or query:\n"
    "  --key-file FILE        the key: 64 hex digits in a file only this user may\n"
    "                         read (default $XDG_CONFIG_HOME/lumivox/server.key,\n"
    "                         else ~/.config/lumivox/server.key), made with mode\n"
    "                         0600 on first start when missing\n"
    "  --print-key            print the key (making it when missing) for pairing a\n"
    "                         driver's user, and exit\n"
    "  --new-key              replace the key with a new one, print it and exit;\n"
    "                         every user must be paired again\n"
    "  --no-auth              serve any driver that reaches the server, key or not:\n"
    "                         only for a machine with one user, and for tests\n"
    "\n"
    "Serving a network (with --listen 0.0.0.0, say):\n"
    "  --allow NET            take connections only from NET, an IPv4 address or\n"
    "                         ADDR/BITS (192.168.1.0/24); repeatable; others are\n"
    "                         closed at once (default: every address)\n"
    "  --max-connections-per-client N\n"
    "                         connections of one client address at once, 1 to\n"
    "                         65536 (default 64); one beyond them is closed at once\n"
    "  --max-streams-per-client N\n"
    "                         streams of one client address over all its\n"
    "                         connections, 1 to 65536 (default 64); one beyond them\n"
    "                         is refused. A playback stream holds at most 1 MiB of\n"
    "                         audio and a recording 256 KiB, so one client holds\n"
    "                         at most N MiB of streams besides 64 KiB of unsent\n"
    "                         answers per connection\n"
    "  --max-streams N        streams of every client together, 1 to 65536\n"
    "                         (default 256); one beyond them is refused\n"
    "  --max-memory MIB       memory the server holds with its streams, 16 to\n"
    "                         1048576 MiB (default 256): what it held at start and\n"
    "                         each stream's rings and state; a stream beyond it is\n"
    "                         refused\n"
    "  --setup-timeout S      close a connection that has not sent its setup\n"
    "                         request S seconds after connecting, or that takes\n"
    "                         longer than S to complete any message, 0 to 86400\n"
    "                         (default 10; 0: never)\n"
    "  --idle-timeout S       close a connection without streams that has sent\n"
    "                         nothing for S seconds, or one that has sent part\n"
    "                         of a message and nothing since for S seconds, 0 to\n"
    "                         86400 (default 300; 0: never); one with a stream\n"
    "                         open and no message begun is never idle\n"
    "\n"
    "Recordings go to the control connection's peer, at the UDP port its\n"
    "request names, and a stream takes datagrams only from that address: the\n"
    "address inside the request is not used.\n"
    "\n"
    "Open-stream replies:\n"
    "  --stream-status N      the status byte, 0 to 255 (default 1, accepted); any\n"
    "                         other value refuses every stream\n"
    "  --udp-port N           the first UDP port tried for a stream, counting up\n"
    "                         while ports are taken (default 0: any free port)\n"
    "  --udp-ports FIRST-LAST\n"
    "                         stream sockets only on ports FIRST to LAST (1 to\n"
    "                         65535), for a firewall, taken in random order so\n"
    "                         that one stream's port does not tell the next; a\n"
    "                         stream for which none is free is refused\n"
    "  --adaptive 0|1         the server's adaptive flag (default 1: the driver\n"
    "                         picks its first format by the measured round trip)\n"
    "  --rate HZ              the rate: for playback the highest wire rate taken,\n"
    "                         for recording the timebase rate (default 48000)\n"
    "  --min-lead FRAMES      the minimum lead (default 20 ms at the stream's\n"
    "                         application rate, at least 256: two steps of the\n"
    "                         playout clock)\n"
    "  --max-lead FRAMES      the maximum lead (default 65536)\n"
    "\n"
    "A relay in the datagrams' way (lumivox-relay):\n"
    "  --advertise-udp-port N\n"
    "                         name UDP port N in open-stream replies instead of\n"
    "                         the stream's own (0 names port 0, where nothing\n"
    "                         is reached), so that the driver sends its\n"
    "                         playback datagrams to whatever listens there, e.g.\n"
    "                         lumivox-relay --listen N --to P with --udp-port P;\n"
    "                         acknowledgements go back to where datagrams came\n"
    "                         from, through the relay again\n"
    "  --send-via [ADDR:]PORT\n"
    "                         send recording packets to a relay in routed mode\n"
    "                         (lumivox-relay --routed --listen PORT; ADDR defaults\n"
    "                         to 127.0.0.1) instead of to the driver, each behind\n"
    "                         a 6-byte route header: the driver's IPv4 address and\n"
    "                         UDP port, network byte order; the driver's\n"
    "                         acknowledgements come back through the relay\n"
    "  --learn-udp-port       take a stream's port from its first valid datagram\n"
    "                         from the driver's address instead of the port its\n"
    "                         open request names: for a NAT that changes ports on\n"
    "                         the way. Without it (and without the two options\n"
    "                         above, which imply it) a stream takes datagrams only\n"
    "                         from the port the driver named; with it, another\n"
    "                         user of the driver's host could send first and take\n"
    "                         the stream\n"
    "\n"
    "Misbehaviour, for tests of drivers:\n"
    "  --refuse-setup         answer every setup with setup refused, then close\n"
    "  --no-output-device     list no playback device nor its control\n"
    "  --no-input-device      list no recording device nor its control\n"
    "  --delay-setup MS       send the setup answer MS milliseconds late\n"
    "  --delay-replies MS     send stream and query replies MS milliseconds late\n"
    "  --withhold-setup       never answer the setup\n"
    "  --withhold-replies     never send stream or query replies\n"
    "  --close-after N        close a connection once it has handled N messages\n"
    "                         (the setup request counts; 0 closes on accepting),\n"
    "                         after sending the answers those messages earned\n"
    "  --stop-reading-after N\n"
    "                         stop reading a connection once it has handled N\n"
    "                         messages, and keep it open: the driver's requests\n"
    "                         back up (its receive buffer is made small)\n"
    "  --silent-streams       grant streams, then send nothing on them: playback\n"
    "                         is never acknowledged, recordings never come\n"
    "  --crawl                answer every playback datagram, but move the played\n"
    "                         position by one frame per datagram and not with time\n"
    "  --first-position N     start the positions of recordings at N frames\n"
    "                         instead of 0 (just below 2147483648 or 4294967296\n"
    "                         tries the wraps of the 32-bit positions)\n"
    "\n"
    "The sound system (a PulseAudio server, or PipeWire's PulseAudio server,\n"
    "through libpulse): when one answers at start, each playback stream is a\n"
    "stream of its own there, mixed with the others by the sound server, its\n"
    "played position (the device's clock) is what the server reports as\n"
    "played, and the output volume control sets its volume; recordings come\n"
    "from its source, at the input volume control's level. Without one,\n"
    "playback goes nowhere and recordings are a tone.\n"
    "  --sound-server NAME    the sound server to use (default: libpulse's own\n"
    "                         choice: PULSE_SERVER, then the user's runtime\n"
    "                         directory); never started by us; none: do not\n"
    "                         use a sound system. While none answers, playback\n"
    "                         streams are refused (with the reason in the log)\n"
    "                         and the connection is tried again in the\n"
    "                         background; streams that lose it play on to\n"
    "                         nothing, counted in their closing line\n"
    "  --sink NAME            play to this sink (default: the default sink); one\n"
    "                         the sound server does not have is an error at\n"
    "                         start, which lists the sinks it has\n"
    "  --source NAME          record from this source (default: the default\n"
    "                         source); checked at start as --sink is\n"
    "  --sound-latency MS     the buffering asked of the sound server at first, 2\n"
    "                         to 1000 (default 10); raised by half after an\n"
    "                         underrun for lack of time (up to 40 ms), lowered\n"
    "                         by a quarter after 60 s without; the automatic\n"
    "                         minimum lead of new streams covers it\n"
    "\n"
    "Datagrams:\n"
    "  --output FILE          write playback to FILE, a 16-bit WAV file, written\n"
    "                         anew by each playback stream (one at a time; others\n"
    "                         play to nothing) instead of to the sound system;\n"
    "                         --output none plays to nothing\n"
    "  --output-rate HZ       the output's rate, 1000 to 192000 (default: the\n"
    "                         stream's application rate); wire formats are\n"
    "                         decoded and converted to it\n"
    "  --output-channels N    1 or 2 (default 2)\n"
    "  --fast                 consume playback as soon as it arrives instead of in\n"
    "                         real time at the stream's rate, and send recordings\n"
    "                         as fast as the credit allows (for benchmarks; not\n"
    "                         with the sound system)\n"
    "  --input FILE           record from FILE (WAV or any format libsndfile reads,\n"
    "                         the first two channels) instead of the sound\n"
    "                         system; each recording stream reads it from the\n"
    "                         start and stops at its end\n"
    "  --tone HZ              without --input, record a sine of HZ (default 440) at\n"
    "                         half of full scale, mono, instead of the sound\n"
    "                         system\n"
    "  --record-format ROW    the wire format of recordings, a row of the format\n"
    "                         table 0 to 17 (default 17, 48000 Hz stereo 16-bit;\n"
    "                         0 GSM, 1 companded 8000 Hz, 12 linear 44100 Hz mono)\n"
    "  --stats FILE           write per-stream statistics to FILE as JSON lines:\n"
    "                         \"format\" at each playback format change, \"rtt\" for\n"
    "                         each recording round trip, \"end\" with the counts\n"
    "                         (packets, lost, late, reordered, malformed;\n"
    "                         foreign: datagrams not from the driver's end,\n"
    "                         ignored; clamped: packets that claimed more than\n"
    "                         they carry or the stream holds; beyond: packets\n"
    "                         starting past what it holds, dropped) at close;\n"
    "                         each line\n"
    "                         starts with \"time\", ms since the start\n"
    "\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "SIGINT and SIGTERM stop the server, which writes the statistics' end\n"
    "lines first; SIGHUP opens the --stats file again (for a log rotation)\n"
    "and changes nothing else.\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM, --help or --version, 1 when it\n"
    "cannot listen or a file it is given cannot work, 2 for a usage error.\n"
    "\n"
    "Examples:\n"
    "  $ lumivox-server --listen 0.0.0.0 --display 3\n"
    "  $ lumivox-server --sink alsa_output.pci-0000_00_1b.0.analog-stereo\n"
    "  $ lumivox-server --output played.wav --output-rate 48000\n"
    "  $ lumivox-server --input speech.wav --record-format 12\n";

namespace {

bool parseUnsigned(const std::string &text, uint64_t limit, uint64_t &value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno || *end || v > limit) return false;
  value = v;
  return true;
}

template <typename T>
bool parseInto(const std::string &text, uint64_t limit, T &field) {
  uint64_t value;
  if (!parseUnsigned(text, limit, value)) return false;
  field = T(value);
  return true;
}

bool parseAddress(const std::string &text, std::string &address) {
  in_addr parsed;
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = text;
  return true;
}

// "[ADDR:]PORT" of the routed relay; the port is not 0.
bool parseVia(const std::string &text, ServerOptions &o) {
  std::string address = "127.0.0.1", port = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (!parseAddress(address, o.sendViaAddress)) return false;
  return parseInto(port, 65535, o.sendViaPort) && o.sendViaPort;
}

// "FIRST-LAST" of --udp-ports: both in 1 to 65535, FIRST not above LAST.
bool parsePortRange(const std::string &text, ServerOptions &o) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  uint16_t first = 0, last = 0;
  if (!parseInto(text.substr(0, dash), 65535, first) ||
      !parseInto(text.substr(dash + 1), 65535, last) || first == 0 || first > last) {
    return false;
  }
  o.udpPort = first;
  o.udpPortLast = last;
  o.udpPortsRandom = true;
  return true;
}

// "ADDR" or "ADDR/BITS" of --allow, added to the list; the address may
// have no bits set beyond the prefix, so that a mistyped prefix is caught.
bool parseAllow(const std::string &text, ServerOptions &o) {
  size_t slash = text.find('/');
  uint32_t bits = 32;
  if (slash != std::string::npos && !parseInto(text.substr(slash + 1), 32, bits)) return false;
  in_addr parsed;
  if (inet_pton(AF_INET, text.substr(0, slash).c_str(), &parsed) != 1) return false;
  uint32_t network = ntohl(parsed.s_addr);
  uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
  if (network & ~mask) return false;
  o.allow.push_back({network, mask});
  return true;
}

// Applies one option with its value; false when the value is bad.
bool applyOption(const std::string &name, const std::string &value, ServerOptions &o) {
  if (name == "--display") return parseInto(value, 65535 - SERVER_PORT_BASE, o.display);
  if (name == "--listen") return parseAddress(value, o.listen);
  if (name == "--port") return parseInto(value, 65535, o.port);
  if (name == "--verbose") return parseInto(value, 2, o.verbose);
  if (name == "--max-clients") return parseInto(value, 1000000, o.maxClients) && o.maxClients;
  if (name == "--allow") return parseAllow(value, o);
  if (name == "--max-connections-per-client") {
    return parseInto(value, 65536, o.maxConnectionsPerClient) && o.maxConnectionsPerClient;
  }
  if (name == "--max-streams-per-client") {
    return parseInto(value, 65536, o.maxStreamsPerClient) && o.maxStreamsPerClient;
  }
  if (name == "--max-streams") return parseInto(value, 65536, o.maxStreams) && o.maxStreams;
  if (name == "--max-memory") {
    return parseInto(value, 1048576, o.maxMemoryMiB) && o.maxMemoryMiB >= 16;
  }
  if (name == "--setup-timeout") return parseInto(value, 86400, o.setupTimeoutS);
  if (name == "--idle-timeout") return parseInto(value, 86400, o.idleTimeoutS);
  if (name == "--stream-status") return parseInto(value, 255, o.streamStatus);
  if (name == "--udp-port") {
    o.udpPortLast = 65535;
    o.udpPortsRandom = false;
    return parseInto(value, 65535, o.udpPort);
  }
  if (name == "--udp-ports") return parsePortRange(value, o);
  if (name == "--adaptive") return parseInto(value, 1, o.adaptive);
  if (name == "--rate") return parseInto(value, UINT32_MAX, o.rate);
  if (name == "--min-lead") return parseInto(value, UINT32_MAX, o.minLead);
  if (name == "--max-lead") return parseInto(value, UINT32_MAX, o.maxLead);
  if (name == "--delay-setup") return parseInto(value, 3600000, o.setupDelayMs);
  if (name == "--delay-replies") return parseInto(value, 3600000, o.replyDelayMs);
  if (name == "--close-after") return parseInto(value, UINT32_MAX, o.closeAfter);
  if (name == "--stop-reading-after") return parseInto(value, UINT32_MAX, o.stopReadingAfter);
  if (name == "--first-position") return parseInto(value, UINT32_MAX, o.firstPosition);
  if (name == "--output") return !(o.output = value).empty();
  if (name == "--output-rate") {
    return parseInto(value, 192000, o.outputRate) && o.outputRate >= 1000;
  }
  if (name == "--output-channels") {
    return parseInto(value, 2, o.outputChannels) && o.outputChannels >= 1;
  }
  if (name == "--input") return !(o.input = value).empty();
  if (name == "--tone") return (o.tone = true) && parseInto(value, 24000, o.toneHz);
  if (name == "--sound-server") return !(o.soundServer = value).empty();
  if (name == "--sink") return !(o.sink = value).empty();
  if (name == "--source") return !(o.source = value).empty();
  if (name == "--sound-latency") {
    return parseInto(value, 1000, o.soundLatencyMs) && o.soundLatencyMs >= 2;
  }
  if (name == "--record-format") return parseInto(value, 17, o.recordFormat);
  if (name == "--stats") return !(o.stats = value).empty();
  if (name == "--key-file") return !(o.keyFile = value).empty();
  if (name == "--advertise-udp-port") return parseInto(value, 65535, o.advertiseUdpPort);
  if (name == "--send-via") return parseVia(value, o);
  return false;
}

// What a good value looks like, for the error message; empty for the
// options whose value speaks for itself.
std::string valueHint(const std::string &name) {
  if (name == "--allow")
    return " (an IPv4 address, or ADDR/BITS with BITS 0 to 32 and no host bits)";
  if (name == "--max-connections-per-client" || name == "--max-streams-per-client" ||
      name == "--max-streams") {
    return " (1 to 65536)";
  }
  if (name == "--max-memory") return " (MiB, 16 to 1048576)";
  if (name == "--setup-timeout" || name == "--idle-timeout") return " (seconds, 0 to 86400)";
  if (name == "--udp-ports") return " (FIRST-LAST, 1 to 65535, FIRST not above LAST)";
  return "";
}

bool takesValue(const std::string &name) {
  static const char *const names[] = {"--display",
                                      "--listen",
                                      "--port",
                                      "--verbose",
                                      "--max-clients",
                                      "--allow",
                                      "--max-connections-per-client",
                                      "--max-streams-per-client",
                                      "--max-streams",
                                      "--max-memory",
                                      "--setup-timeout",
                                      "--idle-timeout",
                                      "--udp-ports",
                                      "--stream-status",
                                      "--udp-port",
                                      "--adaptive",
                                      "--rate",
                                      "--min-lead",
                                      "--max-lead",
                                      "--delay-setup",
                                      "--delay-replies",
                                      "--close-after",
                                      "--stop-reading-after",
                                      "--first-position",
                                      "--output",
                                      "--output-rate",
                                      "--output-channels",
                                      "--input",
                                      "--tone",
                                      "--sound-server",
                                      "--sink",
                                      "--source",
                                      "--sound-latency",
                                      "--record-format",
                                      "--stats",
                                      "--key-file",
                                      "--advertise-udp-port",
                                      "--send-via"};
  for (const char *n : names) {
    if (name == n) return true;
  }
  return false;
}

// The options without a value; false when the name is none of them.
bool applyFlag(const std::string &name, ServerOptions &o) {
  if (name == "--refuse-setup") return o.refuseSetup = true;
  if (name == "--no-output-device") return !(o.outputDevice = false);
  if (name == "--no-input-device") return !(o.inputDevice = false);
  if (name == "--withhold-setup") return o.withholdSetup = true;
  if (name == "--withhold-replies") return o.withholdReplies = true;
  if (name == "--fast") return o.fast = true;
  if (name == "--silent-streams") return o.silentStreams = true;
  if (name == "--crawl") return o.crawl = true;
  if (name == "--learn-udp-port") return o.learnUdpPort = true;
  if (name == "--no-auth") return o.noAuth = true;
  if (name == "--print-key") return o.printKey = true;
  if (name == "--new-key") return o.newKey = true;
  return false;
}

}  // namespace

ParseOutcome serverParseOptions(int argc, char **argv, ServerOptions &options, std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return PARSE_HELP;
    if (arg == "--version") return PARSE_VERSION;
    if (applyFlag(arg, options)) continue;
    std::string name, value;
    bool hasValue = false;
    optionSplit(arg, name, value, hasValue);
    if (!takesValue(name)) {
      error = "unknown option: " + arg;
      return PARSE_ERROR;
    }
    if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
    if (!applyOption(name, value, options)) {
      error = "bad value for " + name + ": " + value + valueHint(name);
      return PARSE_ERROR;
    }
  }
  return PARSE_OK;
}

bool serverAllows(const ServerOptions &options, uint32_t address) {
  if (options.allow.empty()) return true;
  for (const AllowedNetwork &n : options.allow) {
    if ((address & n.mask) == n.network) return true;
  }
  return false;
}

bool serverPlaysToSound(const ServerOptions &options) {
  return options.output.empty() && !options.fast && options.soundServer != SOUND_SERVER_NONE;
}

bool serverRecordsFromSound(const ServerOptions &options) {
  return options.input.empty() && !options.tone && options.soundServer != SOUND_SERVER_NONE;
}

uint16_t serverControlPort(const ServerOptions &options) {
  if (options.port >= 0) return uint16_t(options.port);
  return uint16_t(SERVER_PORT_BASE + options.display);
}

uint32_t serverMinLead(const ServerOptions &options, uint32_t applicationRate,
                       uint32_t soundBufferingMs) {
  if (options.minLead) return options.minLead;
  constexpr uint32_t LEAD_FLOOR = 256;  // frames
  // Two steps of the playout clock, or the sound system's buffering (as
  // configured, or as raised since) and a step more.
  uint32_t buffering = std::max(options.soundLatencyMs, soundBufferingMs);
  uint32_t leadMs = std::max<uint32_t>(20, buffering + 10);
  uint32_t lead = uint32_t(uint64_t(applicationRate) * leadMs / 1000);
  return lead > LEAD_FLOOR ? lead : LEAD_FLOOR;
}
