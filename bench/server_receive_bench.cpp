// lumivox-server's receive path for playback: how many datagrams per second
// its playout side takes, decodes and acknowledges, with the output going
// nowhere (no --output) and the clock consuming at once (--fast), in three
// wire formats: 48000 Hz stereo 16-bit linear, 8000 Hz companded and GSM,
// each packet as full as the driver makes it (about 1384 coded bytes) and
// the stream's rate 48000 Hz.
//
//   server/  the real playout stream (server/playout.cpp) on its own asio
//            context, fed over loopback: one sendto of a packet, one
//            completion that decodes it and sends the acknowledgement.
//   decode/  the decoders alone as the playout calls them (rate converter
//            set up, gap check, decode into the output ring, the ring
//            cleared behind), without sockets.
//   reference/recv_and_ack_1412  the system calls alone: a sendto of 1412
//            bytes, its recvfrom and a 16-byte answer, as the floor.
//
// Each reports packets per second and a multiple of real time (seconds of
// audio taken per second).
//
//   build/bench/server_receive_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <asio.hpp>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/convert.h"
#include "audio/formats.h"
#include "stream/stream.h"
#include "server/log.h"
#include "wire/messages.h"
#include "server/options.h"
#include "server/streams.h"
#include "server/udpstream.h"

namespace {

// The benchmarks code one stream at a time: one GSM coder for the process.
GsmCoder gsmCoder;

constexpr uint32_t STREAM_RATE = 48000;   // the application's rate: the packets' timebase
constexpr uint32_t PAYLOAD_BYTES = 1384;  // what the driver's largest packets code

// One packet of a row: a tone coded as the driver codes it; start is
// patched for each send so that every packet follows the one before.
struct CodedPacket {
  std::vector<uint8_t> bytes;  // header and payload
  uint32_t duration;           // timebase frames
  uint32_t wireFrames;         // frames coded
};

CodedPacket codePacket(const WireFormat &row) {
  SampleRing *ring = ringCreate(RING_FRAMES, STREAM_RATE, 1);
  for (uint32_t i = 0; i < RING_FRAMES; i++) {
    uint32_t span;
    int16_t *at = ringSpan(ring, i, &span);
    at[0] = at[1] = int16_t(10000 * std::sin(i * 0.0731));
  }
  Resampler rs = {};
  rsSetup(&rs, STREAM_RATE, STREAM_RATE, row.rate, 2);
  rsSetOutPos(&rs, 0);
  uint32_t want =
      rsLookahead(&rs, uint32_t(uint64_t(STREAM_RATE) * PAYLOAD_BYTES / row.bytesPerSecond));
  CodedPacket p;
  p.bytes.assign(PACKET_MAX_DATAGRAM, 0);
  uint16_t wireFrames = 0;
  uint8_t *payload = p.bytes.data() + PACKET_HEADER_BYTES;
  uint32_t bytes = 0;
  if (row.kind == WIRE_LINEAR16) {
    bytes = encodeLinear16(ring, 0, want, payload, &wireFrames, int(row.stereo), &rs);
  } else if (row.kind == WIRE_COMPANDED) {
    bytes = encodeCompanded(ring, 0, want, payload, &wireFrames, int(row.stereo), &rs);
  } else {
    bytes = encodeGsm(ring, 0, want, payload, &wireFrames, &rs, &gsmCoder);
  }
  p.bytes.resize(PACKET_HEADER_BYTES + bytes);
  p.duration = rsOutPos(&rs);
  p.wireFrames = wireFrames;
  PacketHeader h = {0,        wireFrames,          uint16_t(p.duration),
                    row.kind, uint8_t(row.stereo), row.rateIndex};
  packetStoreHeader(p.bytes.data(), &h);
  LocalFree(ring);
  return p;
}

void setStart(CodedPacket &p, uint32_t start) {
  for (int i = 0; i < 4; i++) p.bytes[i] = uint8_t(start >> (8 * i));
}

void counters(benchmark::State &state, uint64_t packets, uint64_t frames, const CodedPacket &p) {
  state.counters["packets_per_s"] =
      benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
  state.counters["x_realtime"] =
      benchmark::Counter(double(frames) / STREAM_RATE, benchmark::Counter::kIsRate);
  state.counters["wire_frames"] = double(p.wireFrames);
  state.counters["bytes"] = double(p.bytes.size());
}

void serverReceive(benchmark::State &state, int rowIndex) {
  CodedPacket p = codePacket(wireFormats[rowIndex]);
  PacketHeader checked;
  if (!packetCheck(p.bytes.data(), int(p.bytes.size()), &checked)) {
    state.SkipWithError("the coded packet is not well formed");
    return;
  }
  asio::io_context io;
  ServerOptions options;
  options.fast = true;
  asio::ip::udp::socket driver(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  driver.non_blocking(true);
  StreamRecord record(io);
  record.socket.open(asio::ip::udp::v4());
  record.socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  record.id = 1;
  record.direction = DIRECTION_PLAYBACK;
  record.deviceId = 1;
  record.driver = driver.local_endpoint();
  record.applicationRate = STREAM_RATE;
  asio::ip::udp::endpoint server = record.socket.local_endpoint();
  std::shared_ptr<UdpStream> stream = udpStreamStart(io, options, record);
  if (!stream) {
    state.SkipWithError("the playout stream did not start");
    return;
  }
  uint32_t start = 0;
  uint64_t packets = 0;
  uint8_t ack[64];
  asio::error_code ignored;
  for (auto _ : state) {
    setStart(p, start);
    driver.send_to(asio::buffer(p.bytes), server, 0, ignored);
    // The receive completion decodes and acknowledges; the handlers that
    // run first (a stream's start, a closed one let go) answer nothing.
    do {
      io.run_one();
    } while (driver.available(ignored) == 0);
    start += p.duration;
    packets++;
    while (driver.receive(asio::buffer(ack), 0, ignored) > 0) {
    }
  }
  // Every packet was decoded and consumed: the last acknowledgement says so.
  setStart(p, start);
  driver.non_blocking(false);
  driver.send_to(asio::buffer(p.bytes), server, 0, ignored);
  do {
    io.run_one();
  } while (driver.available(ignored) == 0);
  size_t got = driver.receive(asio::buffer(ack), 0, ignored);
  StreamAck last = {};
  if (!ackLoad(ack, int(got), &last) || last.consumed != start + p.duration) {
    state.SkipWithError("the stream did not consume what it was sent");
  }
  counters(state, packets, uint64_t(packets) * p.duration, p);
  stream->close();
}

// What PlayoutStream::decode does for a packet that follows the last one.
void decodeOnly(benchmark::State &state, int rowIndex) {
  const WireFormat &row = wireFormats[rowIndex];
  CodedPacket p = codePacket(row);
  SampleRing *ring = ringCreate(1u << 18, STREAM_RATE, 1);
  Resampler rs = {};
  uint32_t start = 0, writePos = 0, readPos = 0;
  uint64_t packets = 0;
  for (auto _ : state) {
    rsSetup(&rs, STREAM_RATE, row.rate, ring->rate, ring->channels);
    rsStartPacket(&rs, start);
    AudioPayload payload = {p.wireFrames, row.stereo, p.bytes.data() + PACKET_HEADER_BYTES,
                            uint32_t(p.bytes.size() - PACKET_HEADER_BYTES)};
    uint32_t made = 0;
    if (row.kind == WIRE_LINEAR16) made = decodeLinear16(&payload, writePos, ring, readPos, &rs);
    if (row.kind == WIRE_COMPANDED) made = decodeCompanded(&payload, writePos, ring, readPos, &rs);
    if (row.kind == WIRE_GSM) made = decodeGsm(&payload, writePos, ring, readPos, &rs, &gsmCoder);
    writePos += made;
    // Played out at once: cleared behind, as the playout's writeOut does.
    while (readPos != writePos) {
      uint32_t span;
      ringSpan(ring, readPos, &span);
      uint32_t n = std::min(span, writePos - readPos);
      ringClear(ring, readPos, n);
      readPos += n;
    }
    start += p.duration;
    packets++;
  }
  counters(state, packets, uint64_t(packets) * p.duration, p);
  LocalFree(ring);
}

void recvAndAck(benchmark::State &state) {
  asio::io_context io;
  asio::ip::udp::socket driver(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  asio::ip::udp::socket server(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
  std::vector<uint8_t> datagram(PACKET_MAX_DATAGRAM), received(PACKET_MAX_DATAGRAM + 1);
  uint8_t ack[ACK_BYTES] = {};
  asio::ip::udp::endpoint from;
  for (auto _ : state) {
    driver.send_to(asio::buffer(datagram), server.local_endpoint());
    server.receive_from(asio::buffer(received), from);
    server.send_to(asio::buffer(ack), from);
    driver.receive(asio::buffer(ack));
  }
  state.counters["packets_per_s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char **argv) {
  logLevel = LOG_ERROR;
  benchmark::RegisterBenchmark("reference/recv_and_ack_1412", recvAndAck);
  const struct {
    int row;
    const char *name;
  } rows[] = {{17, "linear16_48000_stereo"}, {1, "companded_8000_mono"}, {0, "gsm_8000_mono"}};
  for (const auto &r : rows) {
    benchmark::RegisterBenchmark((std::string("server/") + r.name).c_str(), serverReceive, r.row);
  }
  for (const auto &r : rows) {
    benchmark::RegisterBenchmark((std::string("decode/") + r.name).c_str(), decodeOnly, r.row);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
