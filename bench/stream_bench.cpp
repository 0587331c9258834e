// The play sender's send path: senderSend on every wire format row from a
// 44100 Hz stereo ring, each packet read through the rate converter and the
// row's encoder and sent to a loopback socket. Each row reports packets per
// second and a multiple of real time (seconds of application audio sent per
// second); the reference is a bare sendto of a full 1412-byte datagram on
// the same socket, measured in the same run, as the floor that the system
// call alone sets.
//
//   build/bench/stream_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>

#include "audio/formats.h"
#include "driver/entry.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

namespace {

constexpr uint32_t RING_RATE = 44100;

// Endless application audio: a tone on both channels.
int benchFill(PlaySource *source, uint32_t position, uint32_t amount) {
  uint32_t need = position + amount - source->produced;
  if (int32_t(need) <= 0) return 0;
  for (uint32_t i = 0; i < need; i++, source->produced++) {
    uint32_t span;
    int16_t *at = ringSpan(source->ring, source->produced, &span);
    at[0] = at[1] = int16_t(8000 * std::sin(source->produced * 0.0627));
  }
  return 1;
}
void benchActivity(PlaySource *, int) {}
void benchProgress(PlaySource *, uint32_t) {}

// A socket that takes the datagrams and is never read: the kernel drops
// what overflows its buffer, which costs the sender nothing more.
SOCKET sinkSocket(uint16_t *port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
  *port = ntohs(a.sin_port);
  return s;
}

void sendRow(benchmark::State &state, int row) {
  PlaySource source = {};
  static const PlaySourceEvents events = {benchFill, benchActivity, benchProgress, nullptr};
  source.events = &events;
  source.ring = ringCreate(RING_FRAMES, RING_RATE, 1);
  uint16_t port;
  SOCKET target = sinkSocket(&port);
  StreamSlot *slot = slotCreate();
  slotBindPlay(slot, &source, 0x7F000001, port, 256, 65536, 0, 48000);
  PlaySender *sender = slot->sender;
  workDequeue(&sender->work);
  sender->started = 1;
  senderSwitch(sender, &wireFormats[row], 20);
  uint64_t frames = 0, packets = 0;
  for (auto _ : state) {
    uint32_t before = sender->sent;
    sender->inFlight = 0;  // every packet answered at once
    senderSend(sender);
    frames += sender->sent - before;
    packets++;
  }
  state.counters["packets_per_s"] =
      benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
  state.counters["x_realtime"] =
      benchmark::Counter(double(frames) / RING_RATE, benchmark::Counter::kIsRate);
  state.counters["frames_per_packet"] = double(frames) / double(packets ? packets : 1);
  slotClose(slot);
  closesocket(target);
  LocalFree(source.ring);
}

void bareSendto(benchmark::State &state) {
  uint16_t port;
  SOCKET target = sinkSocket(&port);
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(0x7F000001);
  to.sin_port = htons(port);
  char datagram[PACKET_MAX_DATAGRAM] = {};
  for (auto _ : state) {
    sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  state.counters["packets_per_s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  closesocket(s);
  closesocket(target);
}

}  // namespace

int main(int argc, char **argv) {
  drvInitLock();
  EnterCriticalSection(&drvLock);  // the sender runs with drvLock held
  benchmark::RegisterBenchmark("reference/sendto_1412", bareSendto);
  for (int row = 0; row < WIRE_FORMAT_COUNT; row++) {
    const WireFormat &f = wireFormats[row];
    std::string name = "senderSend/row" + std::to_string(row) + "_kind" + std::to_string(f.kind) +
                       "_" + std::to_string(f.rate) + (f.stereo ? "_stereo" : "_mono");
    benchmark::RegisterBenchmark(name.c_str(), sendRow, row);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  LeaveCriticalSection(&drvLock);
  return 0;
}
