// Wire formats, sample rings and stream slots.
//
// Audio inside the driver is signed 16-bit linear PCM at the application's
// rate and channel count, kept in one SampleRing per endpoint. On the wire
// it travels in one of the eighteen formats of wireFormats, converted when a
// packet is built or received (audio/convert).
//
// A StreamSlot is the record behind one stream that the control protocol
// negotiates: it is created bare with its own UDP socket when the server is
// asked for a stream, then bound to a play sender or a capture receiver when
// the server accepts it, and closed when the stream ends. Everything here is
// called with drvLock held; the rings are created on application threads
// under the lock, and their samples are read and written on the I/O thread.
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct PlaySource;
struct RecordSink;
struct PlaySender;
struct CaptureReceiver;
struct SampleRing;

// The kind byte of a packet.
enum {
  WIRE_PROBE = 0,      // no audio
  WIRE_COMPANDED = 1,  // 8-bit companded, one byte per sample
  WIRE_LINEAR16 = 2,   // 16-bit signed little-endian
  WIRE_GSM = 3,        // GSM 06.10, mono 8000 Hz, 33-byte frames of 160 samples
};

// One row of the wire format table.
struct WireFormat {
  uint8_t kind;             // WIRE_*; 0 only in the terminating row
  uint8_t rateIndex;        // index into wireRates
  uint32_t stereo;          // 1: two interleaved channels on the wire
  uint32_t rate;            // Hz, wireRates[rateIndex]
  uint32_t bytesPerSecond;  // wire bytes per second of audio
  uint32_t samplesPerUnit;  // samples coded together: 160 for GSM, else 1
  uint32_t rttLimit;        // ms to carry 2800 bytes: 2,800,000 / bytesPerSecond
};

constexpr int WIRE_RATE_COUNT = 7;
constexpr int WIRE_FORMAT_COUNT = 18;  // rows before the terminating one
extern const uint32_t wireRates[WIRE_RATE_COUNT];  // Hz, by rate index
// Ascending by bytesPerSecond; row 0 (GSM) is the fallback; a row of zeros
// ends the table.
extern const WireFormat wireFormats[WIRE_FORMAT_COUNT + 1];

// Whether a play sender whose ring is `ring` and whose server allows rates
// up to rateLimit may use `row`: not above either rate, and not stereo
// while the ring is mono.
int formatEligible(const WireFormat *row, const SampleRing *ring, uint32_t rateLimit);
// Whether a round-trip time of rtt ms passes the row's limit.
int formatPassesRtt(const WireFormat *row, uint32_t rtt);

// The buffer between a wave endpoint and its network streams: the header
// and frames x channels samples in one zero-filled block. Positions are
// wrapping frame counters; the slot of position p is p mod frames. Readers
// clear what they consume, so a region nobody wrote reads as silence.
struct SampleRing {
  uint32_t frames;    // capacity in frames (RING_FRAMES for the endpoints)
  uint32_t rate;      // the application's rate, Hz
  uint32_t channels;  // 1 or 2
  // frames x channels samples follow, interleaved (ringSamples).
};
inline int16_t *ringSamples(SampleRing *ring) { return reinterpret_cast<int16_t *>(ring + 1); }
constexpr uint32_t RING_FRAMES = 65536;

// Returns the ring, or null when frames is 0 or the block cannot be
// allocated. Freed with LocalFree.
SampleRing *ringCreate(uint32_t frames, uint32_t rate, int stereo);
// The address of position's slot; *span gets the frames from it to the end
// of the ring.
int16_t *ringSpan(SampleRing *ring, uint32_t position, uint32_t *span);
// Zeroes count frames from position; count is at most the span there.
void ringClear(SampleRing *ring, uint32_t position, uint32_t count);
// Writes the frame before position into the count frames from position,
// wrapping (it overwrites). Fills the gap a lost packet leaves.
void ringRepeat(SampleRing *ring, uint32_t position, uint32_t count);

enum { SLOT_BARE = 0, SLOT_PLAY = 1, SLOT_CAPTURE = 2 };
// Ports are tried upwards from here; SLOT_PORT_END itself is never tried.
constexpr uint32_t SLOT_PORT_BASE = 10000;
constexpr uint32_t SLOT_PORT_END = 65535;

struct StreamSlot {
  uint32_t id;         // from a process-wide counter, first 1
  uint8_t kind;        // SLOT_*
  uint16_t localPort;  // bound UDP port, host order
  SOCKET socket;       // owned: closed by slotClose or by the stream's close
  void *stream;        // PlaySender or CaptureReceiver, or null
  void *owner;         // the PlaySource or RecordSink the stream serves
};

// A bare slot with a non-blocking datagram socket bound to the first free
// port from SLOT_PORT_BASE, or null with nothing left open.
StreamSlot *slotCreate(void);
// Bind the slot to a new play sender / capture receiver. A failed creation
// leaves `stream` null (the slot is still bound and later frees only
// itself). Always succeed.
int slotBindPlay(StreamSlot *slot, PlaySource *owner, uint32_t serverAddress, uint16_t serverPort,
                 uint32_t minLead, uint32_t maxLead, uint8_t adaptive, uint32_t serverRate);
// serverAddress (host order) is the audio server's, the control
// connection's peer: the receiver takes datagrams from that host only.
int slotBindCapture(StreamSlot *slot, RecordSink *owner, uint32_t serverAddress,
                    uint32_t timebaseRate);
// Closes the stream (which closes the socket) or the bare socket, and frees
// the slot.
void slotClose(StreamSlot *slot);

// Creation, pause and close of the streams a slot is bound to. The running
// behaviour is in audio/stream.
PlaySender *playSenderCreate(PlaySource *owner, SOCKET socket, uint32_t serverAddress,
                             uint16_t serverPort, uint32_t minLead, uint32_t maxLead,
                             uint8_t adaptive, uint32_t serverRate);
void playSenderClose(PlaySender *sender);
void playSenderSetPaused(PlaySender *sender, uint32_t paused);
// Drops what a started sender has not taken from its source's ring: the
// ring is cleared up to the source's produced position and the sender
// continues from there, its wire positions unbroken. A reset calls it, so
// that discarded audio is not sent and a close need not wait for it.
void playSenderDiscard(PlaySender *sender);
CaptureReceiver *captureReceiverCreate(RecordSink *owner, SOCKET socket, uint32_t serverAddress,
                                       uint32_t timebaseRate);
void captureReceiverClose(CaptureReceiver *receiver);
