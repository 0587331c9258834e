// The records of an open wave device that the wave operations work on:
// the instance (one per open), its streams (one per audio-server
// destination) and the table of a stream's operations, with the record
// of callbacks through which the operations reach the front end that owns
// the instance, and the identity the device reports in its capabilities.
//
// Locking: every field is guarded by drvLock.
#pragma once

#include "audio/pcm.h"
#include "platform/platform.h"

// The identity in the capability records and the mixer's lines.
constexpr WORD CAPS_MANUFACTURER_ID = 1;
constexpr WORD PRODUCT_ID_OUTPUT = 100;
constexpr WORD PRODUCT_ID_INPUT = 101;
constexpr WORD PRODUCT_ID_MIXER = 104;

enum { WAVE_OUTPUT = 0, WAVE_INPUT = 1 };

struct WaveInstance;
struct WaveStream;

// Why the open of a stream to a server failed, or OPEN_OK.
enum [[nodiscard]] OpenResult : int{
    OPEN_OK = 0,
    OPEN_NO_MEMORY,      // no memory for the stream's records, ring or event
    OPEN_MARKED,         // the server is marked unreachable: not tried
    OPEN_NO_CONNECTION,  // no connection: refused, or ended before the setup's answer
    OPEN_NO_ANSWER,      // connected, and no answer within the open's wait
    OPEN_REFUSED,        // the server refused the setup or the stream
    OPEN_NO_DEVICE,      // the server has no device of the stream's direction
};
// The reason in words, for logs and the doctor.
const char *openResultText(OpenResult result);

// What the wave operations tell the front end that owns an instance. Each
// entry is called with drvLock held, on an application thread or the I/O
// thread, and may release it around a callback to the application.
struct WaveInstanceEvents {
  // The stream's current header is used up, played (output) or filled
  // (input): the stream moves on to the next one and this one goes back.
  void (*headerDone)(WaveInstance *instance, WaveStream *stream);
  // The queue may have emptied: a close that waits for it is woken.
  void (*drainCheck)(WaveInstance *instance);
};

// What the front ends ask of a stream. One table serves every output stream
// and one every input stream; the front end calls each slot with drvLock
// held, and a slot returns with it held.
struct WaveStreamOps {
  // Sets up the stream's state and its connection; may release drvLock
  // while it waits. OPEN_OK on success; on failure the reason, nothing
  // stays allocated and the stream is freed by the caller.
  OpenResult (*open)(WaveInstance *instance, WaveStream *stream);
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
  WaveInstance *nextLive;            // next in instancesLive
  const WaveInstanceEvents *events;  // the front end's, by direction
};
