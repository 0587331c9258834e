// Many playback streams from one process to one lumivox-server, each
// speaking the driver's protocol and paced as the driver paces it: the load
// generator of lumivox-load and server_load_bench. Linux only.
//
// Each stream is a control connection of its own (setup request, one
// open-stream request for playback, as the driver sends them) and a UDP
// socket on the driver's side. After a probe and its acknowledgement the
// stream sends data packets of one wire format row whenever the server
// reports less than the lead target queued and fewer than four packets are
// unacknowledged, one packet per stream and loop turn, acknowledgements
// first: the driver's play sender, without its format adaptation (the row
// is fixed, as a slow network would fix it). Packet sizes and the lead
// follow the driver's window rule for the measured round trip.
//
// Payloads are sliced from a cycle of audio coded once per run with the
// driver's own encoders (a tone), so a stream costs the generator its
// system calls and little else; each packet's duration (application frames)
// and wire frames follow the positions of the stream, as the driver's
// resampler makes them.
//
// Per stream it counts packets sent, acknowledged, late (acknowledged with
// the server's played position already past their end) and lost (written
// off unanswered after the retransmit timeout), and the server's progress
// reports that found its queue empty while the stream was running (the
// server ran dry: it played slower than real time).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// One load path: a wire format row at an application rate.
struct LoadPath {
  const char *name;  // for reports
  int row;           // index into wireFormats
  uint32_t appRate;  // Hz: the application's rate, the packets' timebase
};

struct LoadOptions {
  std::string host = "127.0.0.1";  // the server's control address, IPv4
  uint16_t port = 0;               // its control port
  uint32_t streams = 1;
  LoadPath path{};
  double warmupSeconds = 1.0;  // after the last stream started, before measuring
  double seconds = 5.0;        // measured
};

struct LoadResult {
  uint32_t opened = 0;   // streams the server granted
  uint32_t started = 0;  // streams whose probe was answered
  double seconds = 0;    // the measured window
  // Over the measured window, every stream:
  uint64_t sent = 0;       // data packets
  uint64_t acked = 0;      // data packets answered
  uint64_t late = 0;       // answered with their place played already
  uint64_t lost = 0;       // written off unanswered
  uint64_t acks = 0;       // acknowledgements received, progress reports included
  uint64_t dry = 0;        // progress reports of an empty queue
  uint64_t bytes = 0;      // datagram bytes sent
  uint64_t played = 0;     // application frames the server reported played
  double pace = 0;         // played / (streams x rate x seconds): 1 keeps real time
  double generatorCpu = 0;   // seconds of CPU this process used in the window (it polls)
  double generatorBusy = 0;  // seconds of it spent in turns that found work
  std::string error;       // why the run failed, when it did
};

struct LoadHooks {
  std::function<void()> measureBegin;  // the measured window starts
  std::function<void()> measureEnd;    // and ends
};

// Opens the streams, runs them for the warm-up and the measured window,
// closes them. False with result.error when the streams could not be set up.
bool loadRun(const LoadOptions &options, LoadResult &result, const LoadHooks &hooks = {});

// The three paths of the benchmark: 44.1 kHz stereo linear, and 8 kHz
// companded and GSM from a 44.1 kHz application (the server converts them
// to its output rate, the application's).
extern const LoadPath LOAD_PATHS[3];
