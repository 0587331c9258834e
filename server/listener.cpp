#include "server/listener.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "server/log.h"
#include "server/session.h"

Server::Server(asio::io_context &io, const ServerOptions &options)
    : io_(io),
      options_(options),
      catalog_(catalogCreate(options)),
      address_(asio::ip::make_address_v4(options.listen)),
      acceptor_(io),
      retry_(io) {}

bool Server::listen(std::string &error) {
  asio::ip::tcp::endpoint at(address_, serverControlPort(options_));
  asio::error_code e;
  if (!e) acceptor_.open(at.protocol(), e);
  if (!e) acceptor_.set_option(asio::socket_base::reuse_address(true), e);
  if (!e) acceptor_.bind(at, e);
  if (!e) acceptor_.listen(asio::socket_base::max_listen_connections, e);
  if (e) {
    error = e.message();
    asio::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  return true;
}

namespace {

// The process's resident size in bytes, or 0 when the system does not say.
uint64_t residentBytes() {
  FILE *statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  unsigned long long size = 0, resident = 0;
  int got = std::fscanf(statm, "%llu %llu", &size, &resident);
  std::fclose(statm);
  return got == 2 ? resident * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace

asio::ip::tcp::endpoint Server::endpoint() const {
  asio::error_code ignored;
  return acceptor_.local_endpoint(ignored);
}

void Server::start() {
  baseMemory_ = residentBytes();
  acceptNext();
}

void Server::acceptNext() {
  acceptor_.async_accept([this](const asio::error_code &error, asio::ip::tcp::socket socket) {
    onAccepted(error, std::move(socket));
  });
}

void Server::onAccepted(const asio::error_code &error, asio::ip::tcp::socket socket) {
  if (stopping_ || error == asio::error::operation_aborted) return;
  if (error) {
    logLine(LOG_INFO, "accept failed: %s", error.message().c_str());
    bool exhausted = error == asio::error::no_descriptors || error == asio::error::no_memory ||
                     error == asio::error::no_buffer_space;
    if (!exhausted) {
      acceptNext();
      return;
    }
    retry_.expires_after(std::chrono::milliseconds(ACCEPT_RETRY_MS));
    retry_.async_wait([this](const asio::error_code &e) {
      if (!e && !stopping_) acceptNext();
    });
    return;
  }
  ++accepted_;
  asio::error_code e;
  asio::ip::tcp::endpoint peer = socket.remote_endpoint(e);
  // The acceptor is IPv4; a peer that is gone already has no address.
  uint32_t address = !e && peer.address().is_v4() ? peer.address().to_v4().to_uint() : 0;
  std::string who = e ? std::string("?") : peer.address().to_string();
  auto known = clients_.find(address);
  uint32_t held = known == clients_.end() ? 0 : known->second.connections;
  std::string refusal;
  if (e) {
    refusal = "the peer is gone";
  } else if (!serverAllows(options_, address)) {
    refusal = who + " is not in the --allow networks";
  } else if (sessions_.size() >= options_.maxClients) {
    refusal = std::to_string(sessions_.size()) + " connections already (--max-clients)";
  } else if (held >= options_.maxConnectionsPerClient) {
    refusal = who + " has " + std::to_string(held) +
              " connections already (--max-connections-per-client)";
  }
  if (!refusal.empty()) {
    logFrom(address, LOG_INFO, "connection %llu refused: %s", (unsigned long long)accepted_,
            refusal.c_str());
    asio::error_code ignored;
    socket.close(ignored);
  } else {
    ClientUsage &usage = clients_[address];
    ++usage.connections;
    auto session =
        std::make_shared<ControlSession>(*this, std::move(socket), accepted_, address, usage);
    sessions_.emplace(session.get(), session);
    session->start();
  }
  acceptNext();
}

void Server::stop() {
  if (stopping_) return;
  stopping_ = true;
  asio::error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
  // finish() removes each session from the map, so walk a copy.
  std::vector<std::shared_ptr<ControlSession>> live;
  for (auto &entry : sessions_) live.push_back(entry.second);
  for (auto &session : live) session->finish();
  logLine(LOG_INFO, "stopped after %llu connections", (unsigned long long)accepted_);
}

void Server::sessionEnded(ControlSession *session) {
  auto at = clients_.find(session->peerAddress());
  if (at != clients_.end() && --at->second.connections == 0) clients_.erase(at);
  sessions_.erase(session);
}
