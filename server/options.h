// The command line of lumivox-server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/options.h"

constexpr uint32_t SERVER_PORT_BASE = 9000;   // the control port is this plus the display number
constexpr const char OUTPUT_NONE[] = "none";  // --output none: playback goes nowhere
constexpr const char SOUND_SERVER_NONE[] = "none";  // --sound-server none: no sound system

// An IPv4 network in host order, as --allow names it: a peer belongs when
// its address masked by `mask` is `network`.
struct AllowedNetwork {
  uint32_t network;
  uint32_t mask;  // prefix bits set; 0 takes every address
};

struct ServerOptions {
  std::string listen = "127.0.0.1";  // IPv4 address of the control socket and the stream sockets
  uint32_t display = 0;              // the control port is SERVER_PORT_BASE + display
  int32_t port = -1;                 // TCP port overriding the display's; 0 ephemeral; -1 none
  int verbose = 1;                   // log level on standard error, 0 to 2
  uint32_t maxClients = 1024;        // control connections served at once
  // Who is served: drivers that prove the key, or with noAuth every one.
  std::string keyFile;    // empty: keyFileDefault()
  bool noAuth = false;    // serve drivers without a key
  bool printKey = false;  // print the key and exit
  bool newKey = false;    // replace the key, print it and exit
  // Serving a LAN: who may connect, and what one client address may hold.
  std::vector<AllowedNetwork> allow;      // peers that may connect; empty: every peer
  uint32_t maxConnectionsPerClient = 64;  // control connections of one peer address at once
  uint32_t maxStreamsPerClient = 64;      // streams of one peer address, all its connections
  uint32_t maxStreams = 256;              // streams of every client together
  uint32_t maxMemoryMiB = 256;            // the server's memory with its streams, MiB
  uint32_t setupTimeoutS = 10;            // seconds to send the setup request; 0: no limit
  uint32_t idleTimeoutS = 300;  // seconds a connection without streams may stay silent; 0: ever
  // Open-stream replies.
  uint8_t streamStatus = 1;      // 1 accepts; any other value refuses every stream
  uint16_t udpPort = 0;          // first UDP port tried for a stream; 0: any free port
  uint16_t udpPortLast = 65535;  // last UDP port tried, with udpPort
  bool udpPortsRandom = false;   // --udp-ports: the range is tried from a random port
  uint8_t adaptive = 1;          // the server's adaptive flag
  uint32_t rate = 48000;         // Hz: highest playback wire rate and recording timebase
  uint32_t minLead = 0;          // frames; 0: serverMinLead's automatic value
  uint32_t maxLead = 65536;      // frames
  // Putting a relay in the datagrams' way (lumivox-relay).
  int32_t advertiseUdpPort = -1;  // port named in open-stream replies; -1: the stream's own
  std::string sendViaAddress;     // IPv4 address of the routed relay; empty: none
  uint16_t sendViaPort = 0;       // its UDP port, with sendViaAddress
  bool learnUdpPort = false;      // streams learn the driver's port (a NAT between)
  // Misbehaviour, for tests of the driver.
  bool refuseSetup = false;       // answer every setup with setup refused
  bool outputDevice = true;       // list the playback device and its volume control
  bool inputDevice = true;        // list the recording device and its volume control
  uint32_t setupDelayMs = 0;      // hold the setup answer back this long
  uint32_t replyDelayMs = 0;      // hold stream and query replies back this long
  bool withholdSetup = false;     // never answer the setup
  bool withholdReplies = false;   // never send stream or query replies
  int64_t closeAfter = -1;        // close a connection after handling this many messages; -1 never
  int64_t stopReadingAfter = -1;  // stop reading a connection after this many messages; -1 never
  bool silentStreams = false;     // granted streams send nothing: no acknowledgements, no audio
  bool crawl = false;             // playback plays one frame per datagram, not with time
  uint32_t firstPosition = 0;     // timebase frames a recording's positions start from
  // The sound system: playback goes to it unless --output names a file or
  // none, and recordings come from it unless --input or --tone is given,
  // whenever a sound server answers at start.
  std::string soundServer;       // libpulse's server string; empty: its default
  std::string sink;              // sink name; empty: the sound server's default
  std::string source;            // source name; empty: the sound server's default
  uint32_t soundLatencyMs = 10;  // buffering asked of the sound server
  // Datagrams.
  std::string output;           // WAV file for playback, OUTPUT_NONE, or empty: the sound system
  uint32_t outputRate = 0;      // Hz of the output; 0: the stream's application rate
  uint32_t outputChannels = 2;  // 1 or 2
  bool fast = false;            // consume playback at once instead of in real time
  std::string input;            // WAV (or other libsndfile) file to record from
  bool tone = false;            // --tone given: record the tone even with a sound system
  uint32_t toneHz = 440;        // frequency of the generated tone, Hz
  uint32_t recordFormat = 17;   // row of wireFormats recordings are sent in
  std::string stats;            // JSON-lines statistics file; empty: none
};

// The --help text: every option, one paragraph each.
extern const char SERVER_USAGE[];

// Parses argv with the tools' shared option rules. PARSE_OK fills options;
// PARSE_HELP, PARSE_VERSION and PARSE_ERROR (with the reason in error) go
// to toolParseExit with SERVER_USAGE.
ParseOutcome serverParseOptions(int argc, char **argv, ServerOptions &options, std::string &error);

// Whether a peer (IPv4, host order) may connect: --allow names its network,
// or no --allow was given.
bool serverAllows(const ServerOptions &options, uint32_t address);

// Whether playback goes to the sound system (no --output, no --fast, a
// sound server not named "none"), and whether recordings come from it
// (no --input, no --tone).
bool serverPlaysToSound(const ServerOptions &options);
bool serverRecordsFromSound(const ServerOptions &options);

// The TCP port the options ask for.
uint16_t serverControlPort(const ServerOptions &options);

// The lowest lead the server names, automatic or --min-lead. The playout
// clock advances in steps of 10 ms: a driver that keeps less than two steps
// queued runs the queue dry at every step and is heard slower than real
// time, so without --min-lead the lead is 20 ms at the stream's
// application rate, and never below 256 frames.
uint32_t serverMinLead(const ServerOptions &options, uint32_t applicationRate,
                       uint32_t soundBufferingMs = 0);
