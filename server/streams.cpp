#include "server/streams.h"

namespace {

// Binds the socket at the first free port from firstPort (0: any port).
bool bindFrom(asio::ip::udp::socket &socket, const asio::ip::address_v4 &address,
              uint16_t firstPort, std::string &why) {
  asio::error_code error;
  socket.open(asio::ip::udp::v4(), error);
  if (error) {
    why = "no UDP socket: " + error.message();
    return false;
  }
  for (uint32_t port = firstPort; port <= 65535; ++port) {
    socket.bind(asio::ip::udp::endpoint(address, uint16_t(port)), error);
    if (!error) return true;
    if (firstPort == 0 || error != asio::error::address_in_use) break;
  }
  why = "no UDP port: " + error.message();
  socket.close(error);
  return false;
}

}  // namespace

StreamRecord *StreamTable::open(asio::io_context &io, const asio::ip::address_v4 &address,
                                uint16_t firstPort, const OpenStreamRequest &request,
                                std::string &why) {
  if (streams_.count(request.id)) {
    why = "stream id already open";
    return nullptr;
  }
  if (streams_.size() >= STREAMS_MAX) {
    why = "too many streams on this connection";
    return nullptr;
  }
  auto record = std::make_unique<StreamRecord>(io);
  if (!bindFrom(record->socket, address, firstPort, why)) return nullptr;
  record->id = request.id;
  record->direction = request.direction;
  record->deviceId = request.deviceId;
  record->driver = asio::ip::udp::endpoint(asio::ip::address_v4(request.address), request.port);
  record->applicationRate = request.rate;
  record->applicationLead = request.lead;
  record->paused = false;
  record->pausedAt = 0;
  StreamRecord *made = record.get();
  streams_.emplace(request.id, std::move(record));
  return made;
}

StreamRecord *StreamTable::find(uint32_t id) {
  auto at = streams_.find(id);
  return at == streams_.end() ? nullptr : at->second.get();
}

bool StreamTable::close(uint32_t id) {
  auto at = streams_.find(id);
  if (at == streams_.end()) return false;
  asio::error_code ignored;
  if (at->second->udp) at->second->udp->close();
  at->second->socket.close(ignored);
  streams_.erase(at);
  return true;
}

void StreamTable::closeAll() {
  asio::error_code ignored;
  for (auto &entry : streams_) {
    if (entry.second->udp) entry.second->udp->close();
    entry.second->socket.close(ignored);
  }
  streams_.clear();
}
