// Wire formats and sample rings.
#include "audio/formats.h"

#include <cstring>

const uint32_t wireRates[WIRE_RATE_COUNT] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

// rttLimit = 2,800,000 / bytesPerSecond: 2800 bytes are two full datagrams
// (1400 payload bytes each), the most a row should need to carry in one
// round trip. Rows of equal bytesPerSecond form one adaptation step.
const WireFormat wireFormats[WIRE_FORMAT_COUNT + 1] = {
    {WIRE_GSM, 0, 0, 8000, 1650, 160, 1696},
    {WIRE_COMPANDED, 0, 0, 8000, 8000, 1, 350},
    {WIRE_COMPANDED, 1, 0, 11025, 11025, 1, 253},
    {WIRE_COMPANDED, 2, 0, 16000, 16000, 1, 175},
    {WIRE_LINEAR16, 1, 0, 11025, 22050, 1, 126},
    {WIRE_COMPANDED, 3, 0, 22050, 22050, 1, 126},
    {WIRE_LINEAR16, 2, 0, 16000, 32000, 1, 87},
    {WIRE_COMPANDED, 4, 0, 32000, 32000, 1, 87},
    {WIRE_LINEAR16, 1, 1, 11025, 44100, 1, 63},
    {WIRE_LINEAR16, 3, 0, 22050, 44100, 1, 63},
    {WIRE_LINEAR16, 2, 1, 16000, 64000, 1, 43},
    {WIRE_LINEAR16, 4, 0, 32000, 64000, 1, 43},
    {WIRE_LINEAR16, 5, 0, 44100, 88200, 1, 31},
    {WIRE_LINEAR16, 3, 1, 22050, 88200, 1, 31},
    {WIRE_LINEAR16, 6, 0, 48000, 96000, 1, 29},
    {WIRE_LINEAR16, 4, 1, 32000, 128000, 1, 21},
    {WIRE_LINEAR16, 5, 1, 44100, 176400, 1, 15},
    {WIRE_LINEAR16, 6, 1, 48000, 192000, 1, 14},
    {0, 0, 0, 0, 0, 0, 0},
};

int formatEligible(const WireFormat *row, const SampleRing *ring, uint32_t rateLimit) {
  return row->rate <= ring->rate && row->rate <= rateLimit && !(row->stereo && ring->channels < 2);
}

int formatPassesRtt(const WireFormat *row, uint32_t rtt) { return rtt < row->rttLimit; }

SampleRing *ringCreate(uint32_t frames, uint32_t rate, int stereo) {
  uint32_t channels = stereo ? 2 : 1;
  // RING_FRAMES x 2 channels x 2 bytes is 256 KiB; anything far beyond that
  // is a caller's mistake, refused before the size could overflow.
  if (frames == 0 || frames > 16 * RING_FRAMES) return nullptr;
  SIZE_T bytes = sizeof(SampleRing) + SIZE_T(frames) * channels * sizeof(int16_t);
  SampleRing *ring = static_cast<SampleRing *>(LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes));
  if (!ring) return nullptr;
  ring->frames = frames;
  ring->rate = rate;
  ring->channels = channels;
  return ring;
}

int16_t *ringSpan(SampleRing *ring, uint32_t position, uint32_t *span) {
  uint32_t index = position % ring->frames;
  *span = ring->frames - index;
  return ringSamples(ring) + SIZE_T(index) * ring->channels;
}

void ringClear(SampleRing *ring, uint32_t position, uint32_t count) {
  uint32_t span;
  int16_t *at = ringSpan(ring, position, &span);
  if (count > span) count = span;  // the contract; never write past the end
  std::memset(at, 0, SIZE_T(count) * ring->channels * sizeof(int16_t));
}

void ringRepeat(SampleRing *ring, uint32_t position, uint32_t count) {
  uint32_t span;
  const int16_t *previous = ringSpan(ring, position - 1, &span);
  int16_t frame[2] = {previous[0], ring->channels == 2 ? previous[1] : int16_t(0)};
  // More than a ring's worth would only overwrite the same slots again.
  if (count > ring->frames) count = ring->frames;
  for (uint32_t i = 0; i < count; i++) {
    int16_t *at = ringSpan(ring, position + i, &span);
    for (uint32_t c = 0; c < ring->channels; c++) at[c] = frame[c];
  }
}
