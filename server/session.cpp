#include "server/session.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "server/listener.h"
#include "server/log.h"

ControlSession::ControlSession(Server &server, asio::ip::tcp::socket socket, uint64_t number,
                               uint32_t address, ClientUsage &usage)
    : server_(server),
      socket_(std::move(socket)),
      delayTimer_(server.io()),
      flushTimer_(server.io()),
      watchTimer_(server.io()),
      number_(number),
      peerAddress_(address),
      streams_(usage.streams, server.streamBudget()) {
  asio::error_code error;
  asio::ip::tcp::endpoint peer = socket_.remote_endpoint(error);
  peer_ = error ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
  socket_.set_option(asio::ip::tcp::no_delay(true), error);  // small messages, answered at once
  // A connection that will not be read fills up after a few kilobytes
  // instead of the system's default buffer.
  if (server.options().stopReadingAfter >= 0) {
    socket_.set_option(asio::socket_base::receive_buffer_size(1024), error);
  }
}

void ControlSession::logWith(uint32_t burst, int level, const char *format, va_list arguments) {
  if (level > logLevel) return;
  char text[768];
  std::vsnprintf(text, sizeof text, format, arguments);
  char line[900];
  std::snprintf(line, sizeof line, "connection %llu (%s): %s", (unsigned long long)number_,
                peer_.c_str(), text);
  if (burst == 0) {
    logRoutineText(level, line);
  } else {
    logTextFrom(peerAddress_, format, burst, level, line);
  }
}

void ControlSession::note(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  logWith(0, LOG_INFO, format, arguments);
  va_end(arguments);
}

void ControlSession::log(int level, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  logWith(LOG_BURST, level, format, arguments);
  va_end(arguments);
}

void ControlSession::logRare(int level, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  logWith(LOG_BURST_RARE, level, format, arguments);
  va_end(arguments);
}

void ControlSession::start() {
  note("connected");
  // Answers are a few dozen bytes each: a small system buffer holds many,
  // and one that a driver never reads costs the system no more than that
  // (it would otherwise grow to megabytes before our own limit applies).
  asio::error_code ignored;
  socket_.set_option(asio::socket_base::send_buffer_size(SYSTEM_SEND_BYTES), ignored);
  if (server_.options().closeAfter == 0) {
    closeAfterOutput("closing after 0 messages (--close-after)");
    return;
  }
  connected_ = heard_ = std::chrono::steady_clock::now();
  countOutput();
  armWatch();
  readMore();
}

// Arms the watch timer for the earlier of the deadlines that apply. It is
// not moved when bytes come: when it fires early for that reason it is
// armed again for the rest.
void ControlSession::armWatch() {
  const ServerOptions &o = server_.options();
  using std::chrono::seconds;
  bool armed = false;
  std::chrono::steady_clock::time_point due;
  if (!setupReceived_ && o.setupTimeoutS) {
    due = connected_ + seconds(o.setupTimeoutS);
    armed = true;
  }
  if (o.idleTimeoutS) {
    auto idle = heard_ + seconds(o.idleTimeoutS);
    if (!armed || idle < due) due = idle;
    armed = true;
  }
  if (partial_ && o.setupTimeoutS) {
    auto complete = begun_ + seconds(o.setupTimeoutS);
    if (!armed || complete < due) due = complete;
    armed = true;
  }
  if (!armed) return;
  watchTimer_.expires_at(due);
  watchTimer_.async_wait(
      [self = shared_from_this()](const asio::error_code &error) { self->onWatch(error); });
}

void ControlSession::onWatch(const asio::error_code &error) {
  if (error || finished_ || closing_) return;
  const ServerOptions &o = server_.options();
  auto now = std::chrono::steady_clock::now();
  char why[160];
  if (!setupReceived_ && o.setupTimeoutS &&
      now >= connected_ + std::chrono::seconds(o.setupTimeoutS)) {
    std::snprintf(why, sizeof why,
                  "no setup request (or no key proof) within %u s (--setup-timeout): closing",
                  o.setupTimeoutS);
    closeAfterOutput(why);
    return;
  }
  // A message begun and not completed: a driver writes each whole, so
  // bytes that trickle hold a connection (and its streams) for nothing.
  if (partial_ && o.setupTimeoutS && now >= begun_ + std::chrono::seconds(o.setupTimeoutS)) {
    std::snprintf(why, sizeof why,
                  "a message begun %u s ago is still incomplete (--setup-timeout): closing",
                  o.setupTimeoutS);
    closeAfterOutput(why);
    return;
  }
  if (o.idleTimeoutS && now >= heard_ + std::chrono::seconds(o.idleTimeoutS)) {
    if (streams_.size() == 0 || partial_) {
      std::snprintf(why, sizeof why,
                    partial_
                        ? "part of a message and nothing more for %u s (--idle-timeout): closing"
                        : "nothing received for %u s and no stream open (--idle-timeout): closing",
                    o.idleTimeoutS);
      closeAfterOutput(why);
      return;
    }
    heard_ = now;  // a stream's connection is silent while it plays
  }
  armWatch();
}

void ControlSession::readMore() {
  if (reading_ || closing_ || finished_ || waitingBytes() > OUTPUT_LIMIT_BYTES) return;
  int64_t stopAfter = server_.options().stopReadingAfter;
  if (stopAfter >= 0 && messages_ >= uint64_t(stopAfter)) {
    if (!readingStopped_) log(LOG_INFO, "not reading any more (--stop-reading-after)");
    readingStopped_ = true;
    return;
  }
  reading_ = true;
  socket_.async_read_some(asio::buffer(receive_ + receiveFill_, RECEIVE_BYTES - receiveFill_),
                          [self = shared_from_this()](const asio::error_code &error, size_t bytes) {
                            self->onRead(error, bytes);
                          });
}

void ControlSession::onRead(const asio::error_code &error, size_t bytes) {
  reading_ = false;
  if (finished_) return;
  if (error) {
    if (error == asio::error::eof) {
      note("closed by the driver");
    } else {
      log(LOG_INFO, "receive failed: %s", error.message().c_str());
    }
    finish();
    return;
  }
  if (closing_) return;  // bytes after the decision to close are not handled
  heard_ = std::chrono::steady_clock::now();
  receiveFill_ += bytes;
  consume();
  readMore();
}

// Dispatches every complete message at the front of the buffer, then moves
// the incomplete rest (shorter than one maximum message) to the front.
void ControlSession::consume() {
  size_t start = 0;
  while (!closing_ && !finished_) {
    std::span<const uint8_t> rest(receive_ + start, receiveFill_ - start);
    Frame frame = frameNext(rest);
    if (frame.status == FrameStatus::NEED_MORE) break;
    if (frame.status != FrameStatus::COMPLETE) {
      log(LOG_INFO, "message of type %u with length field %zu (%zu bytes) %s: closing",
          unsigned(rest[0]), frame.bytes / 4, frame.bytes,
          frame.status == FrameStatus::TOO_SHORT ? "is shorter than 8 bytes" : "exceeds 512 bytes");
      closeAfterOutput("framing error");
      return;
    }
    dispatch(rest.first(frame.bytes));
    start += frame.bytes;
  }
  // An answer that would pass --max-memory finishes the session from inside
  // the dispatch: nothing more is kept or watched for it.
  if (finished_) return;
  std::memmove(receive_, receive_ + start, receiveFill_ - start);
  receiveFill_ -= start;
  // The time a message began is the time of the read that brought its
  // first bytes.
  if (receiveFill_ == 0) {
    partial_ = false;
  } else if (!partial_ || start > 0) {
    partial_ = true;
    begun_ = heard_;
    if (server_.options().setupTimeoutS) armWatch();
  }
}

void ControlSession::dispatch(std::span<const uint8_t> message) {
  ++messages_;
  if (table_ != &SETUP_PHASE_TABLE) ++sequence_;
  uint8_t type = messageType(message);
  const MessageEntry *entry = type < table_->entries.size() && table_->entries[type].handler
                                  ? &table_->entries[type]
                                  : nullptr;
  if (!entry) {
    log(LOG_INFO, "unknown message type %u (%zu bytes) in the %s phase: ignored", unsigned(type),
        message.size(), table_->phase);
  } else {
    log(LOG_DEBUG, "received %s (type %u, %zu bytes, sequence %u)", entry->name, unsigned(type),
        message.size(), sequence_);
    entry->handler(*this, message);
  }
  int64_t limit = server_.options().closeAfter;
  if (limit >= 0 && messages_ >= uint64_t(limit)) {
    closeAfterOutput("closing after the messages --close-after allows");
  }
}

AddressPair ControlSession::addressPair() const {
  asio::error_code error;
  asio::ip::tcp::endpoint local = socket_.local_endpoint(error),
                          peer = socket_.remote_endpoint(error);
  AddressPair pair{};
  if (error || !local.address().is_v4() || !peer.address().is_v4()) return pair;
  pair.driverAddress = peer.address().to_v4().to_uint();
  pair.driverPort = peer.port();
  pair.serverAddress = local.address().to_v4().to_uint();
  pair.serverPort = local.port();
  return pair;
}

void ControlSession::answer(Answer kind, std::span<const uint8_t> message) {
  if (finished_) return;
  const ServerOptions &o = server_.options();
  bool setup = kind == Answer::SETUP;
  if (setup ? o.withholdSetup : o.withholdReplies) {
    log(LOG_INFO, "withholding the %s (type %u, %zu bytes)", setup ? "setup answer" : "reply",
        unsigned(message[0]), message.size());
    return;
  }
  uint32_t delayMs = setup ? o.setupDelayMs : o.replyDelayMs;
  if (delayMs == 0 && delayed_.empty()) {
    queueOutput(message);
    return;
  }
  auto due = asio::steady_timer::clock_type::now() + std::chrono::milliseconds(delayMs);
  if (!delayed_.empty() && due < delayed_.back().due) due = delayed_.back().due;
  delayed_.push_back({due, std::vector<uint8_t>(message.begin(), message.end())});
  delayedBytes_ += message.size();
  log(LOG_DEBUG, "delaying type %u (%zu bytes) by %u ms", unsigned(message[0]), message.size(),
      delayMs);
  if (delayed_.size() == 1) armDelay();
}

void ControlSession::armDelay() {
  delayTimer_.expires_at(delayed_.front().due);
  delayTimer_.async_wait(
      [self = shared_from_this()](const asio::error_code &error) { self->onDelay(error); });
}

void ControlSession::onDelay(const asio::error_code &error) {
  if (finished_ || error == asio::error::operation_aborted) return;
  auto now = asio::steady_timer::clock_type::now();
  while (!delayed_.empty() && delayed_.front().due <= now) {
    Delayed due = std::move(delayed_.front());
    delayed_.pop_front();
    delayedBytes_ -= due.message.size();
    queueOutput(due.message);
  }
  if (!delayed_.empty()) armDelay();
  finishIfFlushed();
}

void ControlSession::queueOutput(std::span<const uint8_t> message) {
  if (finished_) return;
  log(LOG_DEBUG, "sending type %u (%zu bytes)", unsigned(message[0]), message.size());
  // Memory the buffer would take to hold it, against everything else the
  // server holds. The few answers a driver that reads them has waiting are
  // always kept: streams that fill the budget must not cut off the
  // connections that own them.
  const ServerOptions &o = server_.options();
  const StreamBudget &budget = server_.streamBudget();
  size_t grown = output_.size() + message.size();
  size_t more =
      grown > output_.capacity() ? std::max(grown, 2 * output_.capacity()) - output_.capacity() : 0;
  if (grown > OUTPUT_KEPT_BYTES &&
      server_.baseMemory() + budget.bytes + budget.output + more > uint64_t(o.maxMemoryMiB) << 20) {
    logRare(LOG_INFO, "%zu bytes of answers waiting would exceed --max-memory %u MiB: closing",
            waitingBytes() + message.size(), o.maxMemoryMiB);
    finish();
    return;
  }
  output_.insert(output_.end(), message.begin(), message.end());
  countOutput();
  writeNext();
}

void ControlSession::countOutput() {
  // A write outstanding at the finish holds its buffer until it completes.
  size_t now =
      finished_ ? sending_.capacity() : SESSION_BYTES + output_.capacity() + sending_.capacity();
  StreamBudget &budget = server_.streamBudget();
  budget.output = budget.output - outputCounted_ + now;
  outputCounted_ = now;
}

void ControlSession::writeNext() {
  if (writing_ || output_.empty() || finished_) return;
  writing_ = true;
  // What was appended so far goes out in one write; later answers gather
  // in the other buffer meanwhile.
  sending_.swap(output_);
  asio::async_write(socket_, asio::buffer(sending_),
                    [self = shared_from_this()](const asio::error_code &error, size_t) {
                      self->onWritten(error);
                    });
}

void ControlSession::onWritten(const asio::error_code &error) {
  writing_ = false;
  if (finished_) {
    std::vector<uint8_t>().swap(sending_);  // held for the write until now
    countOutput();
    return;
  }
  if (error) {
    log(LOG_INFO, "send failed: %s", error.message().c_str());
    finish();
    return;
  }
  sending_.clear();
  // A burst's buffer is not kept for an idle connection.
  if (sending_.capacity() > OUTPUT_KEPT_BYTES) std::vector<uint8_t>().swap(sending_);
  writeNext();
  countOutput();
  finishIfFlushed();
  readMore();
}

void ControlSession::closeAfterOutput(const char *why) {
  if (closing_ || finished_) return;
  closing_ = true;
  log(LOG_INFO, "%s", why);
  finishIfFlushed();
}

void ControlSession::finishIfFlushed() {
  if (!closing_ || finished_ || !delayed_.empty()) return;
  if (!writing_ && output_.empty()) {
    finish();
    return;
  }
  if (flushTimed_) return;
  flushTimed_ = true;
  flushTimer_.expires_after(std::chrono::milliseconds(FLUSH_LIMIT_MS));
  flushTimer_.async_wait([self = shared_from_this()](const asio::error_code &error) {
    if (error || self->finished_) return;
    self->log(LOG_INFO, "the driver took no output for %d ms while closing", FLUSH_LIMIT_MS);
    self->finish();
  });
}

void ControlSession::finish() {
  if (finished_) return;
  finished_ = true;
  size_t streams = streams_.size();
  streams_.closeAll();
  asio::error_code ignored;
  delayTimer_.cancel();
  flushTimer_.cancel();
  watchTimer_.cancel();
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  // The buffers' memory goes back now; a write still outstanding holds
  // sending_ until its cancellation, which needs only its pointer.
  std::vector<uint8_t>().swap(output_);
  if (!writing_) std::vector<uint8_t>().swap(sending_);
  countOutput();
  delayed_.clear();
  delayedBytes_ = 0;
  note("closed (messages %llu, streams ended %zu)", (unsigned long long)messages_, streams);
  server_.sessionEnded(this);
}
