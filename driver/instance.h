// Device instances: the per-open record of a wave device, its streams (one
// per audio-server destination), the queue of the application's wave headers
// and the creation of an instance, which finds the session's audio server
// and opens a stream to it.
//
// An instance lives from a successful open to the end of its device's
// close; the pointer to it is the driver's per-open value that the
// multimedia layer hands back with every later message. Discovery yields
// one destination per session, so a live instance holds exactly one stream;
// the front ends still treat the streams as a list.
//
// Locking: everything here is called with drvLock held. A stream's open may
// release it while it waits for its connection (at most 5 s), so
// instanceCreate is not atomic with respect to the I/O thread.
#pragma once

#include <cstring>

#include "driver/format.h"
#include "platform/platform.h"

// The audio server of display N listens on TCP port AUDIO_PORT_BASE + N.
constexpr DWORD AUDIO_PORT_BASE = 9000;

enum { WAVE_OUTPUT = 0, WAVE_INPUT = 1 };

struct WaveInstance;
struct WaveStream;

// What the front ends ask of a stream. One table serves every output stream
// and one every input stream; the front end calls each slot with drvLock
// held, and a slot returns with it held.
struct WaveStreamOps {
  // Sets up the stream's state and its connection; may release drvLock
  // while it waits. Non-zero on success; on failure nothing stays
  // allocated and the stream is freed by the caller.
  int (*open)(WaveInstance *instance, WaveStream *stream);
  // Ends the stream and frees its state; the caller frees the record.
  void (*close)(WaveInstance *instance, WaveStream *stream);
  // An idle stream has been given a header (current is set).
  void (*kick)(WaveInstance *instance, WaveStream *stream);
  // Sample frames played (output) or delivered (input) so far.
  DWORD (*position)(WaveInstance *instance, WaveStream *stream);
  // paused 1 pauses (output) or stops (input) the stream; 0 runs it.
  void (*setPaused)(WaveInstance *instance, WaveStream *stream, int paused);
  // Output: the application has discarded every queued header. Drops what
  // the stream took from them and has not sent, and returns the frames it
  // took in all (what a close still has to drain). Null where a table has
  // no such step: the front end then keeps its count.
  DWORD (*reset)(WaveInstance *instance, WaveStream *stream);
  // Output: a close has begun and must be over by the tick deadline points
  // at: then the stream gives its server up, whatever the server reports,
  // as if the connection had gone (its headers come back at once and its
  // drain ends). Null deadline: the close failed, the stream goes on. Null
  // slot where a table has no such step.
  void (*closeBy)(WaveInstance *instance, WaveStream *stream, const DWORD *deadline);
};

// The tables streamAdd installs, by direction. The device operations set
// them; a test may put a table of its own in their place. With no table
// an open finds no way to a server and fails with MMSYSERR_NODRIVER.
extern const WaveStreamOps *waveOutputOps;
extern const WaveStreamOps *waveInputOps;

// One audio-server destination of an instance.
struct WaveStream {
  WaveStream *next;    // next stream of the same instance, creation order
  WAVEHDR *current;    // header being played or filled, always a queued one; null when idle
  WAVEHDR *loopStart;  // output: the WHDR_BEGINLOOP header being repeated (queued), or null
  DWORD loopCount;     // output: repetitions of the loop still to come
  DWORD offset;        // sample frames of current consumed (output) or filled (input)
  DWORD address;       // audio server's IPv4 address, host order
  DWORD port;          // audio server's TCP port
  void *state;         // owned by the stream operations: set by open, freed by close
  const WaveStreamOps *inputOps;   // input streams only, else null
  const WaveStreamOps *outputOps;  // output streams only, else null
};

// One open wave device.
struct WaveInstance {
  WAVEHDR *queueHead;   // oldest queued header, null when the queue is empty
  WAVEHDR **queueTail;  // the newest header's lpNext, or &queueHead when empty
  WaveStream *streams;  // first stream, creation order
  DWORD paused;         // output: set by WODM_PAUSE, cleared by WODM_RESTART
  DWORD closing;        // set when the close begins, before the streams close
  HANDLE drainEvent;    // manual reset, made on demand by the close; null if not made
  DWORD framesWritten;  // output: sample frames accepted by WODM_WRITE, wrapping
  DWORD direction;      // WAVE_OUTPUT or WAVE_INPUT
  DWORD deviceId;       // device number of the open message (always 0)
  // Pointer-sized, as the open description's fields are: on a 64-bit
  // system a callback function's address does not fit 32 bits.
  DWORD_PTR callback;          // dwCallback of the open description
  DWORD_PTR callbackInstance;  // dwInstance of the open description
  DWORD openFlags;             // flags of the open; the high 16 bits go to DriverCallback
  HWAVE waveHandle;            // hWave of the open description
  // The first 14 bytes of the application's format, the average byte rate
  // made rate times block align (an application may leave it 0).
  WAVEFORMAT format;
  PcmSample sample;  // the application's sample format
  // Completions in progress: headers whose callback runs with drvLock
  // released (and, on the I/O thread, the supply that completed them).
  // The close frees nothing while it is above 0.
  DWORD completing;
  // 1 from the start of a close until it fails or frees the instance: a
  // second close and later writes or added buffers are refused, since the
  // close may be about to free the instance.
  DWORD closeStarted;
  WaveInstance *nextLive;  // next in instancesLive
};

// Every instance from its creation to its free, newest first; guarded by
// drvLock. A message's per-open value is looked up here before it is used,
// so that a message racing a close (or after it) on the same handle finds
// nothing instead of freed memory.
extern WaveInstance *instancesLive;
// Instances live or being opened, at most WAVE_INSTANCES_MAX.
extern DWORD instanceCount;

// Each wave instance keeps two sockets in the I/O thread's read set (its
// control connection and its UDP stream), next to the wake-up socket and a
// few mixer requests; the set holds LV_SELECT_SET_LIMIT sockets. Opens
// beyond this many fail with MMSYSERR_ALLOCATED, so that no socket of a
// running stream is left out of the set.
constexpr DWORD MIXER_READER_RESERVE = 3;
constexpr DWORD WAVE_INSTANCES_MAX = (LV_SELECT_SET_LIMIT - 1 - MIXER_READER_RESERVE) / 2;

// Makes an instance for an open of the given direction, finds the session's
// audio server and opens a stream to it. Returns MMSYSERR_NOERROR with the
// instance in *out, or WAVERR_BADFORMAT (waveFormatCheck), MMSYSERR_NOMEM
// or MMSYSERR_NODRIVER with null in *out and nothing left allocated.
// Called with drvLock held and the I/O thread running.
MMRESULT instanceCreate(DWORD deviceId, const WAVEOPENDESC *description, DWORD openFlags,
                        DWORD direction, WaveInstance **out);
// Frees an instance whose streams are gone and takes it off
// instancesLive. Called with drvLock held.
void instanceFree(WaveInstance *instance);
// Puts an instance on instancesLive and counts it (instanceCreate does).
void instanceAddLive(WaveInstance *instance);
// The live instance that a message's per-open value names, with drvLock
// taken; null, with drvLock not held, when it names none (never opened,
// or closed).
WaveInstance *instanceEnter(DWORD_PTR user);

// Called once per destination found: returns what the discovery returns.
typedef int (*ServerVisitor)(void *context, DWORD address, DWORD port);
// Finds the terminal of the caller's session and calls the visitor once
// with its address and AUDIO_PORT_BASE plus the display number. Returns the
// visitor's result, or 0 without calling it when discovery fails or the
// display number would put the port beyond 65535.
int discoverServer(ServerVisitor visitor, void *context);
// Gives the instance (context) a stream to address and port unless it has
// one. Returns 1 when it has such a stream afterwards, 0 otherwise.
int streamAdd(void *context, DWORD address, DWORD port);

// The header queue. The link between queued headers is the header's own
// lpNext, which belongs to the driver while the header is queued. Each is
// called with drvLock held.
void hdrQueueAppend(WaveInstance *instance, WAVEHDR *header);
// Unlinks the header; a header that is not queued leaves the queue as it is.
void hdrQueueRemove(WaveInstance *instance, WAVEHDR *header);
// Whether a is queued before b: false when a is b, or when b (or the end)
// comes first.
int hdrQueueIsBefore(WaveInstance *instance, WAVEHDR *a, WAVEHDR *b);
// The queued header whose lpNext is header; null for the head or for a
// header that is not queued.
WAVEHDR *hdrQueuePredecessor(WaveInstance *instance, WAVEHDR *header);

// What both wave front ends do alike. Each is called with drvLock held
// unless it says otherwise.

// The stream's operation table for the instance's direction.
const WaveStreamOps *streamOps(const WaveInstance *instance, const WaveStream *stream);

// The open of either device (the WODM_OPEN and WIDM_OPEN message): checks
// the format (waveFormatCheck), and for a query (WAVE_FORMAT_QUERY) ends
// there; else starts the I/O thread, makes the instance, stores it at user
// and sends openMessage to the application. startFailure is the result
// when the I/O thread cannot be started. Takes and releases drvLock
// itself.
MMRESULT instanceOpen(UINT deviceId, DWORD_PTR user, const WAVEOPENDESC *description,
                      DWORD openFlags, DWORD direction, MMRESULT startFailure, DWORD openMessage);

// The checks of a header handed to the queue: WAVERR_UNPREPARED without
// WHDR_PREPARED, WAVERR_STILLPLAYING while WHDR_INQUEUE, else
// MMSYSERR_NOERROR.
MMRESULT instanceCheckHeader(const WAVEHDR *header);
// Queues a checked header (WHDR_INQUEUE set, WHDR_DONE cleared) and gives
// the queue head to every idle stream, kicking it.
void instanceQueueHeader(WaveInstance *instance, WAVEHDR *header);
// Returns every queued header with message, oldest first, on the calling
// thread (drvLock released around each callback). Headers queued by other
// threads meanwhile go back too; a stream whose current header or loop
// start goes back is left idle.
void instanceReturnAll(WaveInstance *instance, DWORD message);

// One DriverCallback of the instance. Called with drvLock released.
void instanceNotify(WaveInstance *instance, DWORD message, DWORD_PTR param1);

// Returns a header that is already off the queue to the application with
// message (WOM_DONE or WIM_DATA): clears WHDR_INQUEUE, sets WHDR_DONE.
// Releases drvLock around the callback; the count of completions in
// progress keeps the instance (and the stream whose I/O-thread call led
// here) alive until the lock is taken back and let go by the caller.
void instanceComplete(WaveInstance *instance, WAVEHDR *header, DWORD message);

// Wakes a close that waits in instanceDrain once nothing is queued and no
// completion is in progress.
void instanceSignalDrain(WaveInstance *instance);

// The first half of a close. Waits (drvLock released, no time limit) until
// no completion is in progress and, when waitForQueue is set, until every
// queued header has come back. Returns MMSYSERR_NOERROR then, or
// WAVERR_STILLPLAYING with nothing changed when headers stay queued that
// cannot come back (waitForQueue clear, or the instance paused), or
// MMSYSERR_NOMEM when no event can be made to wait on.
MMRESULT instanceDrain(WaveInstance *instance, int waitForQueue);

// The second half: sets closing, closes and frees every stream, closes the
// drain event, sends closeMessage (drvLock released around it) and frees
// the instance.
void instanceRelease(WaveInstance *instance, DWORD closeMessage);

// The position query of either device: the first stream's position in
// frames (0 with no stream), capped at frames written (by signed
// difference) when capAtWritten is set, stored as bytes for TIME_BYTES and
// as TIME_SAMPLES for any other type. MMSYSERR_ERROR, with nothing
// written, when the caller's record (timeBytes) is smaller than an MMTIME.
MMRESULT instancePosition(WaveInstance *instance, MMTIME *time, DWORD_PTR timeBytes,
                          int capAtWritten);

// The device capability fields both records share, in their layout.
constexpr WORD CAPS_MANUFACTURER_ID = 1;
constexpr MMVERSION CAPS_DRIVER_VERSION = 0x0500;  // 5.0
constexpr DWORD CAPS_FORMATS = 0x00000FFF;  // 11.025 kHz mono 8-bit to 44.1 kHz stereo 16-bit
// Writes the product name "Lumivox 1.0", zero-filled to MAXPNAMELEN.
void capsProductName(WCHAR name[MAXPNAMELEN]);

// Fills the fields both capability records have.
template <typename Caps>
void capsFill(Caps *caps, WORD productId, WORD channels) {
  caps->wMid = CAPS_MANUFACTURER_ID;
  caps->wPid = productId;
  caps->vDriverVersion = CAPS_DRIVER_VERSION;
  capsProductName(caps->szPname);
  caps->dwFormats = CAPS_FORMATS;
  caps->wChannels = channels;
}

// Answers a capability request for the record at to of the caller's size
// bytes: fill completes a whole record, and as much of it as fits the
// caller's size is written, however small, since the multimedia layer
// passes on the application's own size and wave drivers answer every size.
// The reserved word after the channels keeps what the caller passed.
template <typename Caps, typename Fill>
MMRESULT capsAnswer(DWORD_PTR to, DWORD_PTR bytes, Fill fill) {
  if (!to) return MMSYSERR_INVALPARAM;
  Caps caps;
  const size_t n = bytes < sizeof caps ? size_t(bytes) : sizeof caps;
  std::memset(&caps, 0, sizeof caps);
  std::memcpy(&caps, reinterpret_cast<const void *>(to), n);
  fill(&caps);
  std::memcpy(reinterpret_cast<void *>(to), &caps, n);
  return MMSYSERR_NOERROR;
}
