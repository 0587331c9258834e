// The streams a control connection has been granted.
//
// Each stream owns a UDP socket bound on the server's listen address; its
// port is the one the open-stream reply announces, so the driver's datagrams
// (playback) reach this socket and the server's (recording) leave from it.
// Once granted, the datagram side (server/udpstream.h) takes the socket
// over. A connection's streams end with it.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "server/messages.h"
#include "server/udpstream.h"

struct StreamRecord {
  uint32_t id;                       // the driver's slot id, unique on its connection
  uint8_t direction;                 // DIRECTION_PLAYBACK or DIRECTION_RECORDING
  uint16_t deviceId;                 // the listed device it plays to or records from
  asio::ip::udp::endpoint driver;    // the driver's slot socket: request's address and port
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

// The streams of one connection, by id.
class StreamTable {
 public:
  // The driver opens one stream per direction and device instance; more than
  // this on one connection is refused.
  static constexpr size_t STREAMS_MAX = 32;

  // Binds a UDP socket on `address`: port 0 lets the system choose; any
  // other `firstPort` is tried upwards to 65535 while ports are taken.
  // Returns the new record, or null with the reason in `why` (duplicate id,
  // table full, no port).
  StreamRecord *open(asio::io_context &io, const asio::ip::address_v4 &address, uint16_t firstPort,
                     const OpenStreamRequest &request, std::string &why);
  StreamRecord *find(uint32_t id);
  // Closes the socket and drops the record; false when there is none.
  bool close(uint32_t id);
  void closeAll();
  size_t size() const { return streams_.size(); }

 private:
  std::map<uint32_t, std::unique_ptr<StreamRecord>> streams_;
};
