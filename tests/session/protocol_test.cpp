// The control protocol's session against a raw loopback peer that plays
// the audio server byte for byte: the setup exchange, request layouts and
// sequence numbers, reply matching, stream binding, pause, and the end of a
// session. Each case uses addresses of its own in 127.79.0.0/16.
#include "session/protocol.h"

#include "audio/formats.h"
#include "stream/stream.h"
#include "stream/endpoint.h"
#include "platform/bytes.h"
#include "tests/support/control_support.h"

namespace {

// What the session's owner saw.
struct Recorder {
  int setups = 0;
  int closes = 0;
  int acceptSetup = 1;
  std::vector<std::pair<DWORD, DWORD>> queries;  // (control id, value)
  std::vector<StreamSlot *> streams;             // completions, null for none
};
Recorder *rec;

int onSetup(ServerSession *, void *) {
  rec->setups++;
  return rec->acceptSetup;
}
void onSessionClosed(ServerSession *, void *) { rec->closes++; }
void onQueried(ServerSession *, DWORD id, DWORD value, void *) {
  rec->queries.push_back({id, value});
}
void onStream(ServerSession *, StreamSlot *slot, void *) { rec->streams.push_back(slot); }

Bytes frame(std::initializer_list<int> head, size_t bytes) {
  Bytes m(bytes, 0);
  size_t i = 0;
  for (int b : head) m[i++] = BYTE(b);
  m[2] = BYTE(bytes / 4);
  m[3] = BYTE(bytes / 4 >> 8);
  return m;
}
void put32(Bytes &m, size_t at, DWORD v) { store32(m.data() + at, v); }
void put16(Bytes &m, size_t at, WORD v) { store16(m.data() + at, v); }

// Setup accepted listing a playback device 7, a recording device 8 and a
// kind-0 control 3 of device 7.
Bytes setupAccepted(WORD devices = 2, WORD controls = 1, size_t bytes = 40) {
  Bytes m = frame({1}, bytes);
  if (bytes < 16) return m;
  put16(m, 12, devices);
  put16(m, 14, controls);
  if (bytes >= 40) {
    m[16] = 0;
    put16(m, 18, 7);
    m[24] = 1;
    put16(m, 26, 8);
    m[32] = 0;
    put16(m, 34, 3);
    put16(m, 36, 7);
  }
  return m;
}

Bytes reply(BYTE type, BYTE status, DWORD sequence, size_t bytes) {
  Bytes m = frame({type, status}, bytes);
  put32(m, 4, sequence);
  return m;
}

class Protocol : public Control {
 protected:
  void SetUp() override {
    Control::SetUp();
    rec = &recorder;
  }
  void TearDown() override {
    for (StreamSlot *slot : recorder.streams) {
      if (slot) slotClose(slot);
    }
    if (source_.ring) LocalFree(source_.ring);
    if (sink_.ring) LocalFree(sink_.ring);
    peer_.close();
    listener_.reset();
    Control::TearDown();
  }

  // A session with the peer, through the setup exchange when accept is set.
  ServerSession *open(const char *ip, bool accept = true) {
    listener_ = std::make_unique<Listener>(ip, 0);
    if (!listener_->bound) return nullptr;
    ServerSession *s =
        sessionOpen(textFor(ip, listener_->port).c_str(), onSetup, onSessionClosed, nullptr);
    if (!s) return nullptr;
    peer_ = listener_->accept();
    EXPECT_TRUE(turnUntil(flushed));
    Bytes setup = peerReceive(peer_.s, SETUP_REQUEST_BYTES);
    EXPECT_EQ(setup, (Bytes{0, 0, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    if (accept) {
      peerSend(peer_.s, setupAccepted());
      EXPECT_TRUE(turnUntil([&] { return recorder.setups == 1; }));
    }
    return s;
  }
  // The next message the driver sent.
  static bool flushed() { return loopWriters == nullptr; }
  Bytes next() {
    EXPECT_TRUE(turnUntil(flushed));
    Bytes head = peerReceive(peer_.s, 4);
    if (head.size() < 4) return head;
    Bytes rest = peerReceive(peer_.s, 4 * size_t(load16(head.data() + 2)) - 4);
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }
  // Sends from the peer and runs turns until the driver has taken it.
  template <class Done>
  void deliver(const Bytes &m, Done done) {
    peerSend(peer_.s, m);
    ASSERT_TRUE(turnUntil(done));
  }
  PlaySource *source() {
    source_.ring = ringCreate(65536, 44100, 1);
    return &source_;
  }
  RecordSink *sink() {
    sink_.ring = ringCreate(65536, 22050, 0);
    return &sink_;
  }

  Recorder recorder;
  std::unique_ptr<Listener> listener_;
  Socket peer_;
  PlaySource source_ = {};
  RecordSink sink_ = {};
};

TEST_F(Protocol, SetupListsAreCopiedAndTheRunningTableTakesOver) {
  ServerSession *s = open("127.79.1.1");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->deviceCount, 2);
  ASSERT_EQ(s->controlCount, 1);
  EXPECT_EQ(serverDeviceDirection(&s->devices[0]), 0);
  EXPECT_EQ(serverDeviceId(&s->devices[0]), 7);
  EXPECT_EQ(serverDeviceDirection(&s->devices[1]), 1);
  EXPECT_EQ(serverDeviceId(&s->devices[1]), 8);
  EXPECT_EQ(serverControlKind(&s->controls[0]), 0);
  EXPECT_EQ(serverControlId(&s->controls[0]), 3);
  EXPECT_EQ(serverControlDevice(&s->controls[0]), 7);
  EXPECT_EQ(s->connection->table, &sessionRunningTable);
  connClose(s->connection);
  EXPECT_EQ(recorder.closes, 1);
  finishAll();
}

// Numbers run from 1 after the setup; requests without a reply count too;
// a reply for a later request completes the older ones with no reply; a
// reply for a number no longer pending is ignored; events are consumed.
TEST_F(Protocol, RepliesAreMatchedBySequenceNumber) {
  ServerSession *s = open("127.79.2.1");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(requestQueryControl(s, 3, onQueried, nullptr), 1);
  EXPECT_EQ(next(), (Bytes{3, 0, 2, 0, 3, 0, 0, 0}));
  Bytes answer = reply(1, 1, 1, 16);
  put32(answer, 8, 0x12345678);
  deliver(answer, [&] { return recorder.queries.size() == 1; });
  EXPECT_EQ(recorder.queries[0], (std::pair<DWORD, DWORD>{3, 0x12345678}));

  ASSERT_EQ(requestSetControl(s, 3, 0x00050005), 1);  // number 2
  EXPECT_EQ(next(), (Bytes{2, 0, 4, 0, 3, 0, 0, 0, 5, 0, 5, 0, 0, 0, 0, 0}));
  StreamSlot *bare = slotCreate();
  ASSERT_NE(bare, nullptr);
  Bytes close = {1, 0, 2, 0, 0, 0, 0, 0};
  store32(close.data() + 4, bare->id);
  requestCloseStream(s, bare);  // number 3; the slot is closed locally
  EXPECT_EQ(next(), close);
  ASSERT_EQ(requestQueryControl(s, 3, onQueried, nullptr), 1);  // 4
  ASSERT_EQ(requestQueryControl(s, 4, onQueried, nullptr), 1);  // 5
  next();
  next();
  answer = reply(0, 1, 5, 16);
  put32(answer, 8, 0xABCD0001);
  deliver(answer, [&] { return recorder.queries.size() == 3; });
  EXPECT_EQ(recorder.queries[1], (std::pair<DWORD, DWORD>{3, QUERY_NO_VALUE})) << "4 skipped";
  EXPECT_EQ(recorder.queries[2], (std::pair<DWORD, DWORD>{4, 0xABCD0001}));

  ASSERT_EQ(requestQueryControl(s, 3, onQueried, nullptr), 1);  // 6
  next();
  // Stale replies and an event: consumed, nothing completes.
  peerSend(peer_.s, joined({reply(1, 1, 2, 16), reply(1, 1, 5, 16), frame({2}, 20)}));
  readTurn(s->connection);
  pollTurn();  // the other two come from the buffer, one per turn
  pollTurn();
  EXPECT_EQ(recorder.queries.size(), 3u);
  ASSERT_NE(s->pending, nullptr);
  EXPECT_EQ(s->pending->sequence, 6u);

  // The end of the session completes what is still pending.
  connClose(s->connection);
  EXPECT_EQ(recorder.queries.size(), 4u);
  EXPECT_EQ(recorder.queries[3].second, QUERY_NO_VALUE);
  EXPECT_EQ(recorder.closes, 1);
  finishAll();
}

TEST_F(Protocol, AnAcceptedPlayStreamBindsItsSlotAndPauseTellsTheServerOnce) {
  ServerSession *s = open("127.79.3.1");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(requestOpenPlayStream(s, source(), 7, onStream, nullptr), 1);
  Bytes request = next();
  ASSERT_EQ(request.size(), OPEN_STREAM_BYTES);
  EXPECT_EQ(request[0], 0);
  EXPECT_EQ(request[1], 0) << "playback";
  EXPECT_EQ(load16(&request[2]), 9);
  EXPECT_EQ(load32(&request[4]), ntohl(inet_addr("127.0.0.1")))
      << "the driver's end of the control connection";
  WORD localPort = load16(&request[8]);
  EXPECT_GE(localPort, SLOT_PORT_BASE);
  EXPECT_EQ(request[10], 0);
  EXPECT_EQ(load32(&request[12]), 44100u);
  DWORD id = load32(&request[16]);
  EXPECT_EQ(load32(&request[20]), 256u);
  EXPECT_EQ(load32(&request[24]), 65536u);
  EXPECT_EQ(load16(&request[28]), 7);

  // The server's UDP side: a socket of the test's on the same host.
  Socket udp(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in at = addressOf("127.79.3.1", 0);
  ASSERT_EQ(bind(udp.s, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
  socklen_t atLength = sizeof at;
  getsockname(udp.s, reinterpret_cast<sockaddr *>(&at), &atLength);
  WORD udpPort = ntohs(at.sin_port);
  Bytes accepted = reply(0, STATUS_ACCEPTED, 1, 28);
  put16(accepted, 8, udpPort);
  accepted[10] = 1;
  put32(accepted, 12, 48000);
  put32(accepted, 16, id);
  put32(accepted, 20, 100);     // raised to the floor
  put32(accepted, 24, 100000);  // lowered to the ring
  deliver(accepted, [&] { return recorder.streams.size() == 1; });
  StreamSlot *slot = recorder.streams[0];
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->kind, SLOT_PLAY);
  EXPECT_EQ(slot->localPort, localPort);
  PlaySender *sender = slot->sender;
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(sender->leadMin, 256u);
  EXPECT_EQ(sender->leadMax, 65536u);
  EXPECT_EQ(sender->rateLimit, 48000u);
  EXPECT_EQ(ntohs(sender->server.sin_port), udpPort);
  EXPECT_EQ(sender->server.sin_addr.s_addr, inet_addr("127.79.3.1"))
      << "datagrams go to the host the control connection reached";
  // The new stream starts with its probe on the granted port: 1412 zero bytes.
  ASSERT_TRUE(turnUntil([&] { return sender->sentCount == 1; }));
  ASSERT_TRUE(waitFor(udp.s, false));
  char probe[2000];
  int n = recv(udp.s, probe, sizeof probe, 0);
  ASSERT_EQ(n, 1412);
  EXPECT_EQ(std::count(probe, probe + n, 0), n);

  requestPauseStream(s, slot, 1);
  Bytes pause = next();
  ASSERT_EQ(pause.size(), PAUSE_STREAM_BYTES);
  EXPECT_EQ(pause[0], 5);
  EXPECT_EQ(load32(&pause[4]), id);
  EXPECT_EQ(sender->paused, 1u);
  requestPauseStream(s, slot, 0);  // resuming sends nothing
  EXPECT_EQ(sender->paused, 0u);
  requestSetControl(s, 3, 1);
  EXPECT_EQ(next()[0], 2) << "the next message is the set-control, not a pause";
  EXPECT_EQ(s->requestCounter, 3u);
  connClose(s->connection);
  slotClose(slot);
  recorder.streams.clear();
  finishAll();
}

TEST_F(Protocol, RefusedShortAndSkippedStreamRepliesGiveNoSlot) {
  ServerSession *s = open("127.79.4.1");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(requestOpenRecordStream(s, sink(), 8, onStream, nullptr), 1);  // 1
  Bytes request = next();
  EXPECT_EQ(request[1], 1) << "recording";
  EXPECT_EQ(load32(&request[12]), 22050u);
  EXPECT_EQ(load32(&request[20]), 2048u) << "twice the sink's largest delivery";
  deliver(reply(0, 0, 1, 28), [&] { return recorder.streams.size() == 1; });
  EXPECT_EQ(recorder.streams[0], nullptr) << "status 0 refuses";

  ASSERT_EQ(requestOpenRecordStream(s, &sink_, 8, onStream, nullptr), 1);  // 2
  next();
  deliver(reply(0, STATUS_ACCEPTED, 2, 20), [&] { return recorder.streams.size() == 2; });
  EXPECT_EQ(recorder.streams[1], nullptr) << "a reply without the lead bounds";

  ASSERT_EQ(requestOpenRecordStream(s, &sink_, 8, onStream, nullptr), 1);  // 3
  ASSERT_EQ(requestOpenRecordStream(s, &sink_, 8, onStream, nullptr), 1);  // 4
  next();
  next();
  Bytes accepted = reply(0, STATUS_ACCEPTED, 4, 24);  // no maximum lead: accepted still
  put32(accepted, 12, 16000);
  deliver(accepted, [&] { return recorder.streams.size() == 4; });
  EXPECT_EQ(recorder.streams[2], nullptr) << "3 was skipped";
  ASSERT_NE(recorder.streams[3], nullptr);
  EXPECT_EQ(recorder.streams[3]->kind, SLOT_CAPTURE);
  slotClose(recorder.streams[3]);
  recorder.streams.clear();
  connClose(s->connection);
  finishAll();
}

TEST_F(Protocol, ASessionThatCannotGoOnClosesItsConnection) {
  struct Case {
    const char *ip;
    Bytes answer;
    int acceptSetup;
  };
  Case cases[] = {
      {"127.79.5.1", frame({0}, 8), 1},              // refused
      {"127.79.5.2", setupAccepted(2, 2, 40), 1},    // counts beyond the message
      {"127.79.5.3", setupAccepted(0, 0, 12), 1},    // too short for its counts
      {"127.79.5.4", setupAccepted(), 0},            // the owner declines
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.ip);
    recorder = Recorder{};
    recorder.acceptSetup = k.acceptSetup;
    ServerSession *s = open(k.ip, false);
    ASSERT_NE(s, nullptr);
    ControlConnection *c = s->connection;
    peerSend(peer_.s, k.answer);
    ASSERT_TRUE(turnUntil([&] { return recorder.closes == 1; }));
    EXPECT_EQ(c->session, nullptr);
    EXPECT_EQ(c->closed, 1u);
    finishAll();
    EXPECT_TRUE(peerSeesEnd(peer_.s));
  }
}

TEST_F(Protocol, APeerCloseEndsTheSessionAndCompletesAStreamRequest) {
  ServerSession *s = open("127.79.6.1");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(requestOpenPlayStream(s, source(), 7, onStream, nullptr), 1);
  next();
  peer_.close();
  ASSERT_TRUE(turnUntil([&] { return recorder.closes == 1; }));
  ASSERT_EQ(recorder.streams.size(), 1u);
  EXPECT_EQ(recorder.streams[0], nullptr) << "the bare slot was closed";
  finishAll();
}

}  // namespace
