#include "server/session.h"

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
  logTextFrom(peerAddress_, format, burst, level, line);
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
  log(LOG_INFO, "connected");
  if (server_.options().closeAfter == 0) {
    closeAfterOutput("closing after 0 messages (--close-after)");
    return;
  }
  connected_ = heard_ = std::chrono::steady_clock::now();
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
    std::snprintf(why, sizeof why, "no setup request within %u s (--setup-timeout): closing",
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
                    partial_ ? "part of a message and nothing more for %u s (--idle-timeout): closing"
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
      log(LOG_INFO, "closed by the driver");
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
  if (table_ == &RUNNING_PHASE_TABLE) ++sequence_;
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
  log(LOG_DEBUG, "sending type %u (%zu bytes)", unsigned(message[0]), message.size());
  output_.emplace_back(message.begin(), message.end());
  outputBytes_ += message.size();
  writeNext();
}

void ControlSession::writeNext() {
  if (writing_ || output_.empty() || finished_) return;
  writing_ = true;
  asio::async_write(socket_, asio::buffer(output_.front()),
                    [self = shared_from_this()](const asio::error_code &error, size_t) {
                      self->onWritten(error);
                    });
}

void ControlSession::onWritten(const asio::error_code &error) {
  writing_ = false;
  if (finished_) return;
  if (error) {
    log(LOG_INFO, "send failed: %s", error.message().c_str());
    finish();
    return;
  }
  outputBytes_ -= output_.front().size();
  output_.pop_front();
  writeNext();
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
  output_.clear();
  delayed_.clear();
  outputBytes_ = delayedBytes_ = 0;
  log(LOG_INFO, "closed (messages %llu, streams ended %zu)", (unsigned long long)messages_,
      streams);
  server_.sessionEnded(this);
}
