// The control connection against raw loopback peers whose writes the test
// controls, driven turn by turn from the test thread with a frozen tick.
// Every case uses addresses of its own in 127.77.0.0/16, since CTest runs
// cases in parallel.
#include "tests/support/control_support.h"

namespace {

// --- Address texts ---------------------------------------------------------

TEST_F(Control, ParsePortReadsLeadingDigitsOnly) {
  EXPECT_EQ(parsePort("7"), 7u);
  EXPECT_EQ(parsePort("3000"), 3000u);
  EXPECT_EQ(parsePort("12x4"), 12u);
  EXPECT_EQ(parsePort(""), 0u);
  EXPECT_EQ(parsePort("x5"), 0u);
  EXPECT_EQ(parsePort("-5"), 0u);
  EXPECT_EQ(parsePort("65539"), 65539u);
  EXPECT_EQ(parsePort("4294967299") % 65536, 3u) << "wraps modulo 2^32, so modulo 65536 is exact";
}

// Each text connects where it should: the peer address of the connected
// socket is checked after the connect watcher has handed over.
TEST_F(Control, AddressTextsChooseHostAndPort) {
  struct Case {
    std::string text;
    const char *ip;
    uint16_t port;
  };
  std::vector<Case> cases = {
      {"127.77.1.1:3", "127.77.1.1", 9003},
      {"127.77.1.2:3000", "127.77.1.2", 3000},
      {"127.77.1.3", "127.77.1.3", 9000},
      {"127.77.1.4:65539", "127.77.1.4", 9003},  // 65539 mod 65536 is a display number
      {"127.77.1.5:", "127.77.1.5", 9000},
  };
  // The empty host is 127.0.0.1, shared with every other program: take the
  // first display number, and the first port from 3000, that are free.
  for (int display = 5; display < 100; display++) {
    Listener probe("127.0.0.1", uint16_t(9000 + display));
    if (!probe.bound) continue;
    cases.push_back({":" + std::to_string(display), "127.0.0.1", uint16_t(9000 + display)});
    break;
  }
  for (uint16_t port = 3000; port < 3100; port++) {
    Listener probe("127.0.0.1", port);
    if (!probe.bound) continue;
    cases.push_back({":" + std::to_string(port), "127.0.0.1", port});
    break;
  }
  ASSERT_EQ(cases.size(), 7u) << "no free loopback port for the empty-host cases";

  for (const Case &k : cases) {
    SCOPED_TRACE(k.text);
    Listener listener(k.ip, k.port);
    ASSERT_TRUE(listener.bound);
    ControlConnection *c = connOpen(k.text.c_str(), &THREE_TYPES, onClosed);
    ASSERT_NE(c, nullptr);
    Socket peer = listener.accept();
    ASSERT_NE(peer.s, INVALID_SOCKET);
    ASSERT_TRUE(turnUntil([&] { return c->readRegistered == 1; }));
    sockaddr_in to;
    socklen_t length = sizeof to;
    ASSERT_EQ(getpeername(c->socket, reinterpret_cast<sockaddr *>(&to), &length), 0);
    EXPECT_EQ(to.sin_addr.s_addr, inet_addr(k.ip));
    EXPECT_EQ(ntohs(to.sin_port), k.port);
    connClose(c);
    finishAll();
  }
  EXPECT_EQ(seen.closedCalls, int(cases.size()));
}

// "=" connects before connOpen returns; the socket is non-blocking after.
TEST_F(Control, EqualsSignConnectsInBlockingMode) {
  Listener listener("127.77.2.1", 0);
  ASSERT_TRUE(listener.bound);
  ControlConnection *c =
      connOpen(("=" + textFor("127.77.2.1", listener.port)).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  sockaddr_in to;
  socklen_t length = sizeof to;
  EXPECT_EQ(getpeername(c->socket, reinterpret_cast<sockaddr *>(&to), &length), 0)
      << "connected already";
  char byte;
  EXPECT_EQ(recv(c->socket, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "non-blocking from here on";
  Socket peer = listener.accept();
  pollTurn();
  EXPECT_EQ(c->readRegistered, 1u) << "the first turn sees the connect complete";
  connClose(c);
  finishAll();
}

TEST_F(Control, OpenFailuresLeaveNothingBehind) {
  std::string longHost(CONN_HOST_CHARS, '1');
  EXPECT_EQ(connOpen((longHost + ":5").c_str(), &THREE_TYPES, onClosed), nullptr);
  EXPECT_EQ(connOpen(longHost.c_str(), &THREE_TYPES, onClosed), nullptr);

  Listener refusing("127.77.3.1", 0, false);
  ASSERT_TRUE(refusing.bound);
  std::string refused = "=" + textFor("127.77.3.1", refusing.port);
  EXPECT_EQ(connOpen(refused.c_str(), &THREE_TYPES, onClosed), nullptr)
      << "a blocking connect reports the refusal at once";

#ifndef _WIN32
  Listener listener("127.77.3.2", 0);
  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 0, 1);
  EXPECT_EQ(connOpen(textFor("127.77.3.2", listener.port).c_str(), &THREE_TYPES, onClosed),
            nullptr);
  lvFaultReset();
#endif
  EXPECT_EQ(seen.closedCalls, 0);
  EXPECT_TRUE(nothingRegistered());
}

// A connect refused after it started reaches the owner within a few turns
// (writability on POSIX, an exception on Windows), not at the 37.5 s
// connect time-out; a refusal the connect call itself reports opens
// nothing.
TEST_F(Control, ARefusedConnectIsToldToTheOwnerAtOnce) {
  Listener refusing("127.77.3.3", 0, false);
  ASSERT_TRUE(refusing.bound);
  ControlConnection *c =
      connOpen(textFor("127.77.3.3", refusing.port).c_str(), &THREE_TYPES, onClosed);
  if (c) {
    EXPECT_TRUE(turnUntil([&] { return seen.closedCalls == 1; }));
    finishAll();
  }
  EXPECT_EQ(seen.closedCalls, c ? 1 : 0);
  EXPECT_TRUE(nothingRegistered());
}

// --- Receive framing -------------------------------------------------------

// Two messages in one segment, then the peer's end of stream: the second
// message is dispatched in the next turn from the buffer alone (a second
// recv would have met the end and closed the connection first).
TEST_F(Control, TwoMessagesInOneSegmentRunOnePerTurnWithoutAnotherRecv) {
  Listener listener("127.77.4.1", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.4.1", &peer);
  ASSERT_NE(c, nullptr);
  Bytes first = message(1, 8), second = message(2, 12);
  peerSend(peer.s, joined({first, second}));
  shutdown(peer.s, SHUTDOWN_SEND);

  readTurn(c);
  ASSERT_EQ(seen.received, std::vector<Bytes>{first});
  EXPECT_EQ(c->readWatcher.ready, 1) << "a whole header more is buffered";
  loopTurn();
  EXPECT_EQ(seen.received, (std::vector<Bytes>{first, second}));
  EXPECT_EQ(seen.closedCalls, 0);
  EXPECT_EQ(c->readWatcher.ready, 0);
  ASSERT_TRUE(turnUntil([&] { return seen.closedCalls == 1; })) << "then the end closes";
  finishAll();
}

// Nothing is dispatched until the header, and then the whole length, are in.
TEST_F(Control, MessageAndHeaderSplitAcrossSegments) {
  Listener listener("127.77.4.2", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.4.2", &peer);
  ASSERT_NE(c, nullptr);
  Bytes m = message(2, 24), next = message(1, 8);
  Bytes stream = joined({m, next});
  // Split inside the length field, inside the body, one byte short, and
  // inside the next header.
  const size_t cuts[] = {0, 3, 5, 20, 23, 27, stream.size()};
  for (size_t i = 0; i + 1 < std::size(cuts); i++) {
    peerSend(peer.s, Bytes(stream.begin() + cuts[i], stream.begin() + cuts[i + 1]));
    readTurn(c);
    if (cuts[i + 1] < m.size()) {
      EXPECT_TRUE(seen.received.empty()) << "after " << cuts[i + 1];
    }
    if (cuts[i + 1] == 5) {
      EXPECT_EQ(c->neededLength, 8u);
    }
    if (cuts[i + 1] == 20) {
      EXPECT_EQ(c->neededLength, 24u) << "the header gave the length";
    }
  }
  ASSERT_TRUE(turnUntil([&] { return seen.received.size() == 2; }));
  EXPECT_EQ(seen.received, (std::vector<Bytes>{m, next}));
  connClose(c);
  finishAll();
}

TEST_F(Control, TypesAtOrAboveTheCountAreConsumedAndIgnored) {
  Listener listener("127.77.4.3", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.4.3", &peer);
  ASSERT_NE(c, nullptr);
  Bytes known = message(2, 16, 0x10);
  peerSend(peer.s, joined({message(3, 16), message(255, 8), known}));
  readTurn(c);
  loopTurn();
  EXPECT_TRUE(seen.received.empty());
  loopTurn();
  EXPECT_EQ(seen.received, std::vector<Bytes>{known});
  EXPECT_EQ(c->recvStart, c->recvFill) << "everything consumed";
  connClose(c);
  finishAll();
}

// The table a handler installs selects the next message's handler; a
// handler that closes the connection ends dispatching at once.
TEST_F(Control, HandlersMayReplaceTheTableOrClose) {
  Listener listener("127.77.4.4", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.4.4", &peer);
  ASSERT_NE(c, nullptr);
  seen.switchTo = &TWO_TYPES;
  seen.closeOnType = 101;  // never: the second table's handler does not close
  peerSend(peer.s, joined({message(0, 8), message(2, 8), message(1, 8)}));
  readTurn(c);
  ASSERT_TRUE(turnUntil([&] { return c->readWatcher.ready == 0; }));
  ASSERT_EQ(seen.received.size(), 2u);
  EXPECT_EQ(seen.received[0][0], 0) << "the first table";
  EXPECT_EQ(seen.received[1][0], 101) << "type 2 is beyond the new table; type 1 uses it";

  c->table = &THREE_TYPES;
  seen.received.clear();
  seen.closeOnType = 1;
  peerSend(peer.s, joined({message(1, 8), message(2, 8)}));
  readTurn(c);
  EXPECT_EQ(seen.closedCalls, 1);
  EXPECT_EQ(c->readRegistered, 0u);
  finishAll();
  EXPECT_EQ(seen.received.size(), 1u) << "nothing is dispatched after the close";
}

// Length fields of 0 and 1 close the connection, and so does a message
// larger than the buffer, which could never be read whole.
TEST_F(Control, MalformedLengthsHaveBoundedOutcomes) {
  for (BYTE words : {0, 1}) {
    SCOPED_TRACE(int(words));
    seen = Owner();
    Listener listener("127.77.5.1", 0);
    Socket peer;
    ControlConnection *c = openConnected(listener, "127.77.5.1", &peer);
    ASSERT_NE(c, nullptr);
    Bytes bad = message(1, 8);
    bad[2] = words;
    peerSend(peer.s, joined({bad, message(2, 8)}));
    readTurn(c);
    EXPECT_EQ(seen.closedCalls, 1);
    EXPECT_TRUE(seen.received.empty());
    finishAll();
    EXPECT_TRUE(peerSeesEnd(peer.s));
  }

  seen = Owner();
  Listener listener("127.77.5.2", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.5.2", &peer);
  ASSERT_NE(c, nullptr);
  peerSend(peer.s, joined({message(2, 8), message(1, 800)}));  // 200 words: can never fit
  ASSERT_TRUE(turnUntil([&] { return seen.closedCalls == 1; }));
  EXPECT_EQ(seen.received.size(), 1u) << "the message before it is dispatched";
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
  // With the rest of the message unread the end may come as a reset.
  char byte;
  EXPECT_TRUE(waitFor(peer.s, false));
  EXPECT_LE(recv(peer.s, &byte, 1, 0), 0);
}

// --- Sending and closing ---------------------------------------------------

// Messages queued while connecting wait behind the connect watcher and are
// the first bytes on the wire.
TEST_F(Control, MessagesQueuedWhileConnectingGoOutFirst) {
  Listener listener("127.77.6.1", 0);
  ControlConnection *c =
      connOpen(textFor("127.77.6.1", listener.port).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  Bytes setup = message(0, 16), query = message(3, 8);
  EXPECT_EQ(connSend(c, setup.data()), 1);
  EXPECT_EQ(connSend(c, query.data()), 1);
  ASSERT_EQ(loopWriters, &c->writeWatcher);
  EXPECT_EQ(c->writeWatcher.next, nullptr) << "one write registration: the connect watcher";
  EXPECT_EQ(c->writeWatcher.callback, connOnConnected);
  Socket peer = listener.accept();
  ASSERT_TRUE(turnUntil([&] { return c->readRegistered == 1 && c->sendFill == 0; }));
  EXPECT_EQ(peerReceive(peer.s, setup.size() + query.size()), joined({setup, query}));
  EXPECT_EQ(loopWriters, nullptr) << "the write watcher goes once the output is out";
  connClose(c);
  finishAll();
  EXPECT_TRUE(peerSeesEnd(peer.s));
}

// The first close keeps the queued output: it is flushed, then the socket
// closed and the record freed. Nothing more is queued once closed.
TEST_F(Control, CloseWithOutputQueuedFlushesThenFrees) {
  Listener listener("127.77.6.2", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.6.2", &peer);
  ASSERT_NE(c, nullptr);
  Bytes a = message(2, 16, 1), b = message(5, 128, 2), late = message(1, 8);
  ASSERT_EQ(connSend(c, a.data()), 1);
  ASSERT_EQ(connSend(c, b.data()), 1);
  connClose(c);
  EXPECT_EQ(seen.closedCalls, 1) << "the owner learns at once";
  EXPECT_EQ(c->readRegistered, 0u);
  EXPECT_EQ(c->writeRegistered, 1u) << "the output still goes";
  EXPECT_EQ(connSend(c, late.data()), 0) << "a closed connection queues nothing";
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
  EXPECT_EQ(peerReceive(peer.s, a.size() + b.size()), joined({a, b}));
  EXPECT_TRUE(peerSeesEnd(peer.s)) << "the socket is closed after the flush";
}

// The flush after a close is bounded: a peer that stops reading would keep
// the write watcher, and an I/O thread's stop, waiting for ever.
TEST_F(Control, FlushToAPeerThatStopsReadingEndsAfterTheBound) {
  Listener listener("127.77.6.5", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.6.5", &peer);
  ASSERT_NE(c, nullptr);
  int small = 4096;  // bytes; the system may round it up
  setsockopt(c->socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&small),
             sizeof small);
  setsockopt(peer.s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&small), sizeof small);
  Bytes m = message(2, 128);
  // Queue until the socket takes nothing for three turns in a row.
  int stalled = 0;
  for (int i = 0; i < 100000 && stalled < 3; i++) {
    if (c->sendFill + m.size() <= CONN_BUFFER_BYTES) {
      ASSERT_EQ(connSend(c, m.data()), 1);
    }
    DWORD before = c->sendDone;
    pollTurn();
    stalled = c->sendDone == before && c->sendDone < c->sendFill ? stalled + 1 : 0;
  }
  ASSERT_EQ(stalled, 3) << "the socket never stopped taking bytes";
  connClose(c);
  EXPECT_EQ(seen.closedCalls, 1);
  lvTickAdvance(CONN_FLUSH_TIMEOUT_MS - 1);
  pollTurn();
  EXPECT_EQ(loopWriters, &c->writeWatcher) << "still flushing one millisecond early";
  lvTickAdvance(1);
  pollTurn();
  EXPECT_EQ(loopWriters, nullptr) << "the output is given up";
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
}

// A message that cannot fit, or that is shorter than a header and length
// word, closes the connection.
TEST_F(Control, SendsThatCannotBeQueuedClose) {
  Listener listener("127.77.6.4", 0);
  std::string text = textFor("127.77.6.4", listener.port);
  ControlConnection *c = connOpen(text.c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  Bytes quarter = message(2, CONN_BUFFER_BYTES / 4);
  for (int i = 0; i < 4; i++) ASSERT_EQ(connSend(c, quarter.data()), 1);
  EXPECT_EQ(connSend(c, message(1, 8).data()), 0);
  EXPECT_EQ(seen.closedCalls, 1);
  Socket peer = listener.accept();
  finishAll();
  EXPECT_EQ(peerReceive(peer.s, CONN_BUFFER_BYTES).size(), CONN_BUFFER_BYTES)
      << "what was queued before the close still went out";

  ControlConnection *d = connOpen(text.c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(d, nullptr);
  Bytes empty = message(1, 8);
  empty[2] = 1;
  EXPECT_EQ(connSend(d, empty.data()), 0);
  EXPECT_EQ(seen.closedCalls, 2);
  Socket peer2 = listener.accept();
  finishAll();
}

TEST_F(Control, PeerCloseReachesTheOwnerOnce) {
  Listener listener("127.77.7.1", 0);
  Socket peer;
  ControlConnection *c = openConnected(listener, "127.77.7.1", &peer);
  ASSERT_NE(c, nullptr);
  peer.close();
  ASSERT_TRUE(turnUntil([&] { return seen.closedCalls == 1; }));
  connClose(c);  // the owner's own close, in the same turn: no second callback
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
}

// --- No server -------------------------------------------------------------

// Nothing listens: the owner closes, and whether the refusal shows (POSIX
// reports the socket writable, the first send fails) or not (Winsock: only
// the connect timer ends it), the record is freed and the owner told once.
TEST_F(Control, ServerAbsentEndsWithOneCallbackAndNothingLeft) {
  Listener refusing("127.77.8.1", 0, false);
  ASSERT_TRUE(refusing.bound);
  ControlConnection *c =
      connOpen(textFor("127.77.8.1", refusing.port).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr) << "a non-blocking connect reports no refusal at once";
  ASSERT_EQ(connSend(c, message(0, 16).data()), 1);
  connClose(c);
  EXPECT_EQ(seen.closedCalls, 1);
  for (int i = 0; i < 5 && !nothingRegistered(); i++) pollTurn();
  lvTickAdvance(CONN_CONNECT_TIMEOUT_MS);
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);

  // Without the owner's close, the refusal itself (or the timer) ends it.
  seen = Owner();
  c = connOpen(textFor("127.77.8.1", refusing.port).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(connSend(c, message(0, 16).data()), 1);
  for (int i = 0; i < 5 && !nothingRegistered(); i++) pollTurn();
  lvTickAdvance(CONN_CONNECT_TIMEOUT_MS);
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
}

// A listener whose accept queue is full: further connects stay in progress.
// With a backlog of 0 the queue holds one connection, made by `filler`.
struct FullListener {
  Listener listener;
  Socket filler;
  explicit FullListener(const char *ip) : listener(ip, 0, true, 0) {
    filler = Socket(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in to = addressOf(ip, listener.port);
    connect(filler.s, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
};

// Skips the case when the connect completed anyway.
#define EXPECT_CONNECT_PENDING(c)                                               \
  do {                                                                          \
    pollTurn();                                                                 \
    if ((c)->readRegistered) {                                                  \
      connClose(c);                                                             \
      finishAll();                                                              \
      GTEST_SKIP() << "this system completed a connect to a full accept queue"; \
    }                                                                           \
  } while (0)

// The mend: a time-out that is the first close drops the queued setup and
// the connect watcher, so the record is freed (and an I/O thread's stop,
// which waits for the write list to empty, can complete).
TEST_F(Control, ConnectTimeOutAsFirstCloseDiscardsAndFrees) {
  FullListener full("127.77.9.1");
  ASSERT_TRUE(full.listener.bound);
  ControlConnection *c =
      connOpen(textFor("127.77.9.1", full.listener.port).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(connSend(c, message(0, 16).data()), 1);
  EXPECT_CONNECT_PENDING(c);

  lvTickAdvance(CONN_CONNECT_TIMEOUT_MS - 1);
  pollTurn();
  EXPECT_EQ(seen.closedCalls, 0) << "one millisecond early";
  lvTickAdvance(1);
  pollTurn();
  EXPECT_EQ(seen.closedCalls, 1) << "37.5 s after connOpen";
  EXPECT_EQ(loopWriters, nullptr) << "the connect watcher is gone";
  EXPECT_EQ(c->sendFill, 0u) << "the setup is discarded";
  finishAll();
}

// The usual order: the owner closes first (it waits 5 s for the setup),
// then the timer's second close discards the setup and frees the record.
TEST_F(Control, ConnectTimeOutAfterTheOwnersCloseFrees) {
  FullListener full("127.77.9.2");
  ASSERT_TRUE(full.listener.bound);
  ControlConnection *c =
      connOpen(textFor("127.77.9.2", full.listener.port).c_str(), &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(connSend(c, message(0, 16).data()), 1);
  EXPECT_CONNECT_PENDING(c);
  lvTickAdvance(5000);
  connClose(c);
  EXPECT_EQ(seen.closedCalls, 1);
  pollTurn();
  pollTurn();
  EXPECT_EQ(loopWriters, &c->writeWatcher) << "the setup waits for the connect";
  lvTickAdvance(CONN_CONNECT_TIMEOUT_MS - 5000);
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
}

}  // namespace
