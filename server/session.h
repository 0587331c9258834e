// One driver's control connection: framing, dispatch by type byte through
// the current message table, the ordered output with its delays, and the
// orderly close.
//
// Received bytes are framed by frameNext; each complete message goes to the
// handler its type byte selects in the current table (setup phase first,
// running phase once the setup is accepted). Types without a handler are
// logged and skipped. Framing errors (a length below 8 bytes or above 512)
// leave no way to find the next message, so they close the connection.
//
// Output is one ordered run of bytes: the answers not yet sent, appended
// to one buffer while the one before it is written, so that a small answer
// costs its bytes and no allocation of its own. Answers that the options
// delay wait in a second queue, in order, each due no earlier than the one
// before it, so a delay never reorders what the driver receives. While more
// than OUTPUT_LIMIT_BYTES are waiting the connection stops reading: a
// driver that sends requests and never reads the answers costs a bounded
// amount of memory. The connection and its buffers count with the
// streams against --max-memory (StreamBudget::output); a connection whose
// answers would pass it is closed.
//
// Two deadlines keep a connection from holding its place for nothing: the
// setup request must be complete within --setup-timeout of the connect,
// and afterwards a connection that has no stream and sends nothing for
// --idle-timeout is closed. A connection with a stream open is never idle:
// the driver keeps a playing stream's connection open and silent for the
// whole stream.
//
// Lifetime: the server holds each session by a shared pointer, and every
// pending operation holds one too; finish() closes the socket, the timer and
// the streams at once, and the record goes when the last operation has
// seen the cancellation.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "server/streams.h"
#include "wire/auth.h"
#include "wire/messages.h"

class ControlSession;
class Server;
struct ClientUsage;

// The handler of one message type; the message is complete and framed, and
// is valid only during the call.
using MessageHandler = void (*)(ControlSession &session, std::span<const uint8_t> message);

struct MessageEntry {
  const char *name;    // for the log
  const char *layout;  // the fields in order: "b" 8-bit, "s" 16-bit, "l" 32-bit; not interpreted
  MessageHandler handler;  // null for a type no driver sends
};

struct MessageTable {
  const char *phase;                      // "setup" or "running", for the log
  std::span<const MessageEntry> entries;  // indexed by type byte
};

// The tables (server/requests.cpp): the setup phase; with a key, the
// phase between the challenge and the proof; the running phase.
extern const MessageTable SETUP_PHASE_TABLE;
extern const MessageTable PROOF_PHASE_TABLE;
extern const MessageTable RUNNING_PHASE_TABLE;

class ControlSession : public std::enable_shared_from_this<ControlSession> {
 public:
  // Answers and replies waiting to be sent, above which reading pauses.
  static constexpr size_t OUTPUT_LIMIT_BYTES = 64 * 1024;
  // An output buffer larger than this is given back once written: a
  // connection's usual answers fit it many times over.
  static constexpr size_t OUTPUT_KEPT_BYTES = 4096;
  // The system's send buffer of a control connection.
  static constexpr int SYSTEM_SEND_BYTES = 16 * 1024;
  // What a connection holds besides its answers (this record, its receive
  // buffer, the pending operations), counted with them: measured at about
  // 7.5 KiB a connection under a flood of 256.
  static constexpr size_t SESSION_BYTES = 8 * 1024;
  // Received bytes held at once: a whole maximum message always fits after
  // the remainder of the previous read.
  static constexpr size_t RECEIVE_BYTES = 8 * MESSAGE_MAX_BYTES;
  // An orderly close gives a driver that does not read this long to take
  // the last answers (once no delayed answer is left); then the connection
  // is finished regardless, so a closing connection cannot linger.
  static constexpr int FLUSH_LIMIT_MS = 10000;

  enum class Answer { SETUP, REPLY };  // which delay and withhold options apply

  // `address` is the peer's IPv4 address (host order) and `usage` its
  // entry in the server's per-client counts, which outlives the session's
  // streams.
  ControlSession(Server &server, asio::ip::tcp::socket socket, uint64_t number, uint32_t address,
                 ClientUsage &usage);
  ControlSession(const ControlSession &) = delete;
  ControlSession &operator=(const ControlSession &) = delete;

  // Starts reading (or, with --close-after 0, closes).
  void start();
  // Ends the connection now: socket, timer and streams closed, unsent output
  // dropped. Safe to call more than once.
  void finish();

  // For the handlers.
  Server &server() { return server_; }
  StreamTable &streams() { return streams_; }
  // The peer's IPv4 address: where the driver is, whatever its requests say.
  uint32_t peerAddress() const { return peerAddress_; }
  // The setup has completed (with the key's proof when one is required):
  // the setup deadline no longer applies.
  void setupReceived() { setupReceived_ = true; }
  // The setup's challenge, for the proof that answers it.
  uint8_t *challenge() { return challenge_; }
  // Both ends of the connection, as the key's proof names them.
  AddressPair addressPair() const;
  // True the first time a request names another address than the peer's:
  // that is logged once per connection.
  bool firstForeignAddress() { return !std::exchange(foreignAddressSeen_, true); }
  // The sequence number of the request being handled: running-phase
  // messages received so far, this one included.
  uint32_t sequence() const { return sequence_; }
  void setTable(const MessageTable &table) { table_ = &table; }
  // Sends (or delays, or withholds) one answer.
  void answer(Answer kind, std::span<const uint8_t> message);
  // Orderly close: reads no more, sends what is queued and delayed, then
  // finishes.
  void closeAfterOutput(const char *why);
  // A log line prefixed with the connection's number and peer; limited per
  // kind (the format) and peer address (server/log.h).
  void log(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // The same, at most once a minute for the peer address: for refusals a
  // client provokes at will.
  void logRare(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // A routine line of the connection's lawful use (connected, set up, a
  // stream opened or closed), never limited per kind (logRoutine).
  void note(const char *format, ...) __attribute__((format(printf, 2, 3)));

 private:
  struct Delayed {
    asio::steady_timer::time_point due;
    std::vector<uint8_t> message;
  };

  void readMore();
  void onRead(const asio::error_code &error, size_t bytes);
  void consume();
  void dispatch(std::span<const uint8_t> message);
  void queueOutput(std::span<const uint8_t> message);
  void writeNext();
  void onWritten(const asio::error_code &error);
  void armDelay();
  void onDelay(const asio::error_code &error);
  void finishIfFlushed();
  void armWatch();
  void onWatch(const asio::error_code &error);
  void logWith(uint32_t burst, int level, const char *format, va_list arguments);
  size_t waitingBytes() const { return output_.size() + sending_.size() + delayedBytes_; }
  // Brings the server's count of output memory to what the two buffers
  // hold now.
  void countOutput();

  Server &server_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer delayTimer_;  // due at the head of delayed_
  asio::steady_timer flushTimer_;  // FLUSH_LIMIT_MS after closing began with output left
  asio::steady_timer watchTimer_;  // the setup deadline, then the idle one
  uint64_t number_;                // this server's count of accepted connections
  uint32_t peerAddress_;           // IPv4, host order
  uint8_t challenge_[CHALLENGE_NONCE_BYTES] = {};
  std::string peer_;  // "address:port", for the log
  const MessageTable *table_ = &SETUP_PHASE_TABLE;
  uint8_t receive_[RECEIVE_BYTES];
  size_t receiveFill_ = 0;           // bytes, from the front; always starts at a message
  uint64_t messages_ = 0;            // messages handled, setup included
  uint32_t sequence_ = 0;            // running-phase messages received
  std::vector<uint8_t> output_;      // answers to send after sending_
  std::vector<uint8_t> sending_;     // the bytes being written; empty while none is
  size_t outputCounted_ = 0;         // bytes counted for this connection in the server's budget
  std::deque<Delayed> delayed_;      // due times ascending
  size_t delayedBytes_ = 0;          // bytes in delayed_
  bool reading_ = false;             // a read is outstanding
  bool writing_ = false;             // a write of sending_ is outstanding
  bool closing_ = false;             // closeAfterOutput was called
  bool readingStopped_ = false;      // --stop-reading-after took effect
  bool flushTimed_ = false;          // flushTimer_ is armed
  bool finished_ = false;            // finish was called
  bool setupReceived_ = false;       // the setup request was handled
  bool foreignAddressSeen_ = false;  // a request named another address
  std::chrono::steady_clock::time_point connected_;  // when start ran
  std::chrono::steady_clock::time_point heard_;      // when bytes last came
  std::chrono::steady_clock::time_point begun_;      // when the incomplete message began
  bool partial_ = false;                             // part of a message is held
  StreamTable streams_;
};
