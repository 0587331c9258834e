// The streams a control connection has been granted.
//
// Each stream owns a UDP socket bound on the server's listen address; its
// port is the one the open-stream reply announces, so the driver's datagrams
// (playback) reach this socket and the server's (recording) leave from it.
// Once granted, the datagram side (server/udpstream.h) takes the socket
// over. A connection's streams end with it.
//
// The driver's end of a stream is the control connection's peer address at
// the UDP port the request names. The request carries an address too, but
// a server on a network must not send a recording wherever a request says
// (it would be a reflector towards a third party), and a driver behind an
// address translation names an address the server cannot reach anyway.
//
// Memory: a playback stream holds a ring of 2^18 stereo frames (1 MiB), a
// recording one of RING_FRAMES (256 KiB at most); with STREAMS_MAX per
// connection and --max-streams-per-client per peer address a client holds
// at most that many MiB of rings. Over all clients, --max-streams and
// --max-memory bound the whole (StreamBudget).
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/udpstream.h"
#include "wire/messages.h"

// The most lead a driver asks for or keeps, in its frames: its ring's
// length. Larger values only ever get bounded, but no driver sends them.
constexpr uint32_t APPLICATION_LEAD_MAX = 65536;

// What the streams of every connection hold together; each open adds its
// stream and its memory estimate (udpStreamMemory), each close takes them
// off.
struct StreamBudget {
  uint32_t streams = 0;
  uint64_t bytes = 0;   // the streams' memory
  uint64_t output = 0;  // the control connections and their unsent answers (buffers' capacity)
};

struct StreamRecord {
  uint32_t id;                       // the driver's slot id, unique on its connection
  uint32_t number;                   // the server's own, unique over its run: the log's and stats'
  size_t memory = 0;                 // bytes counted in the StreamBudget for it
  uint8_t direction;                 // DIRECTION_PLAYBACK or DIRECTION_RECORDING
  uint16_t deviceId;                 // the listed device it plays to or records from
  asio::ip::udp::endpoint driver;    // the driver's slot socket: the peer's address, request's port
  uint32_t applicationRate;          // Hz, the application's rate as the driver gave it
  uint32_t applicationLead;          // frames, the lead the driver asked for
  uint32_t rate;                     // Hz, the rate of the reply
  uint32_t minLead;                  // frames, as replied
  uint32_t maxLead;                  // frames, as replied
  const uint32_t *volume = nullptr;  // the stored value of its device's volume control, if listed
  bool paused;                       // a pause request came and no later one
  uint32_t pausedAt;                 // frames of the stream's timebase, from the pause request
  asio::ip::udp::socket socket;      // bound; local port is the reply's port; moved to udp
  std::shared_ptr<UdpStream> udp;    // the datagram side once started, else null

  explicit StreamRecord(asio::io_context &io) : socket(io) {}
};

// Where a stream's socket is bound: the listen address, and a port from
// firstPort to lastPort (firstPort 0: any port the system gives).
struct StreamPorts {
  asio::ip::address_v4 address;
  uint16_t firstPort;
  uint16_t lastPort;
  // Tried from a random port of the range onwards, round to its start, so
  // that a stream's port cannot be guessed from the ones before it.
  bool randomOrder = false;
};

// The streams of one connection, by id.
class StreamTable {
 public:
  // The driver opens one stream per direction and device instance; more than
  // this on one connection is refused.
  static constexpr size_t STREAMS_MAX = 32;

  // `clientStreams` counts the streams of every connection of this peer
  // address: each open adds one, each close takes it off.
  StreamTable(uint32_t &clientStreams, StreamBudget &budget)
      : clientStreams_(&clientStreams), budget_(&budget) {}
  StreamTable(const StreamTable &) = delete;
  StreamTable &operator=(const StreamTable &) = delete;

  // Binds a UDP socket at the first free port of `ports`; the driver's end
  // is `driverHost` (IPv4, host order) at the request's port; `memory` is
  // counted in the budget while it is open. Returns the new record, or
  // null with the reason in `why` (duplicate id, table full, no free port).
  StreamRecord *open(asio::io_context &io, const StreamPorts &ports, uint32_t driverHost,
                     const OpenStreamRequest &request, size_t memory, std::string &why);
  StreamRecord *find(uint32_t id);
  // Closes the socket and drops the record; false when there is none.
  bool close(uint32_t id);
  // Closes every stream; the table counts for the client no more (the
  // connection is ending).
  void closeAll();
  size_t size() const { return streams_.size(); }
  // The streams of every connection of this peer address.
  uint32_t clientStreams() const { return clientStreams_ ? *clientStreams_ : 0; }

 private:
  void release(const StreamRecord &record);

  std::map<uint32_t, std::unique_ptr<StreamRecord>> streams_;
  uint32_t *clientStreams_;  // null once closeAll ran
  StreamBudget *budget_;
};
