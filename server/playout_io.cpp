// The playback streams' shared services, the tick and the poller, and a
// stream's socket drain. See server/playout.h.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "server/playout.h"

namespace {

// A drain stops after DRAIN_BATCHES calls of recvmmsg (of RECEIVE_BATCH
// datagrams) and goes on in a later handler, so one flooded socket cannot
// hold the thread.
constexpr unsigned DRAIN_BATCHES = 16;

}  // namespace

asio::execution_context::id PlayoutTicker::id;
asio::execution_context::id PlayoutPoller::id;

void PlayoutTicker::add(std::shared_ptr<PlayoutStream> stream) {
  waiting_.push_back(std::move(stream));
  if (armed_) return;
  armed_ = true;
  timer_.expires_after(PLAYOUT_TICK);
  timer_.async_wait([this](const asio::error_code &error) { onTick(error); });
}

// Runs the tick of every stream that asked; those whose clocks still run
// ask again from their tick. The grid stays fixed while streams tick, so a
// tick that came late does not push the later ones back; after a stall of
// more than a tick the grid starts again from now.
void PlayoutTicker::onTick(const asio::error_code &error) {
  if (error) return;  // the io_context is going
  // Still armed while the ticks run: streams that ask again wait for the
  // next tick, and the timer is set once, below.
  ++ticks_;
  due_.swap(waiting_);
  for (auto &stream : due_) stream->onTick();
  due_.clear();
  if (waiting_.empty()) {
    armed_ = false;
    return;
  }
  auto next = timer_.expiry() + PLAYOUT_TICK;
  auto now = asio::steady_timer::clock_type::now();
  timer_.expires_at(next > now ? next : now + PLAYOUT_TICK);
  timer_.async_wait([this](const asio::error_code &e) { onTick(e); });
}

PlayoutPoller::PlayoutPoller(asio::io_context &io) : service(io), io_(io), descriptor_(io) {}

bool PlayoutPoller::add(const std::shared_ptr<PlayoutStream> &stream, int socket) {
  // The set exists while streams do, so that a server without streams holds
  // no descriptor for it.
  if (!descriptor_.is_open()) {
    int set = epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) return false;
    asio::error_code error;
    descriptor_.assign(set, error);
    if (error) {
      ::close(set);
      return false;
    }
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.ptr = stream.get();
  if (epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_ADD, socket, &event) != 0) return false;
  streams_[stream.get()] = stream;
  // Whatever came before the registration makes no edge: take it now.
  asio::post(io_, [stream] {
    if (!stream->closed_) stream->drain();
  });
  arm();
  return true;
}

void PlayoutPoller::remove(PlayoutStream *stream, int socket) {
  auto it = streams_.find(stream);
  if (it == streams_.end()) return;
  epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_DEL, socket, nullptr);
  asio::post(io_, [keep = std::move(it->second)] {});
  streams_.erase(it);
  // No wait outlives the last stream: the io_context runs out of work as it
  // did before.
  if (streams_.empty()) {
    asio::error_code ignored;
    descriptor_.close(ignored);
  }
}

void PlayoutPoller::arm() {
  if (armed_ || !descriptor_.is_open()) return;
  armed_ = true;
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const asio::error_code &error) {
                           armed_ = false;
                           if (!error) {
                             onReady();
                           } else if (!streams_.empty()) {
                             arm();  // cancelled as the last stream left, and one came since
                           }
                         });
}

// Drains every socket that became readable. A stream that closes meanwhile
// has left the map, and its later events in the batch find nothing.
void PlayoutPoller::onReady() {
  epoll_event events[EVENTS];
  for (int round = 0; round < ROUNDS; ++round) {
    int n = epoll_wait(descriptor_.native_handle(), events, EVENTS, 0);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      auto it = streams_.find(static_cast<PlayoutStream *>(events[i].data.ptr));
      if (it == streams_.end()) continue;
      std::shared_ptr<PlayoutStream> stream = it->second;
      if (!stream->closed_) stream->drain();
    }
    if (n < EVENTS) break;
  }
  if (!streams_.empty()) arm();
}

// Waits on the socket alone, for a stream the poller could not take.
void PlayoutStream::receiveNext() {
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const asio::error_code &e) {
                       if (self->closed_ || e == asio::error::operation_aborted) return;
                       self->drain();
                     });
}

// Takes what the socket holds, a batch per call, until a short batch shows
// it empty; then waits again. Errors a datagram socket reports (an
// acknowledgement's port unreachable, say) come one per call and are
// passed over, as a receive passed over them before.
void PlayoutStream::drain() {
  std::array<mmsghdr, RECEIVE_BATCH> messages{};
  std::array<iovec, RECEIVE_BATCH> vectors{};
  for (unsigned batch = 0; batch < DRAIN_BATCHES; ++batch) {
    for (unsigned i = 0; i < RECEIVE_BATCH; ++i) {
      vectors[i] = {receive_[i].data(), receive_[i].size()};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &senders_[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders_[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got =
        recvmmsg(socket_.native_handle(), messages.data(), RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      continue;
    }
    for (int i = 0; i < got && !closed_; ++i) {
      const sockaddr_in &at = senders_[i];
      from_ = at.sin_family == AF_INET
                  ? asio::ip::udp::endpoint(asio::ip::address_v4(ntohl(at.sin_addr.s_addr)),
                                            ntohs(at.sin_port))
                  : asio::ip::udp::endpoint();
      onDatagram(std::span<const uint8_t>(receive_[i].data(), messages[i].msg_len));
    }
    if (closed_) return;
    if (unsigned(got) < RECEIVE_BATCH) break;
    if (batch + 1 == DRAIN_BATCHES) {
      asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (!self->closed_) self->drain();
      });
      return;
    }
  }
  if (!polled_) receiveNext();
}
