// The listening socket and the set of live control connections.
//
// One thread runs everything on one asio io_context: accepting, every
// connection's reads, writes and timers, and later the streams' datagrams.
// There is no fixed limit of sockets per wait (the driver's select-based
// loop has one; a server must not), only --max-clients connections at once.
//
// On a network one client address must not take the whole server: a peer
// outside --allow is closed at accept, and each peer address has its own
// count of connections (--max-connections-per-client, checked here) and
// of streams over all its connections (--max-streams-per-client, checked
// by the open-stream handler, counted by each connection's StreamTable).
#pragma once

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "server/catalog.h"
#include "server/options.h"
#include "server/streams.h"
#include "wire/auth.h"

class ControlSession;

// What one peer address holds at the moment.
struct ClientUsage {
  uint32_t connections = 0;
  uint32_t streams = 0;  // over all its connections
};

class Server {
 public:
  // A failed accept for want of descriptors or memory is retried after this
  // long instead of at once, which would spin.
  static constexpr int ACCEPT_RETRY_MS = 100;

  Server(asio::io_context &io, const ServerOptions &options);

  // Opens the listening socket. False with the reason in error.
  bool listen(std::string &error);
  // Where it listens, once listen succeeded.
  asio::ip::tcp::endpoint endpoint() const;
  // Accepts connections until stop.
  void start();
  // Closes the listening socket and every connection; io.run then returns.
  void stop();

  asio::io_context &io() { return io_; }
  const ServerOptions &options() const { return options_; }
  Catalog &catalog() { return catalog_; }
  const asio::ip::address_v4 &listenAddress() const { return address_; }
  // The streams of every connection, against --max-streams and --max-memory.
  StreamBudget &streamBudget() { return budget_; }
  // Bytes the server held when it began to listen (its resident size),
  // which --max-memory counts besides the streams.
  uint64_t baseMemory() const { return baseMemory_; }
  // Called once by each session as it finishes, after its streams closed.
  void sessionEnded(ControlSession *session);
  // The key drivers must prove, or null to serve every driver (--no-auth).
  void setKey(const uint8_t key[KEY_BYTES]) {
    std::copy_n(key, KEY_BYTES, key_.begin());
    keyed_ = true;
  }
  const uint8_t *key() const { return keyed_ ? key_.data() : nullptr; }

 private:
  void acceptNext();
  void onAccepted(const asio::error_code &error, asio::ip::tcp::socket socket);

  asio::io_context &io_;
  const ServerOptions &options_;
  Catalog catalog_;
  asio::ip::address_v4 address_;  // the listen address; stream sockets bind here too
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer retry_;  // ACCEPT_RETRY_MS after a failed accept
  std::unordered_map<ControlSession *, std::shared_ptr<ControlSession>> sessions_;
  // By peer address, host order; an entry lives while the peer has a
  // connection, and its sessions hold a reference to it (the map's nodes
  // do not move).
  std::unordered_map<uint32_t, ClientUsage> clients_;
  StreamBudget budget_;
  uint64_t baseMemory_ = 0;
  uint64_t accepted_ = 0;  // connections accepted so far; numbers them in the log
  bool stopping_ = false;
  std::array<uint8_t, KEY_BYTES> key_{};
  bool keyed_ = false;
};
