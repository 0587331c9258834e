// The rate converter, the ring reads and writes through it, and the coders
// of the three wire kinds.
#include "audio/convert.h"

#include <gsm.h>

#include <cassert>
#include <cmath>
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
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

// Filter outputs are limited to this magnitude (not -32768).
static constexpr float OUTPUT_LIMIT = 32767.0f;
// Positions below 2^42 (1024 timebase frames in 32.32) can be shifted left
// by 22 bits in 64-bit arithmetic.
static constexpr uint64_t SHIFT_SAFE = uint64_t(1) << 42;

static void buildBank(Resampler *rs);

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
  buildBank(rs);
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

// The table interpolated at a 16.16 entry position.
static inline float tableCoefficient(uint32_t at) {
  uint32_t entry = at >> 16;
  return resampleCoefs[entry] + float(at & 0xFFFF) * (1.0f / 65536) * resampleSlopes[entry];
}

// The bank row of the lowest phase that outputs use; the rows before and
// after the phases of one frame take instants that the rounding to the
// nearest phase moves across the window's edges.
static constexpr int64_t RS_BANK_LOWEST = 1;

static uint64_t greatestDivisor(uint64_t a, uint64_t b) {
  while (b != 0) {
    uint64_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// Grid steps per input frame that every output instant falls on, or 0 when
// there are too many for a bank. Positions start on whole timebase frames;
// an output advances the instant by inRate / outRate input frames and a
// timebase frame by inRate / timebase, so the grid is the least common
// multiple of the two fractions' denominators.
static uint64_t gridPhases(const Resampler *rs) {
  uint64_t outward = rs->outRate / greatestDivisor(rs->inRate, rs->outRate);
  uint64_t placed = rs->timebase / greatestDivisor(rs->inRate, rs->timebase);
  uint64_t phases = outward / greatestDivisor(outward, placed) * placed;
  return phases > RS_BANK_FLOATS ? 0 : phases;
}

// Fills the bank for the rates, taps and gain just set, unless it already
// holds them. Each row is what the interpolated path computes at that grid
// instant, gain included, and zeros up to the stride.
static void buildBank(Resampler *rs) {
  if (rs->bankRows != 0 && rs->bankTaps == rs->taps && rs->bankCoefStep == rs->coefStep &&
      rs->bankInStep == rs->inStep && rs->bankOutStep == rs->outStep &&
      rs->bankUnit == rs->lowerStep && rs->bankGain == rs->gain &&
      rs->bankOffset == rs->builtOffset) {
    return;
  }
  rs->builtOffset = rs->bankOffset;
  rs->bankRows = 0;
  rs->bankTaps = rs->taps;
  rs->bankCoefStep = rs->coefStep;
  rs->bankInStep = rs->inStep;
  rs->bankOutStep = rs->outStep;
  rs->bankUnit = rs->lowerStep;
  rs->bankGain = rs->gain;
  uint64_t phases = gridPhases(rs);
  const uint32_t stride = (rs->taps + 7) & ~7u;
  // Outputs are made at instants X in (H - inStep, H], H the upper half of
  // the window; the rows span those phases and one more either side, for
  // the rounding of an instant to its nearest phase.
  const uint64_t span = uint64_t(rs->taps) * rs->inStep;
  const uint64_t upper = span - span / 2;
  if (phases == 0 || rs->inStep == 0 || upper < rs->inStep ||
      (phases + 3) * stride > RS_BANK_FLOATS || upper >= SHIFT_SAFE) {
    return;
  }
  // The first row is one phase before the lowest an output uses: grid step
  // floor((upper - inStep) x phases / inStep) + 1, which is row
  // RS_BANK_LOWEST.
  const int64_t first = int64_t((upper - rs->inStep) * phases / rs->inStep) + 1 - RS_BANK_LOWEST;
  const uint32_t rows = uint32_t(phases) + 3;
  for (uint32_t i = 0; i < rows; i++) {
    // The grid instant, rounded to 32.32.
    double instant =
        double(first + int64_t(i)) * double(rs->inStep) / double(phases) + double(rs->bankOffset);
    uint64_t x = instant <= 0 ? 0 : uint64_t(instant + 0.5);
    uint32_t g = firstTapPosition(rs, x, rs->lowerStep);
    float *row = rs->bank + SIZE_T(i) * stride;
    for (uint32_t k = 0; k < stride; k++) {
      row[k] = k < rs->taps ? tableCoefficient(g + rs->tapOffset[k]) * rs->gain : 0.0f;
    }
  }
  rs->bankPhases = uint32_t(phases);
  rs->bankStride = stride;
  rs->bankFirst = first;
  rs->phaseScale = double(phases) / double(rs->inStep);
  rs->stepInverse = 1.0 / double(rs->inStep);
  // Whole: outRate / gcd divides the phases.
  rs->bankOutSteps = uint32_t(phases * rs->inRate / rs->outRate);
  rs->bankRows = rows;
}

// Moves the bank onto the instants the outputs fall on. The grid holds for
// a stream placed on whole timebase frames; a change of input rate keeps
// the fraction the old rate had reached, which may lie between two grid
// steps, and a bank rounded to the nearest would shift every output by up
// to half a step (and jump by that much where the interpolated path, which
// is exact, takes over). The offset holds until the next such change.
static void alignBank(Resampler *rs) {
  const uint64_t span = uint64_t(rs->taps) * rs->inStep;
  const double x = double(int64_t(rs->outTime - rs->inTime + span / 2 + (span - span / 2)));
  const double stepTime = double(rs->inStep) / rs->bankPhases;
  const double grid = std::floor((x - double(rs->bankOffset)) * rs->phaseScale + 0.5);
  double off = x - double(rs->bankOffset) - grid * stepTime;
  if (std::fabs(off) < 4096) return;  // on the grid: within 2^-20 of a frame
  off = x - std::floor(x / stepTime + 0.5) * stepTime;
  rs->bankOffset = int64_t(std::llround(off));
  buildBank(rs);
}

// The filter reads its input from planar runs of frames, one per channel
// (right is null for mono): a window is `taps` frames, oldest first.
//
// One filtered output frame the interpolated way: the window's taps
// weighted by the table interpolated at G + tapOffset[k].
static void filterFrame(const Resampler *rs, const float *left, const float *right, uint32_t g,
                        float *sums) {
  float l = 0, r = 0;
  const uint32_t taps = rs->taps;
  for (uint32_t k = 0; k < taps; k++) {
    float c = tableCoefficient(g + rs->tapOffset[k]);
    l += c * left[k];
    if (right) r += c * right[k];
  }
  sums[0] = l;
  sums[1] = r;
}

// One output frame from a bank row, whose coefficients carry the gain.
static void filterBanked(const float *left, const float *right, const float *row, uint32_t taps,
                         float *sums) {
  float l = 0, r = 0;
  if (right) {
    for (uint32_t k = 0; k < taps; k++) {
      l += row[k] * left[k];
      r += row[k] * right[k];
    }
  } else {
    for (uint32_t k = 0; k < taps; k++) l += row[k] * left[k];
  }
  sums[0] = l;
  sums[1] = r;
}

#ifdef RS_VECTOR_KERNEL
#define RS_VECTOR __attribute__((target("avx2,fma")))

// Eight taps' coefficients from k: the same interpolation as the portable
// kernel, with the table read by gathers; lanes past the last tap are 0.
RS_VECTOR static inline __m256 coefficients8(const Resampler *rs, __m256i first, uint32_t k) {
  __m256i at = _mm256_add_epi32(first, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rs->tapOffset + k)));
  __m256i entry = _mm256_srli_epi32(at, 16);
  __m256 fraction = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_and_si256(at, _mm256_set1_epi32(0xFFFF))),
                                  _mm256_set1_ps(1.0f / 65536));
  __m256 c = _mm256_i32gather_ps(resampleCoefs, entry, 4);
  __m256 slope = _mm256_i32gather_ps(resampleSlopes, entry, 4);
  __m256i live = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(rs->taps - k)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  return _mm256_and_ps(_mm256_fmadd_ps(fraction, slope, c), _mm256_castsi256_ps(live));
}

RS_VECTOR static inline float sum8(__m256 v) {
  __m128 h = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  h = _mm_add_ps(h, _mm_movehl_ps(h, h));
  return _mm_cvtss_f32(_mm_add_ss(h, _mm_shuffle_ps(h, h, 1)));
}

// The interpolated frame with whole vectors. Reads run up to 7 frames past
// the window, which the caller keeps finite; the coefficients there are 0.
RS_VECTOR static void filterFrameVector(const Resampler *rs, const float *left, const float *right,
                                        uint32_t g, float *sums) {
  const __m256i first = _mm256_set1_epi32(int(g));
  __m256 l = _mm256_setzero_ps(), r = _mm256_setzero_ps();
  for (uint32_t k = 0; k < rs->taps; k += 8) {
    __m256 c = coefficients8(rs, first, k);
    l = _mm256_fmadd_ps(c, _mm256_loadu_ps(left + k), l);
    if (right) r = _mm256_fmadd_ps(c, _mm256_loadu_ps(right + k), r);
  }
  sums[0] = sum8(l);
  sums[1] = right ? sum8(r) : 0;
}

// A bank row with whole vectors: the row is padded with zeros to `stride`,
// a multiple of 8.
RS_VECTOR static inline void filterBankedVector(const float *left, const float *right,
                                                const float *row, uint32_t stride, float *sums) {
  __m256 l0 = _mm256_setzero_ps(), l1 = _mm256_setzero_ps();
  uint32_t k = 0;
  if (right) {
    __m256 r0 = _mm256_setzero_ps(), r1 = _mm256_setzero_ps();
    for (; k + 16 <= stride; k += 16) {
      __m256 c = _mm256_loadu_ps(row + k), d = _mm256_loadu_ps(row + k + 8);
      l0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(left + k), l0);
      r0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(right + k), r0);
      l1 = _mm256_fmadd_ps(d, _mm256_loadu_ps(left + k + 8), l1);
      r1 = _mm256_fmadd_ps(d, _mm256_loadu_ps(right + k + 8), r1);
    }
    if (k < stride) {
      __m256 c = _mm256_loadu_ps(row + k);
      l0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(left + k), l0);
      r0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(right + k), r0);
    }
    sums[1] = sum8(_mm256_add_ps(r0, r1));
  } else {
    for (; k + 16 <= stride; k += 16) {
      l0 = _mm256_fmadd_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(left + k), l0);
      l1 = _mm256_fmadd_ps(_mm256_loadu_ps(row + k + 8), _mm256_loadu_ps(left + k + 8), l1);
    }
    if (k < stride) l0 = _mm256_fmadd_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(left + k), l0);
    sums[1] = 0;
  }
  sums[0] = sum8(_mm256_add_ps(l0, l1));
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

static inline int16_t limitSample(float v) {
  v = v > OUTPUT_LIMIT ? OUTPUT_LIMIT : v;
  v = v < -OUTPUT_LIMIT ? -OUTPUT_LIMIT : v;
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
  // Only the last frames stay in the history.
  uint32_t pos = rs->historyPos;
  uint32_t from = skip + n > RS_HISTORY_FRAMES ? skip + n - RS_HISTORY_FRAMES : 0;
  pos = uint32_t((pos + uint64_t(from) * channels) % RS_HISTORY);
  for (uint32_t i = from; i < skip + n; i++) {
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

// Input frames that one pass of the filtered path converts, and the planar
// frames it holds: the history, the pass's input, and whole vectors of
// zeros past it.
static constexpr uint32_t RS_CHUNK = 1024;
static constexpr uint32_t LINEAR_FRAMES = RS_HISTORY_FRAMES + RS_CHUNK + 8;

struct PortableKernel {
  static void interpolated(const Resampler *rs, const float *left, const float *right, uint32_t g,
                           float *sums) {
    filterFrame(rs, left, right, g, sums);
  }
  static void banked(const Resampler *rs, const float *left, const float *right, const float *row,
                     float *sums) {
    filterBanked(left, right, row, rs->taps, sums);
  }
  static constexpr bool grouped = false;
};

#ifdef RS_VECTOR_KERNEL
struct VectorKernel {
  RS_VECTOR static void interpolated(const Resampler *rs, const float *left, const float *right,
                                     uint32_t g, float *sums) {
    filterFrameVector(rs, left, right, g, sums);
  }
  RS_VECTOR static void banked(const Resampler *rs, const float *left, const float *right,
                               const float *row, float *sums) {
    filterBankedVector(left, right, row, rs->bankStride, sums);
  }
  static constexpr bool grouped = true;
};

// Where a run of groups starts: every output of the run is worked out from
// here and its own number, so that no group waits on the one before.
struct GroupBase {
  int64_t due;       // as in runChunk, for the run's first output
  int64_t phase;     // its bank row
  uint32_t frame;    // the input frame arriving (i)
  uint32_t frames;   // input frames in the pass (n)
};

// A window weighted by a bank row, left in the lanes of a vector.
RS_VECTOR static inline __m256 dot8(const float *row, const float *window, uint32_t stride) {
  if (stride == 32) {
    // Every upward conversion: two chains of two.
    __m256 a = _mm256_mul_ps(_mm256_loadu_ps(row), _mm256_loadu_ps(window));
    __m256 b = _mm256_mul_ps(_mm256_loadu_ps(row + 8), _mm256_loadu_ps(window + 8));
    a = _mm256_fmadd_ps(_mm256_loadu_ps(row + 16), _mm256_loadu_ps(window + 16), a);
    b = _mm256_fmadd_ps(_mm256_loadu_ps(row + 24), _mm256_loadu_ps(window + 24), b);
    return _mm256_add_ps(a, b);
  }
  // Longer rows (downward conversions) in four chains, which the processor
  // runs side by side.
  __m256 a = _mm256_mul_ps(_mm256_loadu_ps(row), _mm256_loadu_ps(window));
  __m256 b = _mm256_setzero_ps(), c = b, d = b;
  uint32_t k = 8;
  for (; k + 32 <= stride; k += 32) {
    b = _mm256_fmadd_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(window + k), b);
    c = _mm256_fmadd_ps(_mm256_loadu_ps(row + k + 8), _mm256_loadu_ps(window + k + 8), c);
    d = _mm256_fmadd_ps(_mm256_loadu_ps(row + k + 16), _mm256_loadu_ps(window + k + 16), d);
    a = _mm256_fmadd_ps(_mm256_loadu_ps(row + k + 24), _mm256_loadu_ps(window + k + 24), a);
  }
  for (; k < stride; k += 8) {
    b = _mm256_fmadd_ps(_mm256_loadu_ps(row + k), _mm256_loadu_ps(window + k), b);
  }
  return _mm256_add_ps(_mm256_add_ps(a, b), _mm256_add_ps(c, d));
}

// The sums of eight outputs, each window weighted by its row, as one
// vector: the lanes of each output's vector are added up in a transposing
// tree.
RS_VECTOR static inline __m256 sums8(const float *const *row, const float *base,
                                     const int32_t *offset, uint32_t stride) {
  // Pairs at a time, so that few accumulators are live at once.
  __m256 t01 = _mm256_hadd_ps(dot8(row[0], base + offset[0], stride), dot8(row[1], base + offset[1], stride));
  __m256 t23 = _mm256_hadd_ps(dot8(row[2], base + offset[2], stride), dot8(row[3], base + offset[3], stride));
  __m256 u0 = _mm256_hadd_ps(t01, t23);
  __m256 t45 = _mm256_hadd_ps(dot8(row[4], base + offset[4], stride), dot8(row[5], base + offset[5], stride));
  __m256 t67 = _mm256_hadd_ps(dot8(row[6], base + offset[6], stride), dot8(row[7], base + offset[7], stride));
  __m256 u1 = _mm256_hadd_ps(t45, t67);
  return _mm256_add_ps(_mm256_permute2f128_ps(u0, u1, 0x20), _mm256_permute2f128_ps(u0, u1, 0x31));
}

// Eight limited sums as 16-bit samples, truncated toward zero.
RS_VECTOR static inline __m128i limit8(__m256 v) {
  v = _mm256_max_ps(_mm256_min_ps(v, _mm256_set1_ps(OUTPUT_LIMIT)), _mm256_set1_ps(-OUTPUT_LIMIT));
  __m256i whole = _mm256_cvttps_epi32(v);
  return _mm_packs_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
}

// Outputs of a run are made in batches of up to RS_BATCH groups of eight:
// first the frame and the bank row of each, then their sums. Worked out
// apart, neither waits on the other, and the processor overlaps the
// groups.
static constexpr uint32_t RS_BATCH = 8;

// The waits (frames from the run's start) and bank rows of the run's
// outputs first to first + 8 x groups - 1, worked out in doubles (exact:
// every value is an integer below 2^53). Returns the groups before the
// first with an output that is not due within the pass, or not at the
// frame its grid phase gives.
RS_VECTOR static uint32_t scheduleGroups(const Resampler *rs, const GroupBase &base, uint32_t first,
                                         uint32_t groups, int32_t *frames, int32_t *rowIndex) {
  const __m256d step = _mm256_set1_pd(double(rs->inStep)), before = _mm256_set1_pd(-double(rs->inStep));
  const __m256d outStep = _mm256_set1_pd(double(rs->outStep)), due0 = _mm256_set1_pd(double(base.due));
  const __m256d outSteps = _mm256_set1_pd(double(rs->bankOutSteps)), phase0 = _mm256_set1_pd(double(base.phase));
  const __m256d phases = _mm256_set1_pd(double(rs->bankPhases));
  const __m256d perPhase = _mm256_set1_pd(1.0 / double(rs->bankPhases));
  const __m256d lowest = _mm256_set1_pd(double(RS_BANK_LOWEST) - 0.5);
  const __m256d room = _mm256_set1_pd(double(base.frames - base.frame)), zero = _mm256_setzero_pd();
  __m256d number = _mm256_add_pd(_mm256_set1_pd(double(first)), _mm256_setr_pd(0, 1, 2, 3));
  for (uint32_t g = 0; g < groups; g++) {
    int bad = 0;
    for (int h = 0; h < 2; h++) {
      // Frames to wait, from the grid: the row must come back into the
      // phases of one frame, RS_BANK_LOWEST and the bankPhases after it.
      // Half a step off a whole number, the quotient cannot round across
      // one. Then the time tells whether that is the frame the output is
      // due at: its instant no later than the window's, and more than a
      // frame later than the window before (0 >= rest > -step).
      __m256d x = _mm256_fmadd_pd(number, outSteps, phase0);
      __m256d k = _mm256_floor_pd(_mm256_mul_pd(_mm256_sub_pd(x, lowest), perPhase));
      __m256d row = _mm256_fnmadd_pd(k, phases, x);
      __m256d rest = _mm256_fnmadd_pd(k, step, _mm256_fmadd_pd(number, outStep, due0));
      __m256d fine = _mm256_and_pd(_mm256_cmp_pd(k, room, _CMP_LT_OQ), _mm256_cmp_pd(k, zero, _CMP_GE_OQ));
      fine = _mm256_and_pd(fine, _mm256_cmp_pd(rest, zero, _CMP_LE_OQ));
      fine = _mm256_and_pd(fine, _mm256_cmp_pd(rest, before, _CMP_GT_OQ));
      bad |= _mm256_movemask_pd(fine) ^ 0xF;
      _mm_storeu_si128(reinterpret_cast<__m128i *>(frames + 8 * g + 4 * h), _mm256_cvtpd_epi32(k));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(rowIndex + 8 * g + 4 * h), _mm256_cvtpd_epi32(row));
      number = _mm256_add_pd(number, _mm256_set1_pd(4.0));
    }
    if (bad) return g;
  }
  return groups;
}

// The sums of scheduled groups, limited and written out.
RS_VECTOR static void filterGroups(const Resampler *rs, const float *left, const float *right,
                                   uint32_t frame, uint32_t groups, const int32_t *frames,
                                   const int32_t *rowIndex, int16_t *output) {
  const uint32_t start = RS_HISTORY_FRAMES + frame - rs->taps;
  for (uint32_t g = 0; g < groups; g++) {
    const float *bankRows[8];
    for (int m = 0; m < 8; m++) bankRows[m] = rs->bank + SIZE_T(rowIndex[8 * g + m]) * rs->bankStride;
    __m128i l = limit8(sums8(bankRows, left + start, frames + 8 * g, rs->bankStride));
    if (right) {
      __m128i r = limit8(sums8(bankRows, right + start, frames + 8 * g, rs->bankStride));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(output), _mm_unpacklo_epi16(l, r));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(output + 8), _mm_unpackhi_epi16(l, r));
      output += 16;
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(output), l);
      output += 8;
    }
  }
}
#endif

// The steps of one pass of the filtered path (runChunk, below). Each is
// inlined into the pass, as the pass is into its kernel's entry, so that
// the schedule stays in registers as it did in one function.
#define RS_STEP static inline __attribute__((always_inline))

// What a pass works with that does not change during it, in 32.32
// timebase units unless said otherwise.
struct PassSteps {
  uint32_t channels;   // 1 or 2
  uint32_t taps;       // input frames in one window
  uint64_t inStep;     // per input frame
  uint64_t outStep;    // per output frame
  uint64_t unit;       // the converter's lowerStep, for the first tap's position
  int64_t half;        // half a window's span, rounded down
  uint64_t upper;      // the rest of the span: an instant lies due + upper after the oldest tap
  uint64_t maxBack;    // input frames a window may reach back before the one arriving
  uint64_t rows;       // bank rows; 0: the interpolated path only
  int64_t outSteps;    // grid steps per output frame
  int64_t inSteps;     // grid steps per input frame
  uint64_t whole;      // whole input frames per output frame
  int64_t wholeTime;   // their time
  int64_t wholePhase;  // their grid steps
  int64_t step;        // inStep, signed
  int64_t early;       // due below this: the instant lies over a frame before the window's centre
};

// Where a pass stands: the next output to make and the input frame it
// waits on.
struct PassCursor {
  uint64_t outTime;   // the next output's instant
  int64_t due;        // time by which it waits on frames still to arrive
  int64_t phase;      // its bank row, on the grid
  uint32_t i;         // input frames: the frame arriving
  uint32_t produced;  // output frames made in the pass
  int16_t *output;    // where the next one goes
};

// Lays the history and the pass's n input frames out as planar runs, so
// that every window is contiguous: the last RS_HISTORY_FRAMES of the
// history, the input (its first frame weighted by a pending join), and a
// vector's worth of zeros past it.
RS_STEP void layOutPlanar(const Resampler *rs, const int16_t *input, uint32_t n,
                          float (&planar)[2][LINEAR_FRAMES]) {
  const uint32_t channels = rs->channels;
  constexpr uint32_t L = RS_HISTORY_FRAMES;
  const float *view = rs->history + rs->historyPos + RS_HISTORY - L * channels;
  if (channels == 2) {
    for (uint32_t f = 0; f < L; f++) planar[0][f] = view[2 * f], planar[1][f] = view[2 * f + 1];
    for (uint32_t f = 0; f < n; f++) {
      planar[0][L + f] = float(input[2 * f]);
      planar[1][L + f] = float(input[2 * f + 1]);
    }
  } else {
    std::memcpy(planar[0], view, L * sizeof(float));
    for (uint32_t f = 0; f < n; f++) planar[0][L + f] = float(input[f]);
  }
  if (n > 0 && rs->joinWeight != 0) {
    for (uint32_t c = 0; c < channels; c++) planar[c][L] *= rs->joinWeight;
  }
  for (uint32_t c = 0; c < channels; c++) std::memset(planar[c] + L + n, 0, 8 * sizeof(float));
}

RS_STEP PassSteps passSteps(const Resampler *rs) {
  PassSteps s;
  s.channels = rs->channels;
  s.taps = rs->taps;
  s.inStep = rs->inStep;
  s.outStep = rs->outStep;
  s.unit = rs->lowerStep;
  const uint64_t span = uint64_t(rs->taps) * s.inStep;
  s.half = int64_t(span / 2);
  s.upper = span - span / 2;
  s.maxBack = RS_HISTORY_FRAMES - 1 - s.taps;
  s.rows = rs->bankRows;
  s.outSteps = rs->bankOutSteps;
  s.inSteps = rs->bankPhases;
  // Whole input frames per output: the frames to wait are that or one more
  // while the stream runs steadily.
  s.whole = s.outStep / s.inStep;
  s.wholeTime = int64_t(s.whole * s.inStep);
  s.wholePhase = int64_t(s.whole) * s.inSteps;
  s.step = int64_t(s.inStep);
  s.early = s.half - s.step - int64_t(s.upper);
  return s;
}

// The pass's first output: the converter's next output instant, what it
// waits on, and its grid phase.
RS_STEP PassCursor passStart(const Resampler *rs, const PassSteps &s, int16_t *output) {
  PassCursor at;
  at.outTime = rs->outTime;
  // Time by which the next output waits on frames still to arrive (> 0).
  // Its instant after the oldest tap of the window of frame i is
  // due + (span - span / 2).
  at.due = int64_t(at.outTime - (rs->inTime - uint64_t(s.half)));
  const uint64_t x = uint64_t(at.due) + s.upper;
  // The instant's grid step, rounded to the nearest here and then moved in
  // whole steps with the instant; within one pass the instant drifts from
  // the grid by far less than a step.
  at.phase = 0;
  if (s.rows != 0) {
    double grid = std::floor(double(int64_t(x - uint64_t(rs->bankOffset))) * rs->phaseScale + 0.5);
    at.phase = grid > 9.0e15 || grid < -9.0e15 ? INT64_MIN / 2 : int64_t(grid) - rs->bankFirst;
  }
  at.i = 0;
  at.produced = 0;
  at.output = output;
  return at;
}

#ifdef RS_VECTOR_KERNEL
// A run of groups of eight outputs, as long as they can be made, for a
// kernel that makes them; then the cursor at the output after the last of
// them. False when it made none: the next output is made alone.
template <class Kernel>
RS_STEP bool runGroups(const Resampler *rs, const PassSteps &s, const float *left,
                       const float *right, uint32_t n, uint32_t room, PassCursor &at) {
  if (!(Kernel::grouped && s.rows != 0 && room - at.produced >= 8 && at.due < (int64_t(1) << 52) &&
        at.due > -(int64_t(1) << 52) && at.phase < (int64_t(1) << 30) &&
        at.phase > -(int64_t(1) << 30))) {
    return false;
  }
  const GroupBase base = {at.due, at.phase, at.i, n};
  uint32_t made = 0;
  int32_t wait = 0;
  while (room - at.produced >= 8 && made < 4096) {
    int32_t frames[8 * RS_BATCH], rowIndex[8 * RS_BATCH];
    uint32_t groups = (room - at.produced) / 8;
    if (groups > RS_BATCH) groups = RS_BATCH;
    groups = scheduleGroups(rs, base, made, groups, frames, rowIndex);
    if (groups == 0) break;
    filterGroups(rs, left, right, base.frame, groups, frames, rowIndex, at.output);
    wait = frames[8 * groups - 1];
    made += 8 * groups;
    at.produced += 8 * groups;
    at.output += 8 * groups * s.channels;
  }
  if (made == 0) return false;
  at.outTime += made * s.outStep;
  at.i = base.frame + uint32_t(wait);
  at.due = base.due + int64_t(made * s.outStep) - int64_t(wait) * s.step;
  at.phase = base.phase + int64_t(made) * s.outSteps - int64_t(wait) * s.inSteps;
  return true;
}
#endif

// Moves the cursor to the input frame the next output waits on. False,
// with the cursor unmoved, when that frame is not among the pass's n.
RS_STEP bool waitForDue(const PassSteps &s, uint32_t n, PassCursor &at) {
  int64_t rest = at.due - s.wholeTime;
  int64_t more = -int64_t(rest > 0);  // all ones or 0
  uint64_t k = s.whole - uint64_t(more);
  rest -= s.step & more;
  int64_t phaseBack = s.wholePhase + (s.inSteps & more);
  if (rest > 0 || rest <= -s.step) {
    k = at.due > 0 ? (uint64_t(at.due) + s.inStep - 1) / s.inStep : 0;
    if (k < n - at.i) rest = at.due - int64_t(k * s.inStep), phaseBack = int64_t(k) * s.inSteps;
  }
  if (k >= n - at.i) return false;
  at.i += uint32_t(k);
  at.due = rest;
  at.phase -= phaseBack;
  return true;
}

// Makes the output the cursor stands at, from its bank row when it has one
// and its instant is not far behind the window, else from the table; then
// moves the cursor to the next.
template <class Kernel>
RS_STEP void filterOne(const Resampler *rs, const PassSteps &s, const float *left,
                       const float *right, PassCursor &at) {
  const uint32_t start = RS_HISTORY_FRAMES + at.i - s.taps;
  float sums[2];
  if (uint64_t(at.phase) < s.rows && at.due > s.early) {
    Kernel::banked(rs, left + start, right ? right + start : nullptr,
                   rs->bank + SIZE_T(at.phase) * rs->bankStride, sums);
  } else {
    uint32_t from = start;
    const uint64_t x = uint64_t(at.due) + s.upper;
    uint64_t instant = x;
    if (int64_t(x) <= s.half - s.step) {
      // An instant more than an input frame before the window's centre:
      // after a change to a shorter window the input stands a longer
      // lookahead ahead, and the instant's own window lies further back
      // in the history. Reading it there keeps the output continuous.
      uint64_t back = uint64_t(s.half - int64_t(x)) / s.inStep;
      if (back > s.maxBack) back = s.maxBack;
      from -= uint32_t(back);
      instant += back * s.inStep;
    }
    Kernel::interpolated(rs, left + from, right ? right + from : nullptr,
                         firstTapPosition(rs, instant, s.unit), sums);
    sums[0] *= rs->gain;
    sums[1] *= rs->gain;
  }
  *at.output++ = limitSample(sums[0]);
  if (right) *at.output++ = limitSample(sums[1]);
  at.produced++;
  at.outTime += s.outStep;
  at.due += int64_t(s.outStep);
  at.phase += s.outSteps;
}

// Ends a pass that consumed `consumed` of its input frames: the history
// becomes the last RS_HISTORY_FRAMES of them, and the converter's times
// move on.
RS_STEP void endPass(Resampler *rs, const PassSteps &s, const float (&planar)[2][LINEAR_FRAMES],
                     uint32_t consumed, uint64_t outTime) {
  constexpr uint32_t L = RS_HISTORY_FRAMES;
  if (consumed > 0) {
    // The history becomes the last L frames consumed, oldest first, ending
    // just before slot 0; then the same samples go to its mirror. Whole
    // runs, not a frame at a time: a pass is short at low rates, and the
    // copy of a long window would otherwise cost as much as the filtering.
    float *history = rs->history + RS_HISTORY - L * s.channels;
    if (s.channels == 2) {
      const float *left = planar[0] + consumed, *right = planar[1] + consumed;
      for (uint32_t f = 0; f < L; f++) history[2 * f] = left[f], history[2 * f + 1] = right[f];
    } else {
      std::memcpy(history, planar[0] + consumed, L * sizeof(float));
    }
    std::memcpy(history + RS_HISTORY, history, SIZE_T(L) * s.channels * sizeof(float));
    rs->historyPos = 0;
    rs->joinWeight = 0;
  }
  rs->inTime += uint64_t(consumed) * s.inStep;
  rs->outTime = outTime;
}

// One pass of the filtered path over at most RS_CHUNK input frames. The
// history and the input are laid out as planar runs, so that every window
// is contiguous; outputs are made in time order, each once the frame a
// half window after its instant has arrived, from the frame before that
// (the lookahead): frame i of the input, when it arrives, makes every output
// whose instant lies at or before inTime(i) - span / 2. Returns the input
// frames consumed in *used: all n, or, when the room ran out, those before
// the frame whose outputs did not all fit.
template <class Kernel>
RS_STEP void runChunk(Resampler *rs, const int16_t *input, uint32_t n, int16_t *output,
                      uint32_t room, uint32_t *used, uint32_t *made) {
  float planar[2][LINEAR_FRAMES];
  layOutPlanar(rs, input, n, planar);
  const float *left = planar[0], *right = rs->channels == 2 ? planar[1] : nullptr;
  const PassSteps s = passSteps(rs);
  PassCursor at = passStart(rs, s, output);
  bool ranOut = false;
  while (at.produced < room) {
#ifdef RS_VECTOR_KERNEL
    if (runGroups<Kernel>(rs, s, left, right, n, room, at)) continue;
#endif
    if (!waitForDue(s, n, at)) {
      ranOut = true;
      break;
    }
    filterOne<Kernel>(rs, s, left, right, at);
  }
  const uint32_t consumed = ranOut ? n : at.i;
  endPass(rs, s, planar, consumed, at.outTime);
  *used = consumed;
  *made = at.produced;
}
#undef RS_STEP

static void runChunkPortable(Resampler *rs, const int16_t *input, uint32_t n, int16_t *output,
                             uint32_t room, uint32_t *used, uint32_t *made) {
  runChunk<PortableKernel>(rs, input, n, output, room, used, made);
}

#ifdef RS_VECTOR_KERNEL
RS_VECTOR static void runChunkVector(Resampler *rs, const int16_t *input, uint32_t n,
                                     int16_t *output, uint32_t room, uint32_t *used,
                                     uint32_t *made) {
  runChunk<VectorKernel>(rs, input, n, output, room, used, made);
}
#endif

void rsRun(Resampler *rs, const int16_t *input, int16_t *output, uint32_t *inCount,
           uint32_t *outCount) {
  if (rsCopies(rs)) {
    copyEqualRates(rs, input, output, inCount, outCount);
    return;
  }
  if (rs->bankRows != 0) alignBank(rs);
  const uint32_t channels = rs->channels;
  auto pass = runChunkPortable;
#ifdef RS_VECTOR_KERNEL
  if (rsVectorKernel()) pass = runChunkVector;
#endif
  const uint32_t total = *inCount, room = *outCount;
  uint32_t consumed = 0, produced = 0;
  do {
    uint32_t n = total - consumed < RS_CHUNK ? total - consumed : RS_CHUNK, used, made;
    pass(rs, input + SIZE_T(consumed) * channels, n, output + SIZE_T(produced) * channels,
         room - produced, &used, &made);
    consumed += used;
    produced += made;
    if (used < n) break;
  } while (consumed < total);
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

// Scales the newest frame of the history, in both of its copies.
static void scaleNewestFrame(Resampler *rs, double factor) {
  const uint32_t channels = rs->channels;
  uint32_t i = (rs->historyPos + RS_HISTORY - channels) % RS_HISTORY;
  for (uint32_t c = 0; c < channels; c++) {
    rs->history[i + c] = float(rs->history[i + c] * factor);
    rs->history[i + c + RS_HISTORY] = rs->history[i + c];
  }
}

// Weighs the frames on either side of a change of input spacing. Each
// frame stands for the stretch of time half a spacing either way of it,
// and the filter weighs it by that stretch. Between the old frames' end
// and the new frames' beginning lies a gap (an overlap where negative,
// when the new frames start on a whole frame before the old ones' next
// instant); it is counted once, at the signal interpolated between the
// last old frame and the first new one, so the two frames share it by
// their distance from its middle. `old` holds the old frames and the
// instant that would have come next; the first new frame stands at
// `next`'s input position, `newStep` apart.
static void joinSpacings(Resampler *old, Resampler *next, uint64_t newStep) {
  const double unit = 4294967296.0;
  const double d1 = double(old->inStep) / unit, d2 = double(newStep) / unit;
  const double last = double(int64_t(old->inTime - next->inTime)) / unit - d1;  // first new: 0
  const double oldEnd = last + d1 / 2, newStart = -d2 / 2;
  const double gap = newStart - oldEnd;
  double toNew = last < 0 ? ((oldEnd + newStart) / 2 - last) / -last : 1;
  toNew = toNew < 0 ? 0 : toNew > 1 ? 1 : toNew;
  scaleNewestFrame(old, 1 + gap * (1 - toNew) / d1);
  const double first = 1 + gap * toNew / d2;
  next->joinWeight = float(first > 1e-6 ? first : 1e-6);  // 0 would mean 1
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
  // Frames at the timebase's own rate stand on whole timebase frames: the
  // sender puts such a row there, whatever fraction the row before it
  // had reached. The old frames keep their own instants.
  const uint64_t continued = rs->inTime;
  if (inRate == timebase) rs->inTime &= ~uint64_t(0xFFFFFFFF);
  uint32_t gap = rsStartPacket(rs, start);
  // The ring holds no more than its length ahead of the reader.
  if (gap > ring->frames) gap = ring->frames;
  if (gap > 0) ringRepeat(ring, writePosition, gap);
  if (change) {
    // Both spacings are filtered with one band until the old frames weigh
    // nothing: with one kernel the two shares add up to the signal across
    // the change. The band is half the lower rate's: a kernel that changes
    // little over a frame of either spacing is summed over the join about
    // as well as over evenly spaced frames (at the lower rate's own band
    // the join rings by several per cent of the signal).
    uint32_t lowerIn = (inRate < rs->inRate ? inRate : rs->inRate) / 2;
    Resampler old = *rs;
    if (uint32_t(continued >> 32) == start) old.inTime = continued;
    joinSpacings(&old, rs, ((uint64_t(timebase) << 32) + inRate / 2) / inRate);
    old.neverCopy = 1;  // an exact copy has its tail filtered too
    old.cutoffRate = lowerIn;
    old.cutoffUntil = old.outTime + (uint64_t(1) << 62);  // to its last output
    rsSetup(&old, timebase, old.inRate, ring->rate, channels);
    // A whole window of silence: the last outputs it makes weigh no old
    // frame any more.
    static const int16_t silence[RS_MAX_TAPS * 2] = {};
    ringMixConverted(ring, writePosition + gap, silence, old.taps, readPosition, &old);
    const float weight = rs->joinWeight;
    rsClearHistory(rs);
    rs->joinWeight = weight;
    rs->cutoffRate = lowerIn;
    rs->cutoffUntil = old.outTime;
    rsSetup(rs, timebase, inRate, ring->rate, channels);
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

uint32_t ringMixConverted(SampleRing *ring, uint32_t position, const int16_t *input, uint32_t count,
                          uint32_t readPosition, Resampler *rs) {
  const uint32_t channels = ring->channels;
  uint32_t p = position, result = 0;
  while (count > 0) {
    int16_t block[RS_BLOCK_FRAMES * 2];
    uint32_t in = count, made = RS_BLOCK_FRAMES;
    if (rs->cutoffRate != 0) {
      // The band of a change ends where the old frames weigh nothing, on
      // that very output: from there on the converter copies again where
      // the rates are equal, rather than from the next packet.
      int64_t left = int64_t(rs->cutoffUntil - rs->outTime);
      if (left <= 0) {
        rs->cutoffRate = 0;
        rsSetup(rs, rs->timebase, rs->inRate, rs->outRate, rs->channels);
      } else if (rs->outStep != 0 && uint64_t(left) / rs->outStep < made) {
        made = uint32_t((uint64_t(left) + rs->outStep - 1) / rs->outStep);
      }
    }
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
  uint32_t i = 0;
#ifdef __SSE2__
  // The processor's saturating add, eight samples at a time.
  for (; i + 8 <= count; i += 8) {
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(destination + i));
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + i), _mm_adds_epi16(d, v));
  }
#endif
  for (; i < count; i++) {
    int32_t sum = int32_t(destination[i]) + source[i];
    if (sum > 32767) sum = 32767;
    if (sum < -32768) sum = -32768;
    destination[i] = int16_t(sum);
  }
}

// The sample a wire frame carries: both channels of a stereo ring frame for
// a stereo row, their mean for a mono one.
static uint32_t emitCompanded(uint8_t *payload, int16_t value) {
  payload[0] = ulawEncode[uint16_t(value) >> 3];
  return 1;
}

static uint32_t emitLinear16(uint8_t *payload, int16_t value) {
  payload[0] = uint8_t(uint16_t(value));
  payload[1] = uint8_t(uint16_t(value) >> 8);
  return 2;
}

// Whether the ring's samples, as they lie in memory, are the wire's 16-bit
// little-endian samples.
static constexpr bool HOST_LITTLE_ENDIAN = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Codes out converted frames of block into payload; returns the bytes
// written. A stereo ring on a stereo 16-bit row is the wire's layout
// already on a little-endian host, and is copied whole: every packet of
// the unconverted rows takes this path.
template <uint32_t (*emit)(uint8_t *, int16_t), uint32_t sampleBytes>
static uint32_t emitFrames(const int16_t *block, uint32_t out, uint32_t channels, int stereo,
                           uint8_t *payload) {
  if (sampleBytes == 2 && HOST_LITTLE_ENDIAN && stereo && channels == 2) {
    std::memcpy(payload, block, SIZE_T(out) * 2 * sizeof(int16_t));
    return out * 2 * sizeof(int16_t);
  }
  uint32_t bytes = 0;
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
  return bytes;
}

// The shared loop of the sample-wise encoders: blocks of at most 512
// converted frames, as long as input is left and the payload has room for
// a whole frame. The coding is a template argument, so that it is inlined
// into the per-sample loop.
template <uint32_t (*emit)(uint8_t *, int16_t), uint32_t sampleBytes>
static uint32_t encodeSamples(SampleRing *ring, uint32_t position, uint32_t maxInput,
                              uint8_t *payload, uint16_t *wireFrames, int stereo, Resampler *rs) {
  const uint32_t channels = ring->channels;
  const uint32_t frameBytes = sampleBytes * (stereo ? 2 : 1);
  uint32_t bytes = 0, frames = 0, left = maxInput;
  while (left > 0) {
    uint32_t room = (WIRE_PAYLOAD_MAX - bytes) / frameBytes;
    if (room == 0) break;
    if (room > RS_BLOCK_FRAMES) room = RS_BLOCK_FRAMES;
    int16_t block[RS_BLOCK_FRAMES * 2];
    uint32_t in = left, out = room;
    ringReadConverted(ring, position, block, &in, &out, rs);
    position += in;
    left -= in;
    frames += out;
    bytes += emitFrames<emit, sampleBytes>(block, out, channels, stereo, payload + bytes);
    if (in == 0 && out == 0) break;
  }
  *wireFrames = uint16_t(frames);
  return bytes;
}

uint32_t encodeCompanded(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                         uint16_t *wireFrames, int stereo, Resampler *rs) {
  return encodeSamples<emitCompanded, 1>(ring, position, maxInput, payload, wireFrames, stereo, rs);
}

uint32_t encodeLinear16(SampleRing *ring, uint32_t position, uint32_t maxInput, uint8_t *payload,
                        uint16_t *wireFrames, int stereo, Resampler *rs) {
  return encodeSamples<emitLinear16, 2>(ring, position, maxInput, payload, wireFrames, stereo, rs);
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
  while (coder && left > 0 && bytes + GSM_FRAME_BYTES <= WIRE_PAYLOAD_MAX &&
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
    uint32_t made =
        ringMixConverted(ring, writePosition, block, GSM_FRAME_SAMPLES, readPosition, rs);
    writePosition += made;
    total += made;
  }
  return total;
}
