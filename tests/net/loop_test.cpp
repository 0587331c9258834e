// Registration operations and the wake-up pair.
#include <gtest/gtest.h>

#include "tests/support/loop_support.h"

namespace {

using Loop = LoopTest;

int neverCalled(void *) {
  ADD_FAILURE() << "callback ran";
  return 0;
}
void neverRuns(void *) { ADD_FAILURE() << "callback ran"; }

TEST_F(Loop, WatchersArePushedAtTheHeadAndRemovedIfPresent) {
  Watcher a, b, c;
  watcherInit(&a, 1, neverCalled, nullptr, 1);
  watcherInit(&b, 2, neverCalled, nullptr, 1);
  watcherInit(&c, 3, neverCalled, nullptr, 1);
  a.ready = 1;
  loopAddReader(&a);
  EXPECT_EQ(a.ready, 0) << "adding clears the ready flag";
  loopAddReader(&b);
  loopAddWriter(&c);
  EXPECT_EQ(loopReaders, &b);
  EXPECT_EQ(b.next, &a);
  loopRemoveWriter(&a);  // not on that list: nothing happens
  EXPECT_EQ(loopWriters, &c);
  loopRemoveReader(&a);
  EXPECT_EQ(b.next, nullptr);
  loopRemoveReader(&b);
  loopRemoveWriter(&c);
  loopRemoveReader(&b);  // already gone
}

TEST_F(Loop, WorkQueueAndDequeueAreIdempotent) {
  WorkItem a, b;
  workInit(&a, neverRuns, nullptr, 1);
  workInit(&b, neverRuns, nullptr, 1);
  workQueue(&a);
  workQueue(&b);
  workQueue(&a);  // already queued: not linked twice
  EXPECT_EQ(loopWork, &b);
  EXPECT_EQ(b.next, &a);
  EXPECT_EQ(a.next, nullptr);
  workDequeue(&a);
  EXPECT_EQ(a.queued, 0);
  EXPECT_EQ(b.next, nullptr);
  workDequeue(&a);
  workDequeue(&b);
  EXPECT_EQ(loopWork, nullptr);
}

TEST_F(Loop, WakePairCarriesTheWakeByte) {
  ASSERT_EQ(wakePairCreate(wakePair), 0);
  loopWake();
  char buffer[8];
  unsigned long on = 1;
  ioctlsocket(wakePair[WAKE_RECEIVE], FIONBIO, &on);
  EXPECT_EQ(recv(wakePair[WAKE_RECEIVE], buffer, sizeof buffer, 0), 1);
  EXPECT_EQ(buffer[0], '.');
  wakePairClose(wakePair);
  EXPECT_EQ(wakePair[WAKE_SEND], INVALID_SOCKET);
  EXPECT_EQ(wakePair[WAKE_RECEIVE], INVALID_SOCKET);
  loopWake();  // no pair: harmless
}

TEST_F(Loop, MemAllocZeroFillsAndTickNowFollowsTheClock) {
  unsigned char *block = static_cast<unsigned char *>(memAllocZero(64));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 64; i++) ASSERT_EQ(block[i], 0);
  LocalFree(block);
  EXPECT_EQ(tickNow(), START_TICK);
  lvTickAdvance(37500);
  EXPECT_EQ(tickNow(), START_TICK + 37500);
}

}  // namespace
