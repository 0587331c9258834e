// Sample and rate conversion between a ring and the payload of a datagram.
//
// The ring holds signed 16-bit samples at the application's rate and
// channel count; a wire format has its own coding, rate and channel count.
// The rate converter always works at the ring's channel count; the encoders
// and decoders convert channels on their way between ring and wire.
//
// The converter is a windowed-sinc filter read from one table of 28 taps of
// 64 entries. The table position of a tap is a 16.16 fixed-point entry
// number; the coefficient is interpolated linearly between the entry and the
// next. When upsampling a tap advances 64 entries per input frame, so the
// filter's cutoff sits at the input's Nyquist frequency (times the table's
// cutoff); when downsampling it advances 64 x outRate / inRate entries, which
// stretches the window over 28 output frames and lowers the cutoff with the
// output rate. See audio/gentables.cpp for the table's design.
//
// The rates are fixed between setups and their ratio rational, so the
// output instants fall on a grid of phases per input frame (80 for 44100 to
// 8000 Hz, 441 for 8000 to 44100 Hz). rsSetup fills a bank with every
// phase's coefficients, interpolated from the table as above, and each
// output is then a plain dot product, eight outputs at a time on the vector
// kernel. Instants off the grid or outside the bank (the start of a
// stream, a change of rate) and pairs whose bank would not fit take the
// interpolated path.
//
// Positions are 32.32 fixed point in 64-bit integers, in frames of a chosen
// timebase; only the filter sums use floating point. Everything here runs on
// the I/O thread with drvLock held, in bounded blocks on the stack.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct SampleRing;
struct WireFormat;

constexpr int RS_TABLE_ENTRIES = 1792;          // 28 taps x 64 entries
constexpr int RS_TABLE_TAPS = 28;               // taps at the lower rate
constexpr uint32_t RS_TABLE_CENTRE = 58720256;  // 14 x 2^22: entry 896 in 16.16
// The longest window: the fastest ring the devices open (192000 Hz) to the
// slowest wire rate (8000 Hz) gives 28 x 24 taps. Every window of a faster
// ring than the table is stretched over all of them, so that the filter
// keeps its shape and its cutoff at any ratio.
constexpr uint32_t RS_MAX_TAPS = 672;
// History frames: one more than the longest window, so that the oldest tap
// never reads the slot of the frame just stored.
constexpr uint32_t RS_HISTORY_FRAMES = RS_MAX_TAPS + 1;
constexpr uint32_t RS_HISTORY = RS_HISTORY_FRAMES * 2;  // samples, stereo
// Zero samples after the mirrored history: a filter that reads whole
// vectors may run up to 7 stereo frames past a window, where the
// coefficients are 0, and reads finite zeros there.
constexpr uint32_t RS_HISTORY_PAD = 16;
// The coefficient bank's room, in floats (64 KiB): every pair of wire rates
// fits except downsampling to 11025 Hz from 16000, 32000 and 48000 Hz,
// which keeps the interpolated path.
constexpr uint32_t RS_BANK_FLOATS = 16384;
// Frames per block that the encoders and decoders convert at once.
constexpr uint32_t RS_BLOCK_FRAMES = 512;
constexpr uint32_t GSM_FRAME_SAMPLES = 160;  // 20 ms at 8000 Hz
constexpr uint32_t GSM_FRAME_BYTES = 33;

// The table (RS_TABLE_ENTRIES + 1 entries, the last a guard) and the
// difference of each entry to the next (audio/tables.cpp, generated).
extern const float resampleCoefs[RS_TABLE_ENTRIES + 1];
extern const float resampleSlopes[RS_TABLE_ENTRIES];
// Companding of wire kind 1: code to sample, and sample bits >> 3 to code.
extern const int16_t ulawDecode[256];
extern const uint8_t ulawEncode[8192];

// The rate converter of one play sender or capture receiver; zero-filled at
// creation, so its positions start at 0 and its history is silence.
struct Resampler {
  uint64_t inTime;    // 32.32 timebase frames: the next input frame to consume
  uint64_t outTime;   // 32.32 timebase frames: the next output frame to produce
  uint64_t inStep;    // 32.32 timebase frames per input frame
  uint64_t outStep;   // 32.32 timebase frames per output frame
  uint32_t channels;  // 1 or 2, in and out
  uint32_t timebase;  // Hz
  uint32_t inRate;    // Hz
  uint32_t outRate;   // Hz
  // Recent input samples, channels interleaved, stored twice (at i and at
  // i + RS_HISTORY) so that every window is one contiguous run that ends
  // just before historyPos + RS_HISTORY.
  float history[2 * RS_HISTORY + RS_HISTORY_PAD];
  uint32_t historyPos;  // samples: where the next input frame goes, below RS_HISTORY
  float gain;           // applied to every filtered output
  uint32_t taps;        // input frames in one window, at most RS_MAX_TAPS
  uint32_t coefStep;    // 16.16 table entries per tap
  // Table position of each tap relative to the first: k x coefStep, 16.16
  // entries; recomputed by rsSetup.
  uint32_t tapOffset[RS_MAX_TAPS];
  // Highest table position of the first tap such that the last tap and the
  // entry after it stay in the table.
  uint32_t firstTapLimit;
  // 2^22 divided by the step of the lower rate: turns a distance in 32.32
  // timebase frames into 10.22 frames of the lower rate.
  double tableScale;
  // 1: filters even at equal rates on the input's frames, where it would
  // otherwise copy (the flush of a change of input rate).
  uint32_t neverCopy;
  // The step of the rate whose Nyquist frequency ends the band, 32.32.
  uint64_t lowerStep;
  // While a received stream changes its input rate: the band ends at this
  // rate's Nyquist frequency (0: no such limit) until the output reaches
  // cutoffUntil (32.32 timebase frames).
  uint32_t cutoffRate;
  uint64_t cutoffUntil;
  // The weight of the next input frame, the first after a change of input
  // rate; 0 means 1.
  float joinWeight;
  // The coefficient bank. The rates are fixed between setups and their
  // ratio rational, so the output instants fall on a grid of bankPhases
  // phases per input frame; the bank holds every grid phase's coefficients
  // (gain included), computed by rsSetup from the table with the same
  // interpolation, and an output on the grid is a straight dot product.
  // A grid phase is an instant of phaseScale x X grid steps (X as in the
  // filter: after the window's oldest frame); bank row i belongs to grid
  // step bankFirst + i. bankRows 0: no bank (the interpolated path).
  uint32_t bankPhases;  // grid steps per input frame
  uint32_t bankStride;  // floats per row: taps rounded up to 8
  uint32_t bankRows;
  uint32_t bankOutSteps;  // grid steps per output frame
  int64_t bankFirst;
  // 32.32 timebase frames by which the outputs' instants lie off the grid
  // (a fraction that a change of input rate carried over); the rows are
  // built at the grid's instants moved by it.
  int64_t bankOffset, builtOffset;
  double phaseScale;   // grid steps per 32.32 timebase frame
  double stepInverse;  // 1 / inStep
  // What the bank was built for; rsSetup rebuilds it only when these change.
  uint64_t bankInStep, bankOutStep, bankUnit;
  uint32_t bankTaps, bankCoefStep;
  float bankGain;
  float bank[RS_BANK_FLOATS];
};

// Sets rates, steps and the filter for the next conversions; positions and
// history carry over. Rates of 0 are taken as 1 Hz (nothing divides by 0).
void rsSetup(Resampler *rs, uint32_t timebase, uint32_t inRate, uint32_t outRate,
             uint32_t channels);
// Converts frames of input into output: copied at equal rates while the
// output instants fall on the input's frames, filtered otherwise. On entry *inCount is the frames
// available and *outCount the room in frames; on return they are the frames
// consumed and produced.
void rsRun(Resampler *rs, const int16_t *input, int16_t *output, uint32_t *inCount,
           uint32_t *outCount);
// Forgets the input history: the next outputs are filtered as if silence
// came before the next input frame. Positions stay.
void rsClearHistory(Resampler *rs);
uint32_t rsInPos(const Resampler *rs);   // inTime in whole timebase frames
uint32_t rsOutPos(const Resampler *rs);  // outTime in whole timebase frames
void rsSetOutPos(Resampler *rs, uint32_t position);
// The input position needed to produce output up to `position`: the
// filter's delay of half a window added when the rates differ.
uint32_t rsLookahead(const Resampler *rs, uint32_t position);
// Output frames that n more input frames allow.
uint32_t rsOutputAvailable(const Resampler *rs, uint32_t n);
// Places the next input frame at `start` (timebase frames), keeping the
// fraction when start is where the input already stands; returns the
// output frames between the previous output and this packet (a gap), and
// moves the output position past them.
uint32_t rsStartPacket(Resampler *rs, uint32_t start);

// A decoder's converter before a received packet: rates for the packet's
// inRate into the ring, and its start placed (rsStartPacket). A gap before
// the packet is filled by repeating the frame before writePosition (at most
// a ring); the frames filled are returned, and the packet's audio goes
// after them. With `first` the output position is set to the packet's
// start instead. When the input rate changes between two filtered rates,
// the frames of the old rate keep their own spacing: the old converter is
// run on over a window of silence and what it makes (the old frames' share
// of the outputs around the change) is mixed into the ring; the new rate
// starts from a silent history at the same output position, so its
// outputs add the new frames' share, and the change makes no click.
uint32_t rsPlacePacket(Resampler *rs, uint32_t timebase, uint32_t inRate, SampleRing *ring,
                       uint32_t start, bool first, uint32_t writePosition, uint32_t readPosition);

// Which filter kernel runs: 1 for the vector kernel (x86 with AVX2 and
// FMA, both word sizes, Linux and Windows), 0 for the portable one. The two may
// differ by 1 in an output sample (the sums add in another order).
// rsForcePortable(1) selects the portable kernel for the whole process, so
// that tests and benchmarks can compare them. Called with drvLock held.
int rsVectorKernel(void);
void rsForcePortable(int force);

// Playback read: converts ring audio from `position` into output, clearing
// the ring frames it consumes. Counts in and out as for rsRun.
void ringReadConverted(SampleRing *ring, uint32_t position, int16_t *output, uint32_t *inCount,
                       uint32_t *outCount, Resampler *rs);
// Recording write: converts count input frames (ring channels) and mixes
// them into the ring from `position`, skipping what is behind readPosition
// and dropping what would run more than a ring ahead of it. Returns the
// output frames produced, dropped ones included.
uint32_t ringMixConverted(SampleRing *ring, uint32_t position, const int16_t *input, uint32_t count,
                          uint32_t readPosition, Resampler *rs);
// Adds count samples of source into destination, saturating at the 16-bit
// limits.
void mixSaturating(int16_t *destination, const int16_t *source, uint32_t count);

// A GSM coder's state. Each frame is coded against the predictor and filter
// history of the frames before it, so every stream keeps its own: one
// state shared by two streams would code each against the other's history.
// Null until the first frame makes it; gsmCoderFree frees it and nulls it.
typedef struct gsm_state *GsmCoder;
void gsmCoderFree(GsmCoder *coder);

// Encoders: read at most maxInput ring frames from position through the
// resampler into payload; *wireFrames gets the frames coded. They return
// the payload bytes written. The payload must hold what maxInput frames
// make: at most 1400 bytes in a datagram, which the callers size for.
uint32_t encodeCompanded(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                         uint16_t *wireFrames, int stereo, Resampler *rs);
uint32_t encodeLinear16(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                        uint16_t *wireFrames, int stereo, Resampler *rs);
uint32_t encodeGsm(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                   uint16_t *wireFrames, Resampler *rs, GsmCoder *coder);

// A received packet as the decoders read it: the fields of its header that
// matter here and its payload.
struct AudioPayload {
  uint32_t wireFrames;   // frames coded in the payload
  uint32_t stereo;       // 1: two interleaved channels
  const uint8_t *bytes;  // the payload
  uint32_t length;       // payload bytes
};

// Decoders: mix the payload into the ring at writePosition (the reader is at
// readPosition). They return the ring frames produced. A payload shorter
// than its frame count needs decodes nothing.
uint32_t decodeCompanded(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                         uint32_t readPosition, Resampler *rs);
uint32_t decodeLinear16(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                        uint32_t readPosition, Resampler *rs);
uint32_t decodeGsm(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                   uint32_t readPosition, Resampler *rs, GsmCoder *coder);
