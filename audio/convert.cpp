// The rate converter, the ring reads and writes through it, and the coders
// of the three wire kinds.
#include "audio/convert.h"

#include <gsm.h>

#include <cassert>
#include <cstring>

#include "audio/formats.h"
#include "audio/wide.h"
#include "platform/bytes.h"

// The vector kernel: x86 (either word size) with AVX2 and FMA, chosen at
// run time. On Windows the compiler cannot align the stack to 32 bytes, yet
// may spill AVX registers there with aligned moves; this file is assembled
// with every aligned vector move made unaligned (-muse-unaligned-vector-move,
// in the top CMakeLists.txt), which costs nothing on aligned data and
// cannot fault on unaligned data.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define RS_VECTOR_KERNEL 1
#include <immintrin.h>
#endif

// A datagram's payload, bytes: what the encoders write at most.
static constexpr uint32_t PAYLOAD_MAX = 1400;
// Filter outputs are limited to this magnitude (not -32768).
static constexpr float OUTPUT_LIMIT = 32767.0f;
// Positions below 2^42 (1024 timebase frames in 32.32) can be shifted left
// by 22 bits in 64-bit arithmetic.
static constexpr uint64_t SHIFT_SAFE = uint64_t(1) << 42;

void rsSetup(Resampler *rs, uint32_t timebase, uint32_t inRate, uint32_t outRate,
             uint32_t channels) {
  if (timebase == 0) timebase = 1;
  if (inRate == 0) inRate = 1;
  if (outRate == 0) outRate = 1;
  channels = channels == 2 ? 2 : 1;
  if (channels != rs->channels) {
    // The history is kept at one channel count; a new count starts silent.
    std::memset(rs->history, 0, sizeof rs->history);
    rs->historyPos = 0;
  }
  rs->timebase = timebase;
  rs->inRate = inRate;
  rs->outRate = outRate;
  rs->channels = channels;
  rs->inStep = ((uint64_t(timebase) << 32) + inRate / 2) / inRate;
  rs->outStep = ((uint64_t(timebase) << 32) + outRate / 2) / outRate;
  // The band ends at the lower rate's Nyquist frequency (times the table's
  // cutoff), or lower while a change of input rate is under way.
  uint32_t lower = inRate < outRate ? inRate : outRate;
  if (rs->cutoffRate != 0 && rs->cutoffRate < lower) lower = rs->cutoffRate;
  if (lower < inRate) {
    uint64_t taps = uint64_t(inRate) * RS_TABLE_TAPS / lower;
    rs->taps = taps > RS_MAX_TAPS ? RS_MAX_TAPS : uint32_t(taps);
    rs->coefStep = uint32_t((uint64_t(lower) << 22) / inRate);
    // The table's taps sum to about inRate / lower per output frame.
    rs->gain = float(double(lower) / inRate);
  } else {
    // Upwards, or equal rates off the input's frames (a fractional delay).
    rs->taps = RS_TABLE_TAPS;
    rs->coefStep = uint32_t(1) << 22;  // 64 entries per input frame
    rs->gain = 1.0f;
  }
  for (uint32_t k = 0; k < rs->taps; k++) rs->tapOffset[k] = k * rs->coefStep;
  // Lanes past the last tap read the last tap's entry (and weigh nothing).
  for (uint32_t k = rs->taps; k < RS_MAX_TAPS; k++) rs->tapOffset[k] = rs->tapOffset[rs->taps - 1];
  rs->firstTapLimit = (uint32_t(RS_TABLE_ENTRIES) << 16) - 1 - rs->tapOffset[rs->taps - 1];
  rs->lowerStep = ((uint64_t(timebase) << 32) + lower / 2) / lower;
  rs->tableScale = double(uint64_t(1) << 22) / double(rs->lowerStep);
}

// The table position of the first tap for an output instant X (32.32
// timebase frames after the window's oldest frame), measured in `unit`
// (the step of the lower rate): G = 14 x 2^22 - X x 2^22 / unit. Normal
// running keeps X within half a window, where G lies in the table; a
// position moved from outside (a packet's start, a new output position) is
// clamped so that every tap reads inside the table.
static uint32_t firstTapPosition(const Resampler *rs, uint64_t x, uint64_t unit) {
  int64_t signedX = int64_t(x);
  uint64_t e;
  if (signedX <= 0) {
    e = 0;
  } else if (x < SHIFT_SAFE) {
    // A multiplication instead of a division per output frame: within
    // 2^42 the double holds x exactly, and the product is off by at most
    // one 2^-16 table entry.
    e = uint64_t(double(x) * rs->tableScale);
  } else {
    e = wideQuotient(wideProduct(x, uint64_t(1) << 22), unit);
  }
  uint32_t g = e >= RS_TABLE_CENTRE ? 0 : RS_TABLE_CENTRE - uint32_t(e);
  return g > rs->firstTapLimit ? rs->firstTapLimit : g;
}

// One filtered output frame: the window's taps (oldest first) weighted by
// the table interpolated at G + tapOffset[k].
static void filterFrame(const Resampler *rs, const float *window, uint32_t g, float *sums) {
  float left = 0, right = 0;
  const uint32_t taps = rs->taps;
  if (rs->channels == 2) {
    for (uint32_t k = 0; k < taps; k++) {
      uint32_t at = g + rs->tapOffset[k];
      uint32_t entry = at >> 16;
      float c = resampleCoefs[entry] + float(at & 0xFFFF) * (1.0f / 65536) * resampleSlopes[entry];
      left += c * window[2 * k];
      right += c * window[2 * k + 1];
    }
  } else {
    for (uint32_t k = 0; k < taps; k++) {
      uint32_t at = g + rs->tapOffset[k];
      uint32_t entry = at >> 16;
      float c = resampleCoefs[entry] + float(at & 0xFFFF) * (1.0f / 65536) * resampleSlopes[entry];
      left += c * window[k];
    }
  }
  sums[0] = left;
  sums[1] = right;
}

#ifdef RS_VECTOR_KERNEL
// Eight taps' coefficients from k: the same interpolation as the portable
// kernel, with the table read by gathers.
__attribute__((target("avx2,fma"))) static inline __m256 coefficients8(const Resampler *rs,
                                                                        __m256i first, uint32_t k) {
  __m256i at = _mm256_add_epi32(first, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rs->tapOffset + k)));
  __m256i entry = _mm256_srli_epi32(at, 16);
  __m256 fraction = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(at, _mm256_set1_epi32(0xFFFF))),
                                  _mm256_set1_ps(1.0f / 65536));
  __m256 c = _mm256_i32gather_ps(resampleCoefs, entry, 4);
  __m256 slope = _mm256_i32gather_ps(resampleSlopes, entry, 4);
  return _mm256_fmadd_ps(fraction, slope, c);
}

__attribute__((target("avx2,fma"))) static void filterFrameVector(const Resampler *rs,
                                                                   const float *window, uint32_t g,
                                                                   float *sums) {
  const uint32_t taps = rs->taps;
  const __m256i first = _mm256_set1_epi32(int(g));
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  float lanes[8];
  uint32_t k = 0;
  float left = 0, right = 0;
  if (rs->channels == 2) {
    // Interleaved history: each coefficient weighs a left and a right sample.
    const __m256i low = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i high = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    for (; k + 8 <= taps; k += 8) {
      __m256 c = coefficients8(rs, first, k);
      acc0 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, low), _mm256_loadu_ps(window + 2 * k), acc0);
      acc1 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, high), _mm256_loadu_ps(window + 2 * k + 8), acc1);
    }
    _mm256_storeu_ps(lanes, _mm256_add_ps(acc0, acc1));
    left = (lanes[0] + lanes[2]) + (lanes[4] + lanes[6]);
    right = (lanes[1] + lanes[3]) + (lanes[5] + lanes[7]);
  } else {
    for (; k + 16 <= taps; k += 16) {
      acc0 = _mm256_fmadd_ps(coefficients8(rs, first, k), _mm256_loadu_ps(window + k), acc0);
      acc1 = _mm256_fmadd_ps(coefficients8(rs, first, k + 8), _mm256_loadu_ps(window + k + 8), acc1);
    }
    for (; k + 8 <= taps; k += 8) {
      acc0 = _mm256_fmadd_ps(coefficients8(rs, first, k), _mm256_loadu_ps(window + k), acc0);
    }
    if (k < taps) {
      // The last taps short of eight: lanes past the window load nothing
      // and weigh nothing. tapOffset has room for the whole vector.
      __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
      __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(taps - k)), lane);
      __m256 c = _mm256_and_ps(coefficients8(rs, first, k), _mm256_castsi256_ps(live));
      acc1 = _mm256_fmadd_ps(c, _mm256_maskload_ps(window + k, live), acc1);
      k = taps;
    }
    _mm256_storeu_ps(lanes, _mm256_add_ps(acc0, acc1));
    left = ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  }
  for (; k < taps; k++) {  // the last taps short of eight (stereo)
    uint32_t at = g + rs->tapOffset[k];
    uint32_t entry = at >> 16;
    float c = resampleCoefs[entry] + float(at & 0xFFFF) * (1.0f / 65536) * resampleSlopes[entry];
    left += c * window[2 * k];
    right += c * window[2 * k + 1];
  }
  sums[0] = left;
  sums[1] = right;
}
#endif

// -1 until the first use decides; then 1 for the vector kernel, 0 for the
// portable one. Written only with drvLock held.
static int vectorKernel = -1;
static int portableForced;

int rsVectorKernel(void) {
#ifdef RS_VECTOR_KERNEL
  if (vectorKernel < 0) {
    __builtin_cpu_init();
    vectorKernel = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }
  return vectorKernel && !portableForced;
#else
  return 0;
#endif
}

void rsForcePortable(int force) { portableForced = force; }

static void filterFrameAny(const Resampler *rs, const float *window, uint32_t g, float *sums,
                           int vector) {
#ifdef RS_VECTOR_KERNEL
  if (vector) {
    filterFrameVector(rs, window, g, sums);
    return;
  }
#endif
  filterFrame(rs, window, g, sums);
}

static int16_t limitSample(float v) {
  if (v > OUTPUT_LIMIT) v = OUTPUT_LIMIT;
  if (v < -OUTPUT_LIMIT) v = -OUTPUT_LIMIT;
  return int16_t(v);  // truncation toward zero
}

// Whether the converter copies: equal rates, and output instants on the
// input's frames. A stream that reaches equal rates with a fraction of a
// frame left by a filtered stretch keeps filtering (a fractional delay), so
// that its instants run on unbroken.
static bool rsCopies(const Resampler *rs) {
  if (rs->inRate != rs->outRate || rs->neverCopy || rs->cutoffRate || rs->inStep == 0) return false;
  int64_t apart = int64_t(rs->inTime - rs->outTime);
  if (apart < 0) apart = -apart;
  return uint64_t(apart) % rs->inStep == 0;
}

// Frames that a filtered stretch took in ahead of its output (the half
// window of its lookahead) when the rates have become equal: they are in
// the history only, stored exactly, and are handed out from there before
// any new input, so that none is lost and the output positions stay those
// of the input. Returns the frames written, at most room.
static uint32_t copyLookahead(Resampler *rs, int16_t *output, uint32_t room) {
  if (int64_t(rs->inTime - rs->outTime) <= 0 || rs->outStep == 0) return 0;
  uint64_t ahead = (rs->inTime - rs->outTime) / rs->outStep;
  // The history holds RS_HISTORY_FRAMES frames; a filtered stretch runs at
  // most half of its longest window ahead.
  if (ahead > RS_HISTORY_FRAMES - 1) ahead = RS_HISTORY_FRAMES - 1;
  const uint32_t channels = rs->channels;
  uint32_t n = ahead < room ? uint32_t(ahead) : room;
  for (uint32_t i = 0; i < n; i++) {
    // The frame `back` frames before the next input frame.
    uint32_t back = uint32_t(ahead) - i;
    const float *frame = rs->history + rs->historyPos + RS_HISTORY - back * channels;
    // Limited: the first frame after a change of input rate is stored
    // weighted, and may lie beyond the 16-bit range.
    for (uint32_t c = 0; c < channels; c++) *output++ = limitSample(frame[c]);
  }
  rs->outTime += n * rs->outStep;
  return n;
}

// Equal rates: a plain copy. The history is kept up to date as well, so
// that a later change to a filtered row starts from the true recent input.
// Input timed before the output position (a packet that starts behind what
// was already made: a duplicate or a late one) makes no output, as in the
// filtered path, and only enters the history; copied anyway it would run
// the output position ever further ahead of the input.
static void copyEqualRates(Resampler *rs, const int16_t *input, int16_t *output, uint32_t *inCount,
                           uint32_t *outCount) {
  const uint32_t channels = rs->channels;
  uint32_t early = copyLookahead(rs, output, *outCount);
  output += SIZE_T(early) * channels;
  uint32_t room = *outCount - early;
  uint32_t skip = 0;
  if (int64_t(rs->outTime - rs->inTime) > 0 && rs->inStep != 0) {
    uint64_t behind = (rs->outTime - rs->inTime + rs->inStep - 1) / rs->inStep;
    skip = behind < *inCount ? uint32_t(behind) : *inCount;
  }
  uint32_t n = *inCount - skip < room ? *inCount - skip : room;
  std::memcpy(output, input + SIZE_T(skip) * channels, SIZE_T(n) * channels * sizeof(int16_t));
  uint32_t pos = rs->historyPos;
  for (uint32_t i = 0; i < skip + n; i++) {
    for (uint32_t c = 0; c < channels; c++) {
      rs->history[pos + c] = rs->history[pos + c + RS_HISTORY] = float(input[i * channels + c]);
    }
    pos += channels;
    if (pos >= RS_HISTORY) pos = 0;
  }
  rs->historyPos = pos;
  rs->inTime += (skip + n) * rs->inStep;
  rs->outTime += n * rs->outStep;
  *inCount = skip + n;
  *outCount = early + n;
}

void rsRun(Resampler *rs, const int16_t *input, int16_t *output, uint32_t *inCount,
           uint32_t *outCount) {
  if (rsCopies(rs)) {
    copyEqualRates(rs, input, output, inCount, outCount);
    return;
  }
  const uint32_t channels = rs->channels;
  const uint64_t unit = rs->lowerStep;
  const uint64_t span = uint64_t(rs->taps) * rs->inStep;
  uint64_t x = rs->outTime - rs->inTime + span;  // output instant after the oldest tap
  uint64_t middle = rs->inTime - span / 2;       // outputs up to here have their window
  const int64_t half = int64_t(span / 2);
  // How far back in the history a window may reach: the frames before the
  // one just stored.
  const uint64_t maxBack = RS_HISTORY_FRAMES - 1 - rs->taps;
  uint32_t pos = rs->historyPos;
  uint32_t consumed = 0, produced = 0, room = *outCount;
  const int vector = rsVectorKernel();
  while (consumed < *inCount) {
    const int16_t *frame = input + SIZE_T(consumed) * channels;
    float weight = rs->joinWeight != 0 ? rs->joinWeight : 1.0f;
    for (uint32_t c = 0; c < channels; c++) {
      rs->history[pos + c] = rs->history[pos + c + RS_HISTORY] = weight * float(frame[c]);
    }
    if (room == 0) break;
    // The window: the taps frames before the one just stored, contiguous
    // in the mirrored history.
    const float *window = rs->history + pos + RS_HISTORY - rs->taps * channels;
    while (room > 0 && int64_t(rs->outTime - middle) <= 0) {
      const float *frames = window;
      uint64_t at = x;
      if (int64_t(x) <= half - int64_t(rs->inStep)) {
        // An instant more than an input frame before the window's centre:
        // after a change to a shorter window the input stands a longer
        // lookahead ahead, and the instant's own window lies further back
        // in the history. Reading it there keeps the output continuous.
        uint64_t back = uint64_t(half - int64_t(x)) / rs->inStep;
        if (back > maxBack) back = maxBack;
        frames -= back * channels;
        at += back * rs->inStep;
      }
      float sums[2];
      filterFrameAny(rs, frames, firstTapPosition(rs, at, unit), sums, vector);
      for (uint32_t c = 0; c < channels; c++) *output++ = limitSample(sums[c] * rs->gain);
      rs->outTime += rs->outStep;
      x += rs->outStep;
      room--;
      produced++;
    }
    if (room == 0) break;
    pos += channels;
    if (pos >= RS_HISTORY) pos = 0;
    rs->joinWeight = 0;
    rs->inTime += rs->inStep;
    x -= rs->inStep;
    middle += rs->inStep;
    consumed++;
  }
  rs->historyPos = pos;
  *inCount = consumed;
  *outCount = produced;
}

void rsClearHistory(Resampler *rs) {
  std::memset(rs->history, 0, sizeof rs->history);
  rs->historyPos = 0;
}

uint32_t rsInPos(const Resampler *rs) { return uint32_t(rs->inTime >> 32); }
uint32_t rsOutPos(const Resampler *rs) { return uint32_t(rs->outTime >> 32); }
void rsSetOutPos(Resampler *rs, uint32_t position) { rs->outTime = uint64_t(position) << 32; }

uint32_t rsLookahead(const Resampler *rs, uint32_t position) {
  return rsCopies(rs) ? position : position + (rs->taps + 1) / 2;
}

uint32_t rsOutputAvailable(const Resampler *rs, uint32_t n) {
  if (rsCopies(rs)) return n;
  if (n == 0 || rs->outStep == 0) return 0;
  // Exactly as rsRun counts: an output is made once it lies half a window
  // (span / 2) behind the newest input frame stored, and the last of n
  // frames is n - 1 steps past inTime. An estimate one too high would have
  // the GSM encoder convert a frame short of a whole one and drop it.
  uint64_t span = uint64_t(rs->taps) * rs->inStep;
  Wide v = wideSub(
      wideAdd(wideFromSigned(int64_t(rs->inTime - rs->outTime)), wideProduct(n - 1, rs->inStep)),
      wideProduct(span / 2, 1));
  if (wideNegative(v)) return 0;
  uint64_t whole = wideQuotient(v, rs->outStep);
  return whole >= 0xFFFFFFFF ? 0xFFFFFFFFu : uint32_t(whole + 1);
}

uint32_t rsStartPacket(Resampler *rs, uint32_t start) {
  // A packet that starts where the input stands continues it: the fraction
  // of a timebase frame that the input had reached is kept, so that the
  // boundaries of a stream's packets carry no timing error.
  if (uint32_t(rs->inTime >> 32) != start) rs->inTime = uint64_t(start) << 32;
  Wide v = wideFromSigned(int64_t(rs->inTime - rs->outTime));
  if (!rsCopies(rs)) v = wideSub(v, wideProduct(rs->taps / 2 + 1, rs->inStep));
  if (wideNegative(v) || wideIsZero(v) || rs->outStep == 0) return 0;
  uint64_t n = wideQuotient(v, rs->outStep);
  rs->outTime += n * rs->outStep;
  return n > 0xFFFFFFFF ? 0xFFFFFFFFu : uint32_t(n);
}

uint32_t rsPlacePacket(Resampler *rs, uint32_t timebase, uint32_t inRate, SampleRing *ring,
                       uint32_t start, bool first, uint32_t writePosition, uint32_t readPosition) {
  const uint32_t channels = ring->channels == 2 ? 2 : 1;
  // The band of a change ends once the old frames weigh nothing, after
  // this packet's start is placed with the window the last one had.
  bool widen = rs->cutoffRate != 0 && int64_t(rs->outTime - rs->cutoffUntil) >= 0;
  // A change of input rate of a converter already in use, on the same
  // timebase, channels and output rate.
  bool change = !first && rs->inRate != 0 && rs->inRate != inRate && rs->timebase == timebase &&
                rs->channels == channels && rs->outRate == ring->rate;
  if (!change) rsSetup(rs, timebase, inRate, ring->rate, channels);
  if (first) rsSetOutPos(rs, start);
  uint32_t gap = rsStartPacket(rs, start);
  // The ring holds no more than its length ahead of the reader.
  if (gap > ring->frames) gap = ring->frames;
  if (gap > 0) ringRepeat(ring, writePosition, gap);
  if (change) {
    // Both spacings are filtered with one band, the lower rate's, until
    // the old frames weigh nothing: with one kernel the two shares add up
    // to the signal across the change.
    uint32_t lowerIn = inRate < rs->inRate ? inRate : rs->inRate;
    Resampler old = *rs;
    old.neverCopy = 1;  // an exact copy has its tail filtered too
    old.cutoffRate = lowerIn;
    rsSetup(&old, timebase, old.inRate, ring->rate, channels);
    // A whole window of silence: the last outputs it makes weigh no old
    // frame any more.
    static const int16_t silence[RS_MAX_TAPS * 2] = {};
    ringMixConverted(ring, writePosition + gap, silence, old.taps, readPosition, &old);
    rsClearHistory(rs);
    rs->cutoffRate = lowerIn;
    rs->cutoffUntil = old.outTime;
    rsSetup(rs, timebase, inRate, ring->rate, channels);
    // Each frame stands for the stretch of time around it, half a spacing
    // either way: the old frames' ends half an old spacing after the last,
    // and the first new frame's begins half a new spacing before it. The
    // first new frame is weighed by the share of its stretch that the old
    // frames left: less where they overlap it, more where they fall short.
    rs->joinWeight = float((1.0 + double(inRate) / old.inRate) / 2);
  } else if (widen) {
    rs->cutoffRate = 0;
    rsSetup(rs, timebase, inRate, ring->rate, channels);
  }
  return gap;
}

void ringReadConverted(SampleRing *ring, uint32_t position, int16_t *output, uint32_t *inCount,
                       uint32_t *outCount, Resampler *rs) {
  const uint32_t channels = ring->channels;
  uint32_t index = position % ring->frames;
  uint32_t inLeft = *inCount, outLeft = *outCount;
  while (inLeft > 0 && outLeft > 0) {
    uint32_t in = ring->frames - index;
    if (in > inLeft) in = inLeft;
    uint32_t out = outLeft;
    int16_t *at = ringSamples(ring) + SIZE_T(index) * channels;
    rsRun(rs, at, output, &in, &out);
    std::memset(at, 0, SIZE_T(in) * channels * sizeof(int16_t));
    index += in;
    if (index == ring->frames) index = 0;
    output += SIZE_T(out) * channels;
    inLeft -= in;
    outLeft -= out;
    if (in == 0 && out == 0) break;
  }
  *inCount -= inLeft;
  *outCount -= outLeft;
}

// Mixes count frames into the ring from position, wrapping.
static void ringMix(SampleRing *ring, uint32_t position, const int16_t *block, uint32_t count) {
  while (count > 0) {
    uint32_t span;
    int16_t *at = ringSpan(ring, position, &span);
    uint32_t n = count < span ? count : span;
    mixSaturating(at, block, n * ring->channels);
    block += SIZE_T(n) * ring->channels;
    position += n;
    count -= n;
  }
}

uint32_t ringMixConverted(SampleRing *ring, uint32_t position, const int16_t *input,
                          uint32_t count, uint32_t readPosition, Resampler *rs) {
  const uint32_t channels = ring->channels;
  uint32_t p = position, result = 0;
  while (count > 0) {
    int16_t block[RS_BLOCK_FRAMES * 2];
    uint32_t in = count, made = RS_BLOCK_FRAMES;
    rsRun(rs, input, block, &in, &made);
    input += SIZE_T(in) * channels;
    count -= in;
    result += made;
    // Overrun: the ring never holds more than its length ahead of the reader.
    uint32_t dropped = 0;
    int32_t over = int32_t(p + made - ring->frames - readPosition);
    if (over >= 0) dropped = uint32_t(over) < made ? uint32_t(over) : made;
    uint32_t keep = made - dropped;
    // Lateness: what the reader has passed is skipped.
    uint32_t skipped = 0;
    if (int32_t(p - readPosition) < 0) {
      skipped = readPosition - p;
      if (skipped > keep) skipped = keep;
    }
    ringMix(ring, p + skipped, block + SIZE_T(skipped) * channels, keep - skipped);
    p += made;
    if (in == 0 && made == 0) break;
  }
  return result;
}

void mixSaturating(int16_t *destination, const int16_t *source, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    int32_t sum = int32_t(destination[i]) + source[i];
    if (sum > 32767) sum = 32767;
    if (sum < -32768) sum = -32768;
    destination[i] = int16_t(sum);
  }
}

// The sample a wire frame carries: both channels of a stereo ring frame for
// a stereo row, their mean for a mono one.
typedef uint32_t (*EmitFn)(uint8_t *payload, int16_t value);

static uint32_t emitCompanded(uint8_t *payload, int16_t value) {
  payload[0] = ulawEncode[uint16_t(value) >> 3];
  return 1;
}

static uint32_t emitLinear16(uint8_t *payload, int16_t value) {
  payload[0] = uint8_t(uint16_t(value));
  payload[1] = uint8_t(uint16_t(value) >> 8);
  return 2;
}

// The shared loop of the sample-wise encoders: blocks of at most 512
// converted frames, as long as input is left and the payload has room for
// a whole frame.
static uint32_t encodeSamples(SampleRing *ring, uint32_t position, uint32_t maxInput,
                              uint8_t *payload, uint16_t *wireFrames, int stereo, Resampler *rs,
                              EmitFn emit, uint32_t sampleBytes) {
  const uint32_t channels = ring->channels;
  const uint32_t frameBytes = sampleBytes * (stereo ? 2 : 1);
  uint32_t bytes = 0, frames = 0, left = maxInput;
  while (left > 0) {
    uint32_t room = (PAYLOAD_MAX - bytes) / frameBytes;
    if (room == 0) break;
    if (room > RS_BLOCK_FRAMES) room = RS_BLOCK_FRAMES;
    int16_t block[RS_BLOCK_FRAMES * 2];
    uint32_t in = left, out = room;
    ringReadConverted(ring, position, block, &in, &out, rs);
    position += in;
    left -= in;
    frames += out;
    for (uint32_t i = 0; i < out; i++) {
      int16_t f = block[i * channels];
      int16_t g = channels == 2 ? block[i * channels + 1] : f;
      if (stereo) {
        bytes += emit(payload + bytes, f);
        bytes += emit(payload + bytes, g);
      } else {
        bytes += emit(payload + bytes, int16_t((int32_t(f) + g) >> 1));
      }
    }
    if (in == 0 && out == 0) break;
  }
  *wireFrames = uint16_t(frames);
  return bytes;
}

uint32_t encodeCompanded(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                         uint16_t *wireFrames, int stereo, Resampler *rs) {
  return encodeSamples(ring, position, maxInput, payload, wireFrames, stereo, rs, emitCompanded, 1);
}

uint32_t encodeLinear16(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                        uint16_t *wireFrames, int stereo, Resampler *rs) {
  return encodeSamples(ring, position, maxInput, payload, wireFrames, stereo, rs, emitLinear16, 2);
}

static gsm gsmState(GsmCoder *state) {
  if (!*state) *state = gsm_create();
  return *state;
}

void gsmCoderFree(GsmCoder *coder) {
  if (*coder) gsm_destroy(*coder);
  *coder = nullptr;
}

uint32_t encodeGsm(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                   uint16_t *wireFrames, Resampler *rs, GsmCoder *state) {
  const uint32_t channels = ring->channels;
  uint32_t bytes = 0, frames = 0, left = maxInput;
  gsm coder = gsmState(state);
  while (coder && left > 0 && bytes + GSM_FRAME_BYTES <= PAYLOAD_MAX &&
         rsOutputAvailable(rs, left) >= GSM_FRAME_SAMPLES) {
    int16_t block[GSM_FRAME_SAMPLES * 2];
    uint32_t in = left, out = GSM_FRAME_SAMPLES;
    ringReadConverted(ring, position, block, &in, &out, rs);
    if (out < GSM_FRAME_SAMPLES) break;
    gsm_signal samples[GSM_FRAME_SAMPLES];
    for (uint32_t i = 0; i < GSM_FRAME_SAMPLES; i++) {
      samples[i] = channels == 2 ? gsm_signal((int32_t(block[2 * i]) + block[2 * i + 1]) >> 1)
                                 : block[i];
    }
    gsm_encode(coder, samples, payload + bytes);
    bytes += GSM_FRAME_BYTES;
    frames += GSM_FRAME_SAMPLES;
    position += in;
    left -= in;
  }
  *wireFrames = uint16_t(frames);
  return bytes;
}

// The shared loop of the sample-wise decoders.
static uint32_t decodeSamples(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                              uint32_t readPosition, Resampler *rs, uint32_t sampleBytes) {
  const uint32_t wireChannels = packet->stereo ? 2 : 1;
  if (uint64_t(packet->wireFrames) * wireChannels * sampleBytes > packet->length) return 0;
  uint32_t total = 0;
  for (uint32_t done = 0; done < packet->wireFrames;) {
    uint32_t n = packet->wireFrames - done;
    if (n > RS_BLOCK_FRAMES) n = RS_BLOCK_FRAMES;
    int16_t block[RS_BLOCK_FRAMES * 2];
    for (uint32_t i = 0; i < n; i++) {
      const uint8_t *at = packet->bytes + SIZE_T(done + i) * wireChannels * sampleBytes;
      int16_t g = sampleBytes == 1 ? ulawDecode[at[0]] : int16_t(load16(at));
      int16_t h = g;
      if (wireChannels == 2) h = sampleBytes == 1 ? ulawDecode[at[1]] : int16_t(load16(at + 2));
      if (ring->channels == 2) {
        block[2 * i] = g;
        block[2 * i + 1] = h;
      } else {
        block[i] = int16_t((int32_t(g) + h) >> 1);
      }
    }
    uint32_t made = ringMixConverted(ring, writePosition, block, n, readPosition, rs);
    writePosition += made;
    total += made;
    done += n;
  }
  return total;
}

uint32_t decodeCompanded(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                         uint32_t readPosition, Resampler *rs) {
  return decodeSamples(packet, writePosition, ring, readPosition, rs, 1);
}

uint32_t decodeLinear16(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                        uint32_t readPosition, Resampler *rs) {
  return decodeSamples(packet, writePosition, ring, readPosition, rs, 2);
}

uint32_t decodeGsm(const AudioPayload *packet, uint32_t writePosition, SampleRing *ring,
                   uint32_t readPosition, Resampler *rs, GsmCoder *state) {
  if (packet->wireFrames % GSM_FRAME_SAMPLES != 0) return 0;
  uint32_t count = packet->wireFrames / GSM_FRAME_SAMPLES;
  if (uint64_t(count) * GSM_FRAME_BYTES > packet->length) return 0;
  gsm decoder = gsmState(state);
  if (!decoder) return 0;
  uint32_t total = 0;
  for (uint32_t f = 0; f < count; f++) {
    gsm_byte frame[GSM_FRAME_BYTES];
    std::memcpy(frame, packet->bytes + SIZE_T(f) * GSM_FRAME_BYTES, GSM_FRAME_BYTES);
    gsm_signal samples[GSM_FRAME_SAMPLES];
    // A frame without the signature decodes to whatever the library makes
    // of it; its result is not examined.
    gsm_decode(decoder, frame, samples);
    int16_t block[GSM_FRAME_SAMPLES * 2];
    for (uint32_t i = 0; i < GSM_FRAME_SAMPLES; i++) {
      if (ring->channels == 2) {
        block[2 * i] = block[2 * i + 1] = samples[i];
      } else {
        block[i] = samples[i];
      }
    }
    uint32_t made = ringMixConverted(ring, writePosition, block, GSM_FRAME_SAMPLES, readPosition, rs);
    writePosition += made;
    total += made;
  }
  return total;
}
