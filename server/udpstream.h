// The datagram side of a granted stream.
//
// Playback (PlayoutStream): the driver's play sender is paced by our
// acknowledgements, not by a clock of its own. Every datagram it sends (the
// probe included) gets one acknowledgement with unsolicited 0 at once, which
// gives it a round-trip sample; the played position `consumed` is what lets
// it send more, so a playout clock advances it in real time at the stream's
// timebase (the application's rate) and reports each advance unsolicited.
// Audio is decoded into a ring at the output's rate and channel count, and
// what the clock consumes is written to the WAV file, or dropped. With
// --fast everything received is consumed at once.
//
// Recording (CaptureStream): the roles reverse. We send audio packets with
// positions in frames of the timebase announced in the reply, no further
// ahead of the driver's `consumed` credit than the stream's lead, and (but
// with --fast) no faster than real time.
//
// Either is bound from its open on to the driver's end: the control
// connection's peer address and the UDP port the open request names. The
// socket is connected there, so that the system drops every other sender's
// datagrams: another user of the driver's host can neither steer the
// playout nor take the recording's credit or its packets, however fast it
// sprays acknowledgements. Where something in between changes the port (a
// relay of --advertise-udp-port or --send-via, a NAT with --learn-udp-port)
// the stream instead learns the port from the first valid datagram from
// the driver's host, as such setups need. With --send-via, recording
// packets go to a routed relay behind a route header naming the driver's
// port.
//
// Both run on the server's one asio thread. Pending operations hold the
// stream by a shared pointer; close() ends the socket and the timer at once
// and writes the stream's final statistics.
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>

struct ServerOptions;
struct StreamRecord;

class UdpStream {
 public:
  virtual ~UdpStream() = default;
  // Ends the stream: no datagram is sent or handled after it. Idempotent.
  virtual void close() = 0;
  // A pause request: the playout clock stops until the next data packet.
  virtual void pause() = 0;
};

// Takes over the record's socket and starts serving it; the record's
// direction decides which stream it becomes. Null when it cannot start (its
// input file cannot be read, say), with the reason logged.
std::shared_ptr<UdpStream> udpStreamStart(asio::io_context &io, const ServerOptions &options,
                                          StreamRecord &record);

// Whether streams learn their driver's port from the first valid datagram
// instead of taking the one the open request names (a relay or a NAT in
// between).
bool udpStreamLearnsPort(const ServerOptions &options);

// Binds a stream's socket to its driver's end (`connect`), so that the
// system drops datagrams from anywhere else. False, with the reason
// logged for the stream `id` of the driver's host `host`, when it cannot.
bool udpStreamBind(asio::ip::udp::socket &socket, const asio::ip::udp::endpoint &end, uint32_t id,
                   uint32_t host);

// What a stream holds besides its ring and its object: the record, its
// socket's bookkeeping, the sound system's stream and its buffers.
constexpr size_t STREAM_OVERHEAD_BYTES = 64 * 1024;

// The bytes a stream of this direction and application rate will hold at
// most once started: its ring, its state and the converter's. What
// --max-memory counts.
size_t udpStreamMemory(const ServerOptions &options, uint8_t direction, uint32_t applicationRate);
