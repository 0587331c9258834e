// The control protocol against the real lumivox-server in its own process:
// the setup answer as the server gives it, control values kept by the
// server, a granted play stream, and the server's misbehaviours that end a
// session. Each case has a server of its own in 127.80.0.0/16.
#include "audio/formats.h"
#include "stream/stream.h"
#include "stream/endpoint.h"
#include "session/protocol.h"
#include "tests/server/server_process.h"
#include "tests/support/control_support.h"

namespace {

struct Seen {
  int setups = 0;
  int closes = 0;
  std::vector<DWORD> values;
  std::vector<StreamSlot *> streams;
} *seenBy;

int onSetup(ServerSession *, void *) {
  seenBy->setups++;
  return 1;
}
void onEnd(ServerSession *, void *) { seenBy->closes++; }
void onValue(ServerSession *, DWORD, DWORD value, void *) { seenBy->values.push_back(value); }
void onStream(ServerSession *, StreamSlot *slot, void *) { seenBy->streams.push_back(slot); }

class ProtocolServer : public Control {
 protected:
  void SetUp() override {
    Control::SetUp();
    seenBy = &seen_;
  }
  void TearDown() override {
    if (ring_) LocalFree(ring_);
    server_.reset();  // its log pipe counts among the descriptors
    Control::TearDown();
  }
  // Starts a server on ip with the extra options and opens a session to it.
  ServerSession *open(const char *ip, std::vector<std::string> options = {}) {
    options.insert(options.end(), {"--listen", ip, "--port", "0", "--verbose", "0"});
    server_ = std::make_unique<ServerProcess>(options);
    if (!server_->ready()) return nullptr;
    return sessionOpen(textFor(ip, server_->port()).c_str(), onSetup, onEnd, nullptr);
  }
  Seen seen_;
  std::unique_ptr<ServerProcess> server_;
  SampleRing *ring_ = nullptr;
};

TEST_F(ProtocolServer, TheServersDevicesAndControlsArrive) {
  ServerSession *s = open("127.80.1.1");
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(turnUntil([&] { return seen_.setups == 1; }));
  ASSERT_EQ(s->deviceCount, 2);
  EXPECT_EQ(serverDeviceDirection(&s->devices[0]), 0);
  EXPECT_EQ(serverDeviceDirection(&s->devices[1]), 1);
  ASSERT_EQ(s->controlCount, 2);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(serverControlKind(&s->controls[i]), 0);
    EXPECT_EQ(serverControlDevice(&s->controls[i]), serverDeviceId(&s->devices[i]));
  }
  // A set value is what a later query answers.
  WORD control = serverControlId(&s->controls[0]);
  ASSERT_EQ(requestSetControl(s, control, 0x12341234), 1);
  ASSERT_EQ(requestQueryControl(s, control, onValue, nullptr), 1);
  ASSERT_TRUE(turnUntil([&] { return seen_.values.size() == 1; }));
  EXPECT_EQ(seen_.values[0], 0x12341234u);
  connClose(s->connection);
  EXPECT_EQ(seen_.closes, 1);
  finishAll();
  EXPECT_EQ(server_->stop(), 0);
}

TEST_F(ProtocolServer, AGrantedPlayStreamIsBoundToTheServersPort) {
  ServerSession *s = open("127.80.2.1", {"--rate", "22050", "--min-lead", "512"});
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(turnUntil([&] { return seen_.setups == 1; }));
  ring_ = ringCreate(65536, 44100, 1);
  PlaySource source = {};
  source.ring = ring_;
  ASSERT_EQ(requestOpenPlayStream(s, &source, serverDeviceId(&s->devices[0]), onStream, nullptr),
            1);
  ASSERT_TRUE(turnUntil([&] { return seen_.streams.size() == 1; }));
  StreamSlot *slot = seen_.streams[0];
  ASSERT_NE(slot, nullptr);
  ASSERT_EQ(slot->kind, SLOT_PLAY);
  PlaySender *sender = slot->sender;
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(sender->rateLimit, 22050u);
  EXPECT_EQ(sender->leadMin, 512u);
  EXPECT_EQ(sender->server.sin_addr.s_addr, inet_addr("127.80.2.1"));
  EXPECT_NE(sender->server.sin_port, 0);
  requestCloseStream(s, slot);
  connClose(s->connection);
  finishAll();
  EXPECT_EQ(server_->stop(), 0);
}

TEST_F(ProtocolServer, ARefusedSetupEndsTheSessionOnce) {
  ServerSession *s = open("127.80.3.1", {"--refuse-setup"});
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(turnUntil([&] { return seen_.closes == 1; }));
  EXPECT_EQ(seen_.setups, 0);
  finishAll();
  EXPECT_EQ(seen_.closes, 1);
  EXPECT_EQ(server_->stop(), 0);
}

TEST_F(ProtocolServer, AServerWithoutAnOutputDeviceListsOnlyItsInput) {
  ServerSession *s = open("127.80.4.1", {"--no-output-device"});
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(turnUntil([&] { return seen_.setups == 1; }));
  ASSERT_EQ(s->deviceCount, 1);
  EXPECT_EQ(serverDeviceDirection(&s->devices[0]), 1);
  connClose(s->connection);
  finishAll();
  EXPECT_EQ(server_->stop(), 0);
}

}  // namespace
