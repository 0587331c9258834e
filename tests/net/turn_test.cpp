// The turn's dispatch rule, driven from the test thread with real loopback
// sockets and a frozen tick.
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/loop_support.h"

namespace {

using Turn = LoopTest;

Probe makeProbe(CallLog *log, int label, int result = 0) {
  Probe p{};
  p.log = log;
  p.label = label;
  p.result = result;
  return p;
}

void addReader(Probe *p, SOCKET s, DWORD priority) {
  loopAddReader(watcherInit(&p->watcher, s, probeWatcher, p, priority));
}

void addWriter(Probe *p, SOCKET s, DWORD priority) {
  loopAddWriter(watcherInit(&p->watcher, s, probeWatcher, p, priority));
}

void queueWork(Probe *p, DWORD priority) {
  workInit(&p->work, probeCallback, p, priority);
  workQueue(&p->work);
}

void scheduleTimer(Probe *p, DWORD due, DWORD priority) {
  timerInit(&p->timer, probeCallback, p, priority);
  timerSchedule(&p->timer, due);
}

TEST_F(Turn, HighestPriorityWinsAcrossKinds) {
  LoopbackSocket readable, writable;
  readable.poke();
  CallLog log;
  Probe work = makeProbe(&log, 1), timer = makeProbe(&log, 2);
  Probe reader = makeProbe(&log, 3, 1), writer = makeProbe(&log, 4, 1);
  queueWork(&work, 5);
  scheduleTimer(&timer, START_TICK, 7);
  addReader(&reader, readable.socket(), 6);
  addWriter(&writer, writable.socket(), 9);

  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{4}));  // writer 9 beats timer 7, reader 6, work 5
  loopRemoveWriter(&writer.watcher);
  loopTurn();
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{4, 2, 3}));  // then the timer, then the reader
  EXPECT_EQ(loopTimers, nullptr) << "a dispatched timer is off the list";
  loopRemoveReader(&reader.watcher);
  loopTurn();
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{4, 2, 3, 1, 1})) << "work stays queued until dequeued";
  workDequeue(&work.work);
}

TEST_F(Turn, TiesGoToWorkThenTimerThenReaderThenWriter) {
  LoopbackSocket readable, writable;
  readable.poke();
  CallLog log;
  Probe work = makeProbe(&log, 1), timer = makeProbe(&log, 2);
  Probe reader = makeProbe(&log, 3, 1), writer = makeProbe(&log, 4, 1);
  queueWork(&work, 10);
  scheduleTimer(&timer, START_TICK - 5, 10);
  addReader(&reader, readable.socket(), 10);
  addWriter(&writer, writable.socket(), 10);

  loopTurn();
  workDequeue(&work.work);
  loopTurn();
  loopTurn();
  loopRemoveReader(&reader.watcher);
  loopTurn();
  loopRemoveWriter(&writer.watcher);
  EXPECT_EQ(log.calls, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(Turn, FiredTimerBeatsEqualWatcherWhichStaysReady) {
  LoopbackSocket readable;
  readable.poke();
  CallLog log;
  Probe timer = makeProbe(&log, 2), reader = makeProbe(&log, 3, 0);
  scheduleTimer(&timer, START_TICK, 20);
  addReader(&reader, readable.socket(), 20);

  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{2}));
  EXPECT_EQ(reader.watcher.ready, 1) << "the watcher was seen ready and stays so";
  readable.drain();  // the next turn must dispatch it from its flag alone
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{2, 3}));
  EXPECT_EQ(reader.watcher.ready, 0) << "the callback's result replaces the flag";
  loopRemoveReader(&reader.watcher);
}

TEST_F(Turn, NewestOfEqualsWinsWithinEachList) {
  LoopbackSocket a, b;
  a.poke();
  b.poke();
  CallLog log;
  Probe older = makeProbe(&log, 1), newer = makeProbe(&log, 2);
  queueWork(&older, 3);
  queueWork(&newer, 3);
  loopTurn();
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{2, 2})) << "the newest item runs every turn";
  workDequeue(&newer.work);
  loopTurn();
  workDequeue(&older.work);
  EXPECT_EQ(log.calls, (std::vector<int>{2, 2, 1}));

  log.calls.clear();
  Probe first = makeProbe(&log, 3, 0), second = makeProbe(&log, 4, 0);
  addReader(&first, a.socket(), 5);
  addReader(&second, b.socket(), 5);
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{4})) << "the reader nearest the head runs";
  EXPECT_EQ(first.watcher.ready, 1);
  b.drain();
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{4, 3}));
  loopRemoveReader(&first.watcher);
  loopRemoveReader(&second.watcher);
}

// Equal timers keep scheduling order and fire together; rescheduling moves
// a timer rather than linking it twice.
TEST_F(Turn, TimersKeepDueOrderAndFireTogether) {
  CallLog log;
  Probe t1 = makeProbe(&log, 1), t2 = makeProbe(&log, 2), t3 = makeProbe(&log, 3);
  scheduleTimer(&t1, START_TICK + 50, 4);
  scheduleTimer(&t2, START_TICK + 50, 4);
  scheduleTimer(&t3, START_TICK + 10, 4);
  timerSchedule(&t3.timer, START_TICK + 90);  // moves behind the other two
  ASSERT_EQ(loopTimers, &t1.timer);
  ASSERT_EQ(t1.timer.next, &t2.timer);
  ASSERT_EQ(t2.timer.next, &t3.timer);
  ASSERT_EQ(t3.timer.next, nullptr);

  lvTickAdvance(50);
  loopTurn();
  EXPECT_EQ(t2.timer.fired, 1) << "both equal timers fire in the same turn";
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{1, 2}));
  timerCancel(&t3.timer);
  timerCancel(&t3.timer);  // cancelling an unscheduled timer does nothing
}

TEST_F(Turn, TimersFireAcrossTheTickWrap) {
  lvTickFreeze(0xFFFFFF00u);
  CallLog log;
  Probe before = makeProbe(&log, 1), after = makeProbe(&log, 2), past = makeProbe(&log, 3);
  scheduleTimer(&before, 0xFFFFFFF0u, 4);
  scheduleTimer(&after, 0x00000010u, 4);
  EXPECT_EQ(loopTimers, &after.timer) << "the list is ordered by unsigned due";

  lvTickAdvance(0xF5);  // 0xFFFFFFF5: only the one before the wrap is due
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{1}));
  EXPECT_EQ(after.timer.fired, 0);

  lvTickAdvance(0x1B);  // 0x10 exactly: due now counts as fired
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{1, 2}));

  // A timer due long ago (by signed difference) runs at once.
  scheduleTimer(&past, 0x10u - 1000u, 4);
  loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{1, 2, 3}));
}

TEST_F(Turn, PriorityZeroNeverRunsButItsSocketIsWatched) {
  LoopbackSocket readable;
  readable.poke();
  CallLog log;
  Probe work = makeProbe(&log, 1), timer = makeProbe(&log, 2), reader = makeProbe(&log, 3);
  queueWork(&work, 0);
  scheduleTimer(&timer, START_TICK - 1, 0);
  addReader(&reader, readable.socket(), 0);

  loopTurn();
  loopTurn();
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(reader.watcher.ready, 1) << "select saw the socket";
  EXPECT_EQ(timer.timer.fired, 1);
  loopRemoveReader(&reader.watcher);
  timerCancel(&timer.timer);
  workDequeue(&work.work);
}

// A work item above every watcher runs without select: a readable socket of
// a lower-priority watcher is then never looked at.
TEST_F(Turn, WorkAboveEveryWatcherSkipsSelect) {
  LoopbackSocket readable;
  readable.poke();
  CallLog log;
  Probe work = makeProbe(&log, 1), reader = makeProbe(&log, 3);
  addReader(&reader, readable.socket(), 5);
  queueWork(&work, 6);
  for (int i = 0; i < 3; i++) loopTurn();
  EXPECT_EQ(log.calls, (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(reader.watcher.ready, 0) << "no select ran";

  work.work.priority = 5;  // no longer above the watcher: select polls
  loopTurn();
  EXPECT_EQ(reader.watcher.ready, 1);
  EXPECT_EQ(log.calls.back(), 1) << "the work item still wins the tie";
  workDequeue(&work.work);
  loopTurn();
  EXPECT_EQ(log.calls.back(), 3);
  loopRemoveReader(&reader.watcher);
}

// A watcher that reports it is still ready is called again without its
// socket being readable; once it returns 0 it waits for select again.
TEST_F(Turn, WatcherReturningOneIsCalledAgainWithoutReadiness) {
  LoopbackSocket readable;
  readable.poke();
  CallLog log;
  Probe reader = makeProbe(&log, 3, 1), poll = makeProbe(&log, 9);
  addReader(&reader, readable.socket(), 5);
  loopTurn();
  readable.drain();
  loopTurn();
  EXPECT_EQ(reader.count, 2);
  reader.result = 0;
  loopTurn();
  EXPECT_EQ(reader.count, 3);
  EXPECT_EQ(reader.watcher.ready, 0);

  // Nothing readable now: a due timer keeps the turn from blocking, and the
  // watcher is not called.
  scheduleTimer(&poll, START_TICK, 1);
  loopTurn();
  EXPECT_EQ(reader.count, 3);
  EXPECT_EQ(poll.count, 1);
  loopRemoveReader(&reader.watcher);
}

// A set holds at most 64 sockets; the 65th watcher is not watched in that
// turn, though its priority still counts.
TEST_F(Turn, SetsHoldAtMostSixtyFourSockets) {
  constexpr int WATCHERS = 65;
  std::vector<std::unique_ptr<LoopbackSocket>> sockets;
  std::vector<Probe> probes(WATCHERS);
  CallLog log;
  for (int i = 0; i < WATCHERS; i++) {
    sockets.push_back(std::make_unique<LoopbackSocket>());
    sockets.back()->poke();
    probes[i] = makeProbe(&log, i, 1);
    addReader(&probes[i], sockets.back()->socket(), 2);
  }
  // The first watcher added is the last one walked, beyond the limit.
  Probe work = makeProbe(&log, 100);
  queueWork(&work, 2);  // equal to the watchers: select still runs
  loopTurn();
  int ready = 0;
  for (const Probe &p : probes) ready += p.watcher.ready;
  EXPECT_EQ(ready, 64);
  EXPECT_EQ(probes[0].watcher.ready, 0);
  workDequeue(&work.work);

  // The unwatched watcher's priority still counts: a work item below it does
  // not skip select, so the 64 watched sockets are seen again.
  for (Probe &p : probes) p.watcher.ready = 0;
  probes[0].watcher.priority = 50;
  queueWork(&work, 40);
  loopTurn();
  ready = 0;
  for (const Probe &p : probes) ready += p.watcher.ready;
  EXPECT_EQ(ready, 64) << "select ran although the work item outranks every watched socket";
  EXPECT_EQ(probes[0].watcher.ready, 0);
  EXPECT_EQ(log.calls.back(), 100);
  workDequeue(&work.work);
  for (Probe &p : probes) loopRemoveReader(&p.watcher);
}

// The wake-up watcher is registered first, so it is the last one walked;
// past the set's limit it is still watched, or a blocked select would not
// return for loopWake.
TEST_F(Turn, TheWakeUpSocketIsWatchedBeyondTheLimit) {
  ASSERT_EQ(wakePairCreate(wakePair), 0);
  CallLog log;
  Probe wake = makeProbe(&log, 99);
  addReader(&wake, wakePair[WAKE_RECEIVE], 1);
  std::vector<std::unique_ptr<LoopbackSocket>> sockets;
  std::vector<Probe> probes(LV_SELECT_SET_LIMIT);
  for (int i = 0; i < LV_SELECT_SET_LIMIT; i++) {
    sockets.push_back(std::make_unique<LoopbackSocket>());
    probes[i] = makeProbe(&log, i);
    addReader(&probes[i], sockets.back()->socket(), 2);
  }
  loopWake();
  loopTurn();  // blocks in select unless the wake-up socket is in the set
  EXPECT_EQ(log.calls, std::vector<int>{99});
  for (Probe &p : probes) loopRemoveReader(&p.watcher);
  loopRemoveReader(&wake.watcher);
  wakePairClose(wakePair);
}

// Callbacks may change registrations, their own included.
struct Rescheduler {
  Timer timer;
  int runs;
};

void rescheduleTwice(void *user) {
  Rescheduler *r = static_cast<Rescheduler *>(user);
  if (++r->runs < 3) timerSchedule(&r->timer, tickNow());
}

struct SelfRemover {
  Watcher watcher;
  Watcher *other;
  int runs;
};

int removeBoth(void *user) {
  SelfRemover *s = static_cast<SelfRemover *>(user);
  s->runs++;
  loopRemoveReader(&s->watcher);
  loopRemoveReader(s->other);
  return 1;
}

TEST_F(Turn, CallbacksMayChangeTheirOwnRegistrations) {
  Rescheduler r{};
  timerInit(&r.timer, rescheduleTwice, &r, 3);
  timerSchedule(&r.timer, START_TICK);
  for (int i = 0; i < 3; i++) loopTurn();
  EXPECT_EQ(r.runs, 3);
  EXPECT_EQ(loopTimers, nullptr);

  LoopbackSocket a, b;
  a.poke();
  CallLog log;
  Probe other = makeProbe(&log, 1);
  addReader(&other, b.socket(), 1);
  SelfRemover s{};
  s.other = &other.watcher;
  loopAddReader(watcherInit(&s.watcher, a.socket(), removeBoth, &s, 4));
  loopTurn();
  EXPECT_EQ(s.runs, 1);
  EXPECT_EQ(loopReaders, nullptr);
  EXPECT_EQ(s.watcher.ready, 1) << "the result is still stored in the removed record";
}


// A watcher that is ready every turn (a flooded socket) still leaves turns
// to everything else: each one it passes over runs within a few bursts.
TEST_F(Turn, AFloodedWatcherCannotHoldTheLoop) {
  LoopbackSocket flooded, control;
  flooded.poke();
  control.poke();
  CallLog log;
  Probe flood = makeProbe(&log, 1, 1), reader = makeProbe(&log, 2, 1);
  Probe timer = makeProbe(&log, 3), work = makeProbe(&log, 4);
  addReader(&flood, flooded.socket(), 40);
  addReader(&reader, control.socket(), 10);
  scheduleTimer(&timer, START_TICK, 20);
  queueWork(&work, 1);
  for (int i = 0; i < 4 * int(LOOP_WATCHER_BURST + 1); i++) loopTurn();
  EXPECT_EQ(timer.count, 1);
  EXPECT_GE(work.count, 1);
  EXPECT_GE(reader.count, 1);
  EXPECT_GE(flood.count, 3 * int(LOOP_WATCHER_BURST));
  workDequeue(&work.work);
  loopRemoveReader(&flood.watcher);
  loopRemoveReader(&reader.watcher);
}

}  // namespace
