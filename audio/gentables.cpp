// Writes audio/tables.cpp: the rate converter's coefficient table and the
// two companding tables of wire kind 1. Run it after changing a design
// constant below and commit its output with it:
//
//   g++ -std=c++20 -O2 -o gentables audio/gentables.cpp && ./gentables > audio/tables.cpp
//
// It is a host program of its own (not part of the driver), so the Windows
// cross-build needs no generator run at build time.
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

constexpr double PI = 3.14159265358979323846;

// The coefficient table: 28 taps of 64 entries each, centred on entry 896.
// An entry's distance from 896, divided by 64, is a distance in frames of
// the lower of the two rates.
constexpr int TABLE_ENTRIES = 1792;
constexpr int CENTRE = 896;
constexpr int ENTRIES_PER_FRAME = 64;
// Cutoff as a fraction of the lower rate's Nyquist frequency: 0.75 of it
// passes within 0.05 dB and 1.15 of it is stopped by more than 70 dB.
constexpr double CUTOFF = 0.9;
// Kaiser window shape: about 80 dB of side-lobe rejection.
constexpr double KAISER_BETA = 8.0;

// The modified Bessel function of order 0, by its power series.
double besselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 60; k++) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

double coefficient(int i) {
  double t = double(i - CENTRE) / ENTRIES_PER_FRAME;  // lower-rate frames
  double x = CUTOFF * t;
  double sinc = x == 0 ? 1 : std::sin(PI * x) / (PI * x);
  double u = double(i - CENTRE) / CENTRE;  // -1 at entry 0, +1 at entry 1792
  double window = besselI0(KAISER_BETA * std::sqrt(std::fmax(0, 1 - u * u))) / besselI0(KAISER_BETA);
  return CUTOFF * sinc * window;
}

// Companding: the decoded value of each code 0x00-0x7F (negative half);
// 0x80-0xFF are the same values negated.
const int DECODE_NEGATIVE[128] = {
    -32256, -31228, -30200, -29172, -28143, -27115, -26087, -25059, -24031, -23002, -21974,
    -20946, -19918, -18889, -17861, -16833, -16062, -15548, -15033, -14519, -14005, -13491,
    -12977, -12463, -11949, -11435, -10920, -10406, -9892,  -9378,  -8864,  -8350,  -7964,
    -7707,  -7450,  -7193,  -6936,  -6679,  -6422,  -6165,  -5908,  -5651,  -5394,  -5137,
    -4880,  -4623,  -4365,  -4108,  -3916,  -3787,  -3659,  -3530,  -3402,  -3273,  -3144,
    -3016,  -2887,  -2759,  -2630,  -2502,  -2373,  -2245,  -2116,  -1988,  -1891,  -1827,
    -1763,  -1698,  -1634,  -1570,  -1506,  -1441,  -1377,  -1313,  -1249,  -1184,  -1120,
    -1056,  -992,   -927,   -879,   -847,   -815,   -783,   -751,   -718,   -686,   -654,
    -622,   -590,   -558,   -526,   -494,   -461,   -429,   -397,   -373,   -357,   -341,
    -325,   -309,   -293,   -277,   -261,   -245,   -228,   -212,   -196,   -180,   -164,
    -148,   -132,   -120,   -112,   -104,   -96,    -88,    -80,    -72,    -64,    -56,
    -48,    -40,    -32,    -24,    -16,    -8,     0};

// Encoding thresholds: a sample s >= 0 codes as 0xFF minus the number of
// positive thresholds not above s; a negative one as the number of negative
// thresholds not above s.
const int POSITIVE[127] = {
    8,     16,    24,    32,    40,    48,    56,    64,    72,    80,    88,    96,    104,
    112,   120,   128,   144,   160,   176,   192,   208,   224,   240,   256,   272,   288,
    304,   320,   336,   352,   368,   384,   416,   448,   480,   512,   544,   576,   608,
    640,   672,   704,   736,   768,   800,   832,   864,   896,   960,   1024,  1088,  1152,
    1216,  1280,  1344,  1408,  1472,  1536,  1600,  1664,  1736,  1800,  1864,  1928,  2056,
    2184,  2312,  2440,  2568,  2696,  2824,  2952,  3080,  3208,  3336,  3464,  3592,  3728,
    3856,  3984,  4240,  4496,  4752,  5008,  5264,  5520,  5784,  6040,  6296,  6552,  6808,
    7064,  7320,  7584,  7840,  8096,  8608,  9120,  9640,  10152, 10664, 11176, 11696, 12208,
    12720, 13232, 13752, 14264, 14776, 15288, 15808, 16320, 17352, 18376, 19408, 20432, 21464,
    22488, 23520, 24544, 25576, 26600, 27632, 28656, 29688, 30712, 31744};
const int NEGATIVE[126] = {
    -31744, -30712, -29688, -28656, -27632, -26600, -25576, -24544, -23512, -22488, -21456,
    -20432, -19400, -18376, -17344, -16320, -15808, -15288, -14776, -14264, -13744, -13232,
    -12720, -12208, -11688, -11176, -10664, -10152, -9632,  -9120,  -8608,  -8096,  -7832,
    -7576,  -7320,  -7064,  -6808,  -6552,  -6296,  -6032,  -5776,  -5520,  -5264,  -5008,
    -4752,  -4496,  -4240,  -3976,  -3848,  -3720,  -3592,  -3464,  -3336,  -3208,  -3080,
    -2952,  -2824,  -2696,  -2568,  -2440,  -2312,  -2176,  -2048,  -1920,  -1856,  -1792,
    -1728,  -1664,  -1600,  -1536,  -1472,  -1408,  -1344,  -1280,  -1216,  -1152,  -1088,
    -1024,  -960,   -896,   -864,   -832,   -800,   -768,   -736,   -704,   -672,   -640,
    -608,   -576,   -544,   -512,   -480,   -448,   -416,   -384,   -368,   -352,   -336,
    -320,   -304,   -288,   -272,   -256,   -232,   -216,   -200,   -184,   -168,   -152,
    -136,   -120,   -112,   -104,   -96,    -88,    -80,    -72,    -64,    -56,    -48,
    -40,    -32,    -24,    -16,    -8};

int encode(int s) {
  int count = 0;
  if (s >= 0) {
    for (int t : POSITIVE) count += t <= s;
    return 0xFF - count;
  }
  for (int t : NEGATIVE) count += t <= s;
  return count;
}

}  // namespace

int main() {
  std::printf(
      "// Generated by audio/gentables.cpp; do not edit. The rate converter's\n"
      "// coefficients and the companding tables of wire kind 1.\n"
      "#include \"audio/convert.h\"\n\n");
  std::printf(
      "// Kaiser-windowed sinc (beta %.1f), cutoff %.2f of the lower rate's Nyquist\n"
      "// frequency, centred on entry %d, 64 entries per frame of the lower rate,\n"
      "// scaled so that one tap per frame sums to about 1. Entry %d repeats the\n"
      "// window's end so that interpolation may read one entry past the last.\n",
      KAISER_BETA, CUTOFF, CENTRE, TABLE_ENTRIES);
  std::printf("const float resampleCoefs[RS_TABLE_ENTRIES + 1] = {\n");
  for (int i = 0; i <= TABLE_ENTRIES; i++)
    std::printf("%s%.9ef,%s", i % 4 ? " " : "    ", coefficient(i), i % 4 == 3 ? "\n" : "");
  std::printf("\n};\n\n");
  std::printf("// Entry i + 1 minus entry i, for the interpolation between them.\n");
  std::printf("const float resampleSlopes[RS_TABLE_ENTRIES] = {\n");
  for (int i = 0; i < TABLE_ENTRIES; i++) {
    float a = float(coefficient(i)), b = float(coefficient(i + 1));
    std::printf("%s%.9ef,%s", i % 4 ? " " : "    ", double(b - a), i % 4 == 3 ? "\n" : "");
  }
  std::printf("};\n\n");
  std::printf("const int16_t ulawDecode[256] = {\n");
  for (int c = 0; c < 256; c++) {
    int v = c < 128 ? DECODE_NEGATIVE[c] : -DECODE_NEGATIVE[c - 128];
    std::printf("%s%d,%s", c % 12 ? " " : "    ", v, c % 12 == 11 ? "\n" : "");
  }
  std::printf("\n};\n\n");
  std::printf("// Indexed by the sample's bit pattern shifted right by 3.\n");
  std::printf("const uint8_t ulawEncode[8192] = {\n");
  for (int i = 0; i < 8192; i++) {
    int s = int16_t(uint16_t(i << 3));
    std::printf("%s0x%02X,%s", i % 16 ? " " : "    ", encode(s), i % 16 == 15 ? "\n" : "");
  }
  std::printf("};\n");
  return 0;
}
