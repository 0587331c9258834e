// The device operations: what the wave and mixer front ends ask of one
// audio server. For every server a device talks to, the front end keeps a
// node (a WaveStream or a MixerTarget) that points at one of the tables
// here; the operations set up the per-server state, queue requests on the
// control connection, wake the I/O thread and, where they need an answer,
// wait on an event that a completion callback signals on the I/O thread.
//
// Locking: the operations run on application threads with drvLock held and
// release it only inside their waits: the open (at most 5 s), the output
// drain (at most 10 s per wait), the input start and the volume query (at
// most 10 s each). No wait depends on the network without a bound: a
// stream that hears nothing from its server for STREAM_STALL_MS while the
// application waits on it is given up as if its connection had gone, and
// its headers come back. A waiter resets its event while it still holds the lock,
// after queuing its request, so the completion (which needs the lock) can
// only come after the wait has begun. The callbacks run on the I/O thread
// with drvLock held. After every wait the flags are read afresh: other
// threads may have entered the driver meanwhile.
//
// Failure: an open whose server left it waiting out OPEN_WAIT_MS marks the
// server unreachable for the whole logon session, so later opens to it in
// any process fail at once instead of waiting again. A server that
// answered (a refused setup, no device of the direction, a refused
// stream), a connection refused or closed, and a local failure (memory,
// an event) fail that one open only: a mark would outlive its cause, and
// one held by another user's streams at the server's limits would keep
// this user's audio off until logoff.
#pragma once

#include "devices/instance.h"
#include "devices/mixer.h"
#include "net/loop.h"
#include "platform/platform.h"

struct ServerSession;
struct ServerDevice;
struct ServerControl;
struct StreamSlot;
struct PlaySender;
struct PlaySource;
struct RecordSink;

// Waits of the operations, ms.
constexpr DWORD OPEN_WAIT_MS = 5000;    // the setup and, for output, the play-stream grant
constexpr DWORD DRAIN_WAIT_MS = 10000;  // the output drain without progress
constexpr DWORD START_WAIT_MS = 10000;  // the record-stream reply of an input start
constexpr DWORD QUERY_WAIT_MS = 10000;  // a volume reply
// The text form of a server's address and port, "a.b.c.d:port".
constexpr DWORD SERVER_NAME_BYTES = 128;

// The tables the front ends install. Both wave tables share open and close,
// which branch on the instance's direction.
extern const WaveStreamOps outputStreamOps;
extern const WaveStreamOps inputStreamOps;
extern const MixerOps serverMixerOps;

// One open wave stream's link to its server.
struct WaveStreamState {
  ServerSession *connection;  // the session of the control connection; null once it has gone
  DWORD ready;         // output: a play sender was granted; input: the server has an input device
  DWORD closed;        // the connection has gone (set only by the closed callback)
  OpenResult refusal;  // while opening: what the server answered instead of a stream
  // Output: the pause last applied to the play sender. Input: the stopped
  // flag, 1 while no record stream runs (and after open).
  DWORD paused;
  DWORD wantsData;         // output: the play senders have started (the source's activity)
  DWORD started;           // output: set by the first kick; pauses apply only after it
  HANDLE event;            // manual reset; made by open (closed once it succeeds) and on demand
  WaveInstance *instance;  // the owner
  WaveStream *stream;      // the owner's node
  const ServerDevice *serverDevice;  // the chosen entry of the session's device list, or null
  StreamSlot *streamSlot;            // the granted play or record stream, or null
  DWORD direction;                   // WAVE_OUTPUT or WAVE_INPUT
  PlaySource *source;                // output: the endpoint, or null
  RecordSink *sink;                  // input: the endpoint, or null
  WorkItem pump;                     // the play or record pump, priority PUMP_PRIORITY
  // Output: the play sender's consumed position, source frames. Input:
  // frames delivered into headers since open.
  DWORD position;
  // Input: starts whose wait ended before their reply came. Their replies
  // arrive first (replies keep request order); a stream they grant is
  // closed again at once, since the application was left stopped.
  DWORD abandonedStarts;
  // Input: 1 while a start waits for its record-stream reply.
  DWORD starting;
  // Output: the played position last read from the play sender, source
  // frames; kept when the sender goes, so that positions never fall back.
  DWORD played;
  // Priority PUMP_PRIORITY, user: this state: waveStreamTeardown. Ends the
  // connection of a stream given up as stalled, and destroys the UDP stream
  // and the endpoint of a connection that ended while the I/O thread was
  // inside the endpoint (a callback to the application in progress).
  WorkItem teardown;
  // Input, once the connection has gone: hands back the headers added
  // since, filled with silence, each after its length in time (at most
  // STREAM_STALL_MS), as a device that hears nothing would: inputPace, priority
  // PUMP_PRIORITY. pacing is 1 while it is scheduled.
  Timer pace;
  DWORD pacing;
  // Output, while a close runs: gives the stream up at the close's
  // deadline (outputCloseBy), priority PUMP_PRIORITY.
  Timer closeTimer;
};

// One open mixer target's link to its server.
struct MixerState {
  ServerSession *connection;  // null once the connection has gone
  DWORD ready;                // set by the connected callback
  DWORD closed;               // set by the closed callback
  HANDLE event;               // as in WaveStreamState; closed once open succeeds
  MixerTargetList *targetList;
  MixerTarget *target;
  const ServerControl *outputControl;  // volume control of the first output device, or null
  const ServerControl *inputControl;   // volume control of the first input device, or null
};

// One volume query. The reply (or the session's end, which completes every
// pending request) writes into it exactly once; whichever of the waiter and
// the reply comes last frees it, so a late reply never writes into freed
// memory.
struct VolumeQuery {
  DWORD abandoned;  // the waiter has gone: the reply frees the record
  DWORD delivered;  // the reply has been written
  DWORD value;      // the reply's 32-bit value; QUERY_NO_VALUE until one came
  HANDLE event;     // manual reset, signalled by the reply
};

// The loop priority of the play and record pumps: below every network record.
constexpr DWORD PUMP_PRIORITY = 1;

// Formats address (host order) and port as "a.b.c.d:port" into name, which
// holds SERVER_NAME_BYTES.
void serverName(char *name, DWORD address, DWORD port);
// Whether an open's wait on event passed with no answer at all: no
// completion (granted, refused, closed) has set the event, by the wait's
// end or since. Called with drvLock held, under which the completions set
// it.
bool openUnanswered(HANDLE event);

// The lookups in a session's lists, first match wins. The wave device: the
// first device of direction. The mixer control for direction: the first
// kind-0 control of the first device of that direction. Null when none.
const ServerDevice *sessionFindDevice(const ServerSession *session, DWORD direction);
const ServerControl *sessionFindVolume(const ServerSession *session, DWORD direction);

// The play sender of a granted output stream, or null.
PlaySender *statePlaySender(const WaveStreamState *state);

// The wave operations (slots of both tables).
OpenResult waveStreamOpen(WaveInstance *instance, WaveStream *stream);
void waveStreamClose(WaveInstance *instance, WaveStream *stream);
void outputKick(WaveInstance *instance, WaveStream *stream);
DWORD outputPosition(WaveInstance *instance, WaveStream *stream);
void outputSetPaused(WaveInstance *instance, WaveStream *stream, int paused);
void inputKick(WaveInstance *instance, WaveStream *stream);
DWORD inputPosition(WaveInstance *instance, WaveStream *stream);
void inputSetPaused(WaveInstance *instance, WaveStream *stream, int paused);
DWORD outputReset(WaveInstance *instance, WaveStream *stream);
void outputCloseBy(WaveInstance *instance, WaveStream *stream, const DWORD *deadline);

// Gives a stream up as if its connection had been lost: its connection is
// ended on a later turn of the I/O thread. Called on the I/O thread by the
// endpoints when their network stream has heard nothing for STREAM_STALL_MS
// while the application waited.
void waveStreamGiveUp(WaveStreamState *state);
// The teardown work item's callback.
void waveStreamTeardown(void *state);
// The close timer's callback: gives the stream up.
void outputCloseTimeout(void *state);

// The completion callbacks (I/O thread, or inside connClose).
int waveConnected(ServerSession *session, void *state);
void waveClosed(ServerSession *session, void *state);
void playStreamReplied(ServerSession *session, StreamSlot *slot, void *state);
void recordStreamReplied(ServerSession *session, StreamSlot *slot, void *state);

// The mixer operations.
int mixerServerOpen(MixerTargetList *list, MixerTarget *target);
void mixerServerClose(MixerTargetList *list, MixerTarget *target);
void mixerServerSetVolume(MixerTargetList *list, MixerTarget *target, DWORD index, DWORD value);
DWORD mixerServerGetVolume(MixerTargetList *list, MixerTarget *target, DWORD index);
int mixerConnected(ServerSession *session, void *state);
void mixerClosed(ServerSession *session, void *state);
void volumeReplied(ServerSession *session, DWORD controlId, DWORD value, void *query);
