// Device instances: the life of the per-open record of a wave device (the
// records are in devices/instance.h), its creation, which finds the
// session's audio server and opens a stream to it, the queue of the
// application's wave headers, and what both front ends do alike.
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

#include "devices/instance.h"
#include "driver/format.h"
#include "platform/platform.h"

// The tables streamAdd installs, by direction. The device operations set
// them; a test may put a table of its own in their place. With no table
// an open finds no way to a server and fails with MMSYSERR_NODRIVER.
extern const WaveStreamOps *waveOutputOps;
extern const WaveStreamOps *waveInputOps;

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
