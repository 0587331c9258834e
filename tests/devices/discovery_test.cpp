// Session address discovery against the real lumivox-session: which source
// wins, how each reply is read, how the session number is found, and that
// every call releases what it opened, on every path.
#include "devices/discovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/faults.h"
#include "tests/tools/session_process.h"

namespace {

constexpr DWORD UNTOUCHED = 0xDEADBEEF;  // outputs keep it when not written
constexpr DWORD IP_10_1_2_3 = 0x0A010203;
// The cap on Hookup waits in the no-answer case, so that the case does not
// wait out HOOKUP_WAIT_MS; the wait still ends by its time-out.
constexpr DWORD TEST_WAIT_CAP_MS = 20;

struct Lookup {
  NTSTATUS status;
  DWORD address;
  DWORD display;
};

// Everything discovery could leave behind.
struct Held {
  int descriptors;
  long blocks;
  long views;
  long nativeHandles;
  bool operator==(const Held &) const = default;
};

Held heldNow() {
  return {openDescriptorCount(), lvLocalAllocLive(), lvMappingViewsLive(), lvNativeHandlesLive()};
}

class Discovery : public ::testing::Test {
 protected:
  void TearDown() override {
    session_.reset();
    lvNativeWaitCap(INFINITE);
    lvFaultReset();
  }

  void serve(const std::vector<std::string> &arguments) {
    session_ = std::make_unique<SessionProcess>(arguments);
    ASSERT_TRUE(session_->ready()) << session_->line();
  }

  // Runs one call and checks that it released everything it opened.
  template <typename Call>
  Lookup released(Call call) {
    Held before = heldNow();
    Lookup r{0, UNTOUCHED, UNTOUCHED};
    r.status = call(&r.address, &r.display);
    EXPECT_EQ(heldNow(), before) << "descriptors, blocks, views, native handles";
    return r;
  }

  Lookup lookup(LONG session) {
    return released([&](DWORD *a, DWORD *d) { return LookupDisplayAddress(session, a, d); });
  }

  Lookup hookup(LONG session) {
    return released([&](DWORD *a, DWORD *d) { return QueryHookupAddress(session, a, d); });
  }

  static void expectFailed(const Lookup &r, NTSTATUS status) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.address, UNTOUCHED) << "a failed lookup writes no output";
    EXPECT_EQ(r.display, UNTOUCHED);
  }

  RuntimeDir dir_;
  std::unique_ptr<SessionProcess> session_;
};

// The display address record.

TEST_F(Discovery, OverridePairBeatsThePrimaryPair) {
  serve({"--record", "5", "--address", "10.0.0.1", "--display", "2", "--override", "10.1.2.3",
         "--override-display", "7"});
  Lookup r = lookup(5);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.address, IP_10_1_2_3);
  EXPECT_EQ(r.display, 7u);
}

TEST_F(Discovery, OverrideDisplayWithoutOverrideAddressIsIgnored) {
  serve({"--record", "5", "--address", "10.0.0.1", "--display", "2", "--override-display", "7"});
  Lookup r = lookup(5);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.address, 0x0A000001u);
  EXPECT_EQ(r.display, 2u);
}

TEST_F(Discovery, RecordAddressIsReadInHostOrderWithoutSwap) {
  serve({"--record", "5", "--address", "10.1.2.3", "--display", "4"});
  std::ifstream file(dir_.path() + "/mappings/XDisplayAddress-5", std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), {});
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4),
            (std::vector<unsigned char>{0x03, 0x02, 0x01, 0x0A}));
  Lookup r = lookup(5);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.address, IP_10_1_2_3);
  EXPECT_EQ(r.display, 4u);
}

TEST_F(Discovery, UnusableRecordFallsBackToHookup) {
  // Not valid, one byte short of the override display, and empty.
  for (std::vector<std::string> record : {std::vector<std::string>{"--invalid"},
                                          {"--record-bytes", "83"},
                                          {"--record-bytes", "0"}}) {
    SCOPED_TRACE(record[0] + (record.size() > 1 ? " " + record[1] : ""));
    std::vector<std::string> args{"--record", "5", "--address", "10.0.0.1", "--override",
                                  "10.0.0.2", "--hookup", "--hookup-address", "5=10.9.8.7"};
    args.insert(args.end(), record.begin(), record.end());
    serve(args);
    Lookup r = lookup(5);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.address, 0x0A090807u);
    EXPECT_EQ(r.display, 0u) << "the Hookup source always gives display 0";
    session_.reset();
  }
}

TEST_F(Discovery, OtherSessionsRecordIsNotUsed) {
  serve({"--record", "6", "--address", "10.1.2.3"});
  expectFailed(lookup(5), STATUS_UNSUCCESSFUL);
}

TEST_F(Discovery, SessionNoneFailsWithoutLookingAnywhere) {
  serve({"--record", "-1", "--address", "10.1.2.3", "--hookup", "--hookup-address",
         "-1=10.1.2.3"});
  expectFailed(lookup(SESSION_NONE), STATUS_UNSUCCESSFUL);
}

// The Hookup channel.

TEST_F(Discovery, HookupReplyIsInNetworkOrder) {
  serve({"--hookup", "--hookup-address", "3=10.1.2.3", "--hookup-address", "4=10.4.4.4"});
  Lookup r = hookup(3);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.address, IP_10_1_2_3);
  EXPECT_EQ(r.display, 0u);
  EXPECT_EQ(hookup(4).address, 0x0A040404u) << "each session gets its own answer";
}

TEST_F(Discovery, HookupRepliesThatAreNoAddressFail) {
  const struct {
    const char *mode;
    NTSTATUS status;
  } cases[] = {
      {"zero", STATUS_UNSUCCESSFUL},
      {"short", STATUS_UNSUCCESSFUL},  // 0A 01 and two bytes the reply never filled
      {"empty", STATUS_UNSUCCESSFUL},
      {"hangup", STATUS_PIPE_BROKEN},  // the read's own failure is passed on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mode);
    serve({"--hookup", "--hookup-address", "3=10.1.2.3", "--hookup-reply", c.mode});
    expectFailed(hookup(3), c.status);
    session_.reset();
  }
}

TEST_F(Discovery, HookupWithoutAddressForTheSessionFails) {
  serve({"--hookup", "--hookup-address", "3=10.1.2.3"});
  expectFailed(hookup(9), STATUS_UNSUCCESSFUL);
}

TEST_F(Discovery, HookupThatNeverAnswersFailsAfterTheBoundedWait) {
  serve({"--hookup", "--hookup-address", "3=10.1.2.3", "--hookup-reply", "silent"});
  lvNativeWaitCap(TEST_WAIT_CAP_MS);
  expectFailed(hookup(3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(lvNativeLastWaitMs(), HOOKUP_WAIT_MS) << "the wait asked for the named bound";
}

TEST_F(Discovery, MissingHookupChannelFails) {
  expectFailed(hookup(3), STATUS_UNSUCCESSFUL);
}

TEST_F(Discovery, ChannelWhoseReplyNameCannotOpenIsClosedAgain) {
  serve({"--hookup"});
  Held before = heldNow();
  EXPECT_EQ(OpenHookupChannel(LV_WTEXT("CSSQueryIP"), LV_WTEXT("Elsewhere")), nullptr);
  EXPECT_EQ(heldNow(), before);
  HookupChannel *channel = OpenHookupChannel(LV_WTEXT("CSSQueryIP"), LV_WTEXT("CSSQueryIP"));
  ASSERT_NE(channel, nullptr);
  EXPECT_NE(channel->request, nullptr);
  EXPECT_NE(channel->reply, nullptr);
  EXPECT_NE(channel->event, nullptr);
  CloseHookupChannel(channel);
  EXPECT_EQ(heldNow(), before);
}

TEST_F(Discovery, RuntimeFailuresInTheChannelAreReleased) {
  serve({"--hookup", "--hookup-address", "3=10.1.2.3"});
  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 0, 1);  // the channel record
  expectFailed(hookup(3), STATUS_UNSUCCESSFUL);
  lvFaultArm(LV_FAULT_CREATE_EVENT, 0, 1);  // the channel's event
  Lookup r = hookup(3);
  EXPECT_LT(r.status, 0) << "without its event the write cannot be waited for";
  EXPECT_EQ(r.address, UNTOUCHED);
  lvFaultReset();
  EXPECT_EQ(hookup(3).address, IP_10_1_2_3) << "and the next call works again";
}

// The session number.

TEST_F(Discovery, KernelAccessDeviceTellsTheSession) {
  serve({"--session", "42"});
  Held before = heldNow();
  EXPECT_EQ(QuerySessionNumber(0), 42);
  EXPECT_EQ(heldNow(), before);
}

TEST_F(Discovery, KernelAccessFailureGivesSessionZeroAndItsRecord) {
  for (std::vector<std::string> device : {std::vector<std::string>{},
                                          {"--session", "42", "--session-status", "C0000001"}}) {
    SCOPED_TRACE(device.empty() ? "no device" : "failing device");
    std::vector<std::string> args{"--record", "0", "--address", "10.1.2.3", "--display", "1"};
    args.insert(args.end(), device.begin(), device.end());
    serve(args);
    Held before = heldNow();
    LONG session = QuerySessionNumber(0);
    EXPECT_EQ(heldNow(), before);
    EXPECT_EQ(session, 0);
    Lookup r = lookup(session);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.address, IP_10_1_2_3);
    EXPECT_EQ(r.display, 1u);
    session_.reset();
  }
}

TEST_F(Discovery, KernelAccessMayTellThatThereIsNoSession) {
  serve({"--session", "-1", "--record", "-1", "--address", "10.1.2.3"});
  LONG session = QuerySessionNumber(0);
  EXPECT_EQ(session, SESSION_NONE);
  expectFailed(lookup(session), STATUS_UNSUCCESSFUL);
}

}  // namespace
