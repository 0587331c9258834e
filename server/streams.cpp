#include "server/streams.h"

#include <random>

namespace {

// Where a random search of a range of count ports starts.
uint32_t randomOffset(uint32_t count) {
  static std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, count - 1)(generator);
}

// Binds the socket at the first free port of the range (first 0: any
// port), counting from its start or, with randomOrder, from a random port
// of it and round.
bool bindIn(asio::ip::udp::socket &socket, const StreamPorts &ports, std::string &why) {
  asio::error_code error;
  socket.open(asio::ip::udp::v4(), error);
  if (error) {
    why = "no UDP socket: " + error.message();
    return false;
  }
  uint32_t last = ports.firstPort == 0 ? 0 : ports.lastPort;
  uint32_t count = last - ports.firstPort + 1;
  uint32_t offset = ports.randomOrder && count > 1 ? randomOffset(count) : 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t port = ports.firstPort + (offset + i) % count;
    socket.bind(asio::ip::udp::endpoint(ports.address, uint16_t(port)), error);
    if (!error) return true;
    if (error != asio::error::address_in_use) break;
  }
  if (ports.firstPort != 0 && error == asio::error::address_in_use) {
    why = "no free UDP port in " + std::to_string(ports.firstPort) + "-" +
          std::to_string(ports.lastPort);
  } else {
    why = "no UDP port: " + error.message();
  }
  socket.close(error);
  return false;
}

}  // namespace

// Every connection's streams are numbered in one sequence, so that two
// drivers' streams (each driver numbers its own) are told apart in the log
// and the statistics. The server's thread only.
static uint32_t streamsNumbered = 0;

StreamRecord *StreamTable::open(asio::io_context &io, const StreamPorts &ports, uint32_t driverHost,
                                const OpenStreamRequest &request, size_t memory, std::string &why) {
  if (streams_.count(request.id)) {
    why = "stream id already open";
    return nullptr;
  }
  if (streams_.size() >= STREAMS_MAX) {
    why = "too many streams on this connection";
    return nullptr;
  }
  auto record = std::make_unique<StreamRecord>(io);
  if (!bindIn(record->socket, ports, why)) return nullptr;
  record->id = request.id;
  record->number = ++streamsNumbered;
  record->direction = request.direction;
  record->deviceId = request.deviceId;
  record->driver = asio::ip::udp::endpoint(asio::ip::address_v4(driverHost), request.port);
  record->applicationRate = request.rate;
  record->applicationLead = request.lead;
  record->paused = false;
  record->pausedAt = 0;
  record->memory = memory;
  StreamRecord *made = record.get();
  streams_.emplace(request.id, std::move(record));
  if (clientStreams_) ++*clientStreams_;
  budget_->streams += 1;
  budget_->bytes += memory;
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
  release(*at->second);
  streams_.erase(at);
  if (clientStreams_) --*clientStreams_;
  return true;
}

void StreamTable::release(const StreamRecord &record) {
  budget_->streams -= 1;
  budget_->bytes -= record.memory;
}

void StreamTable::closeAll() {
  asio::error_code ignored;
  for (auto &entry : streams_) {
    if (entry.second->udp) entry.second->udp->close();
    entry.second->socket.close(ignored);
    release(*entry.second);
  }
  if (clientStreams_) *clientStreams_ -= uint32_t(streams_.size());
  clientStreams_ = nullptr;
  streams_.clear();
}
