// The control connection against the real lumivox-server, each case with a
// server process of its own on an address of its own (127.78.0.0/16, or a
// free display number on 127.0.0.1).
#include "tests/server/driver_messages.h"
#include "tests/support/control_support.h"

namespace {

using ControlServer = Control;

// A server on `ip` for display `display` (port 9000 + display).
std::vector<std::string> serverOn(const char *ip, int display) {
  return {"--listen", ip, "--display", std::to_string(display)};
}

// Opens, waits for the setup answer, and checks the server saw it.
void expectSetupAnswered(ControlServer *t, ControlConnection *c) {
  ASSERT_EQ(connSend(c, setupRequest().data()), 1);
  ASSERT_TRUE(t->turnUntilPublic([&] { return !owner->received.empty(); }));
  EXPECT_EQ(owner->received[0], setupAcceptedBoth());
}

// Address texts reach the server at 9000 plus a display number below 100,
// at a literal port from 100, at 9000 without a colon, and at 127.0.0.1 for
// an empty host.
TEST_F(ControlServer, AddressTextsReachTheServer) {
  struct Case {
    std::vector<std::string> arguments;
    std::string text;
  };
  std::vector<Case> cases = {
      {serverOn("127.78.1.1", 3), "127.78.1.1:3"},
      {{"--listen", "127.78.1.2", "--port", "3000"}, "127.78.1.2:3000"},
      {serverOn("127.78.1.3", 0), "127.78.1.3"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.text);
    seen = Owner();
    ServerProcess server(k.arguments);
    ASSERT_TRUE(server.ready());
    ControlConnection *c = connOpen(k.text.c_str(), &THREE_TYPES, onClosed);
    ASSERT_NE(c, nullptr);
    expectSetupAnswered(this, c);
    connClose(c);
    finishAll();
    EXPECT_TRUE(server.waitForLog("closed (messages 1"));
    EXPECT_EQ(server.stop(), 0);
  }

  // ":N" is 127.0.0.1 at 9000 + N: the first display number free there.
  for (int display = 5; display < 100; display++) {
    ServerProcess server(serverOn("127.0.0.1", display));
    if (!server.ready()) continue;
    seen = Owner();
    std::string text = ":" + std::to_string(display);
    ControlConnection *c = connOpen(text.c_str(), &THREE_TYPES, onClosed);
    ASSERT_NE(c, nullptr);
    expectSetupAnswered(this, c);
    connClose(c);
    finishAll();
    EXPECT_EQ(server.stop(), 0);
    return;
  }
  FAIL() << "no free display number on 127.0.0.1";
}

// The server closes after answering the setup: the answer is dispatched,
// then the owner is told once, and its own close adds nothing.
TEST_F(ControlServer, ServerCloseReachesTheOwnerOnce) {
  std::vector<std::string> arguments = serverOn("127.78.2.1", 0);
  arguments.push_back("--close-after");
  arguments.push_back("1");
  ServerProcess server(arguments);
  ASSERT_TRUE(server.ready());
  ControlConnection *c = connOpen("127.78.2.1", &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  expectSetupAnswered(this, c);
  ASSERT_TRUE(turnUntilPublic([&] { return seen.closedCalls == 1; }));
  connClose(c);
  finishAll();
  EXPECT_EQ(seen.closedCalls, 1);
  EXPECT_EQ(server.stop(), 0);
}

// Closed with the setup and a set-control request still queued (the
// connect not even complete): both reach the server before the socket
// closes, then the record is freed.
TEST_F(ControlServer, CloseWithOutputQueuedReachesTheServerFirst) {
  ServerProcess server(serverOn("127.78.3.1", 0));
  ASSERT_TRUE(server.ready());
  ControlConnection *c = connOpen("127.78.3.1:0", &THREE_TYPES, onClosed);
  ASSERT_NE(c, nullptr);
  Bytes setControl = {2, 0, 4, 0, 3, 0, 0, 0, 0x34, 0x12, 0x34, 0x12, 0, 0, 0, 0};
  ASSERT_EQ(connSend(c, setupRequest().data()), 1);
  ASSERT_EQ(connSend(c, setControl.data()), 1);
  connClose(c);
  EXPECT_EQ(seen.closedCalls, 1);
  finishAll();
  EXPECT_TRUE(server.waitForLog("closed (messages 2"));
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
