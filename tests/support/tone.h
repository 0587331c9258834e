// How well a stretch of samples is a sine of a known frequency.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

constexpr double TWO_PI = 6.283185307179586477;

// The ratio in dB of the least-squares sine of frequency hz (samples at
// rate, one channel, `stride` samples apart) in x[from, to) to what is left.
inline double toneSnrDb(const int16_t *x, size_t from, size_t to, double rate, double hz,
                        size_t stride = 1) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0, xx = 0;
  for (size_t i = from; i < to; i++) {
    double sn = std::sin(TWO_PI * hz * double(i) / rate);
    double cs = std::cos(TWO_PI * hz * double(i) / rate);
    double v = x[i * stride];
    ss += sn * sn, sc += sn * cs, cc += cs * cs;
    xs += v * sn, xc += v * cs, xx += v * v;
  }
  double det = ss * cc - sc * sc;
  double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double fit = a * xs + b * xc;
  return 10 * std::log10(fit / std::fmax(xx - fit, 1e-9));
}
