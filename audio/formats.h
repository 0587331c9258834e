// Wire formats and sample rings.
//
// Audio inside the driver is signed 16-bit linear PCM at the application's
// rate and channel count, kept in one SampleRing per endpoint. On the wire
// it travels in one of the eighteen formats of wireFormats, converted when a
// packet is built or received (audio/convert).
//
// Nothing here keeps a lock: the callers serialise their use of a ring.
#pragma once

#include <cstdint>

#include "platform/platform.h"

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
constexpr int WIRE_FORMAT_COUNT = 18;              // rows before the terminating one
extern const uint32_t wireRates[WIRE_RATE_COUNT];  // Hz, by rate index
// The coded audio one datagram carries, bytes at most: what the encoders
// write and the rows' packets are sized for.
constexpr uint32_t WIRE_PAYLOAD_MAX = 1400;
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
