// The rate converter against speexdsp (quality 3 and 5) and libsoxr (LQ and
// HQ) on the conversions the wire formats need, and every encoder and
// decoder. Each figure is a multiple of real time (seconds of audio
// converted per second); the table at the end gives the converter's ratio
// to each peer, measured in the same run.
//
//   build/bench/convert_bench --benchmark_repetitions=5
//
// With repetitions the table uses the medians.
#include <benchmark/benchmark.h>

#include <soxr.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "audio/convert.h"
#include "audio/formats.h"
#include "driver/entry.h"

namespace {

// The benchmarks code one stream at a time: one GSM coder for the process.
GsmCoder gsmCoder;

constexpr double PI = 3.14159265358979323846;

struct Pair {
  uint32_t in, out, channels;
};
const Pair PAIRS[] = {{44100, 8000, 2},  {44100, 8000, 1},  {48000, 8000, 2},
                      {44100, 22050, 2}, {22050, 16000, 1}, {44100, 32000, 2},
                      {8000, 44100, 1},  {11025, 44100, 2}};
const char *PEERS[] = {"speex_q3", "speex_q5", "soxr_lq", "soxr_hq"};

std::string pairName(const Pair &p) {
  return std::to_string(p.in) + "_" + std::to_string(p.out) + (p.channels == 2 ? "_stereo" : "_mono");
}

// One second of two tones and a little noise, interleaved.
std::vector<int16_t> testSignal(uint32_t rate, uint32_t channels) {
  std::vector<int16_t> s(size_t(rate) * channels);
  uint32_t noise = 1;
  for (size_t i = 0; i < rate; i++) {
    for (uint32_t c = 0; c < channels; c++) {
      noise = noise * 1664525u + 1013904223u;
      double v = 9000 * std::sin(2 * PI * (440 + 300 * c) * i / rate) +
                 5000 * std::sin(2 * PI * 2500 * i / rate) + int(noise >> 22) - 512;
      s[i * channels + c] = int16_t(v);
    }
  }
  return s;
}

void setRealTime(benchmark::State &state) {
  state.counters["x_realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void ours(benchmark::State &state, Pair p) {
  std::vector<int16_t> in = testSignal(p.in, p.channels);
  std::vector<int16_t> out(size_t(RS_BLOCK_FRAMES) * p.channels * 8);
  Resampler rs = {};
  rsSetup(&rs, p.in, p.in, p.out, p.channels);
  for (auto _ : state) {
    for (uint32_t done = 0; done < p.in;) {
      uint32_t n = std::min<uint32_t>(RS_BLOCK_FRAMES, p.in - done), room = RS_BLOCK_FRAMES * 8;
      rsRun(&rs, &in[size_t(done) * p.channels], out.data(), &n, &room);
      done += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  setRealTime(state);
}

void speex(benchmark::State &state, Pair p, int quality) {
  std::vector<int16_t> in = testSignal(p.in, p.channels);
  std::vector<int16_t> out(size_t(RS_BLOCK_FRAMES) * p.channels * 8);
  int error = 0;
  SpeexResamplerState *st = speex_resampler_init(p.channels, p.in, p.out, quality, &error);
  for (auto _ : state) {
    for (uint32_t done = 0; done < p.in;) {
      spx_uint32_t n = std::min<uint32_t>(RS_BLOCK_FRAMES, p.in - done), room = RS_BLOCK_FRAMES * 8;
      speex_resampler_process_interleaved_int(st, &in[size_t(done) * p.channels], &n, out.data(), &room);
      done += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  speex_resampler_destroy(st);
  setRealTime(state);
}

void soxrRun(benchmark::State &state, Pair p, unsigned long recipe) {
  std::vector<int16_t> in = testSignal(p.in, p.channels);
  std::vector<int16_t> out(size_t(RS_BLOCK_FRAMES) * p.channels * 8);
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
  soxr_error_t error;
  soxr_t st = soxr_create(p.in, p.out, p.channels, &error, &io, &q, nullptr);
  for (auto _ : state) {
    for (uint32_t done = 0; done < p.in;) {
      size_t n = std::min<uint32_t>(RS_BLOCK_FRAMES, p.in - done), used = 0, made = 0;
      soxr_process(st, &in[size_t(done) * p.channels], n, &used, out.data(), RS_BLOCK_FRAMES * 8, &made);
      done += uint32_t(used);
    }
    benchmark::DoNotOptimize(out.data());
  }
  soxr_delete(st);
  setRealTime(state);
}

// One second of audio through an encoder, packet by packet, from a ring at
// the wire rate (as a ring at the application's rate would be when it
// matches), and back through the matching decoder.
enum Coder { COMPANDED, LINEAR16, GSM };

void encoder(benchmark::State &state, Coder coder, uint32_t rate, uint32_t channels) {
  SampleRing *ring = ringCreate(RING_FRAMES, rate, channels == 2);
  std::vector<int16_t> signal = testSignal(rate, channels);
  Resampler rs = {};
  rsSetup(&rs, rate, rate, rate, channels);
  uint8_t payload[1400];
  uint32_t perPacket = coder == GSM ? 1280 : 1400 / (channels * (coder == LINEAR16 ? 2 : 1));
  uint32_t position = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (uint32_t i = 0; i < rate; i++) {
      for (uint32_t c = 0; c < channels; c++) {
        ringSamples(ring)[((position + i) % RING_FRAMES) * channels + c] = signal[i * channels + c];
      }
    }
    state.ResumeTiming();
    for (uint32_t done = 0; done < rate;) {
      uint16_t frames;
      uint32_t before = rsInPos(&rs);
      uint32_t want = std::min(perPacket, rate - done);
      if (coder == GSM) {
        encodeGsm(ring, position, want, payload, &frames, &rs, &gsmCoder);
      } else if (coder == LINEAR16) {
        encodeLinear16(ring, position, want, payload, &frames, channels == 2, &rs);
      } else {
        encodeCompanded(ring, position, want, payload, &frames, 0, &rs);
      }
      uint32_t used = rsInPos(&rs) - before;
      if (used == 0) break;
      position += used;
      done += used;
    }
    benchmark::DoNotOptimize(payload);
  }
  LocalFree(ring);
  setRealTime(state);
}

void decoder(benchmark::State &state, Coder coder, uint32_t rate, uint32_t channels) {
  SampleRing *ring = ringCreate(RING_FRAMES, rate, channels == 2);
  SampleRing *source = ringCreate(RING_FRAMES, rate, channels == 2);
  std::vector<int16_t> signal = testSignal(rate, channels);
  for (size_t i = 0; i < signal.size(); i++) ringSamples(source)[i] = signal[i];
  Resampler enc = {}, rs = {};
  rsSetup(&enc, rate, rate, rate, channels);
  rsSetup(&rs, rate, rate, rate, channels);
  uint8_t payload[1400];
  uint16_t frames = 0;
  uint32_t bytes;
  uint32_t perPacket = coder == GSM ? 1280 : 1400 / (channels * (coder == LINEAR16 ? 2 : 1));
  if (coder == GSM) {
    bytes = encodeGsm(source, 0, perPacket, payload, &frames, &enc, &gsmCoder);
  } else if (coder == LINEAR16) {
    bytes = encodeLinear16(source, 0, perPacket, payload, &frames, channels == 2, &enc);
  } else {
    bytes = encodeCompanded(source, 0, perPacket, payload, &frames, 0, &enc);
  }
  AudioPayload packet = {frames, channels == 2 && coder == LINEAR16 ? 1u : 0u, payload, bytes};
  uint32_t position = 0;
  for (auto _ : state) {
    for (uint32_t done = 0; done < rate; done += frames) {
      uint32_t made = coder == GSM ? decodeGsm(&packet, position, ring, position, &rs, &gsmCoder)
                      : coder == LINEAR16 ? decodeLinear16(&packet, position, ring, position, &rs)
                                          : decodeCompanded(&packet, position, ring, position, &rs);
      position += made;
    }
    benchmark::DoNotOptimize(ring);
  }
  LocalFree(ring);
  LocalFree(source);
  setRealTime(state);
}

// Keeps each benchmark's real-time multiple (the median with repetitions)
// and prints the ratios when the run ends.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      auto it = run.counters.find("x_realtime");
      if (it == run.counters.end()) continue;
      std::string name = run.run_name.function_name;
      if (median || !medians_.count(name)) values_[name] = it->second.value;
      if (median) medians_[name] = true;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nMultiples of real time (%s); the converter's ratio to each peer:\n",
                medians_.empty() ? "single runs" : "medians");
    std::printf("%-22s %9s", "pair", "lumivox");
    for (const char *peer : PEERS) std::printf(" %9s %6s", peer, "ratio");
    std::printf("\n");
    double lowest = 0;
    std::string lowestPair;
    for (const Pair &p : PAIRS) {
      std::string pair = pairName(p);
      double mine = values_["lumivox/" + pair];
      std::printf("%-22s %9.0f", pair.c_str(), mine);
      for (const char *peer : PEERS) {
        double theirs = values_[std::string(peer) + "/" + pair];
        double ratio = theirs > 0 ? mine / theirs : 0.0;
        std::printf(" %9.0f %6.2f", theirs, ratio);
        if (std::string(peer) == "soxr_hq" && theirs > 0 && (lowestPair.empty() || ratio < lowest)) {
          lowest = ratio;
          lowestPair = pair;
        }
      }
      std::printf("\n");
    }
    if (!lowestPair.empty()) {
      std::printf("Lowest ratio to soxr_hq: %.2f (%s)\n", lowest, lowestPair.c_str());
    }
  }

 private:
  std::map<std::string, double> values_;
  std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char **argv) {
  drvInitLock();
  EnterCriticalSection(&drvLock);  // the coders run with drvLock held
  for (const Pair &p : PAIRS) {
    std::string pair = pairName(p);
    benchmark::RegisterBenchmark(("lumivox/" + pair).c_str(), ours, p);
    benchmark::RegisterBenchmark(("speex_q3/" + pair).c_str(), speex, p, 3);
    benchmark::RegisterBenchmark(("speex_q5/" + pair).c_str(), speex, p, 5);
    benchmark::RegisterBenchmark(("soxr_lq/" + pair).c_str(), soxrRun, p, SOXR_LQ);
    benchmark::RegisterBenchmark(("soxr_hq/" + pair).c_str(), soxrRun, p, SOXR_HQ);
  }
  benchmark::RegisterBenchmark("encode/companded_8000_mono", encoder, COMPANDED, 8000u, 1u);
  benchmark::RegisterBenchmark("encode/linear16_44100_stereo", encoder, LINEAR16, 44100u, 2u);
  benchmark::RegisterBenchmark("encode/gsm_8000_mono", encoder, GSM, 8000u, 1u);
  benchmark::RegisterBenchmark("decode/companded_8000_mono", decoder, COMPANDED, 8000u, 1u);
  benchmark::RegisterBenchmark("decode/linear16_44100_stereo", decoder, LINEAR16, 44100u, 2u);
  benchmark::RegisterBenchmark("decode/gsm_8000_mono", decoder, GSM, 8000u, 1u);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  LeaveCriticalSection(&drvLock);
  return 0;
}
