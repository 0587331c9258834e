// One turn of the event loop, written as its phases:
//
//   1-2. collect the sockets of watchers that are not yet ready into the
//        read and write sets, and find the highest watcher priority;
//   3.   find the best queued work item;
//   4.   derive the select time-out from the head timer;
//   5.   wait in select (with drvLock released), or skip it when the best
//        work item outranks every watcher;
//   6.   mark due timers fired and pick the best fired timer;
//   7.   mark watchers ready from the select result and pick the best;
//   8.   dispatch exactly one: watcher, else timer, else work item.
//
// After LOOP_WATCHER_BURST turns in a row that dispatched watchers, phase 7
// passes over the watchers of that run for one turn (unless nothing else
// is there), so that a flooded socket cannot hold the loop.
//
// Each later phase only replaces the choice of an earlier one when its
// candidate has a strictly greater priority, which gives the tie order
// work item, timer, reader, writer. A turn allocates nothing: the sets and
// time-outs live on the stack.
#include <cassert>

#include "net/lock.h"
#include "net/loop.h"

namespace {

struct Turn {
  fd_set readSet;
  fd_set writeSet;
  // The write set again, for select's exceptions: Windows reports a
  // refused connect only there (POSIX as writable), and a connect watcher
  // that waited for writability would wait out its whole time-out.
  fd_set failSet;
  int readCount;             // sockets in readSet, at most LV_SELECT_SET_LIMIT
  int writeCount;            // sockets in writeSet, at most LV_SELECT_SET_LIMIT
  SOCKET highestSocket;      // for select's first argument
  DWORD highestWatcher;      // highest priority of any watcher, ready or not
  timeval zeroTimeout;       // 0 s, 0 us
  timeval timerTimeout;      // until the head timer is due
  timeval *timeout;          // null: block until a socket is ready
  WorkItem *bestWork;
  int selected;              // select's result; 0 when skipped
  DWORD bestPriority;        // of the candidate chosen so far
  bool yielding;             // watchers dispatched in the current run are passed over
};

// Turns in a row that dispatched a watcher: the last watcherRun values of
// loopTurns.
DWORD watcherRun;

// Puts a socket into a set and counts it.
void addToSet(Turn *turn, SOCKET s, fd_set *set, int *count) {
  FD_SET(s, set);
  *count += 1;
  if (s > turn->highestSocket) turn->highestSocket = s;
}

// Phases 1 and 2: one list into one set. The wake-up socket goes into the
// read set before any other, whatever its place in the list: a select that
// left it out would not return for loopWake, and an application thread
// that waits on the I/O thread would wait on a blocked select.
void collectWatchers(Turn *turn, Watcher *list, fd_set *set, int *count) {
  SOCKET wake = wakePair[WAKE_RECEIVE];
  bool reading = list == loopReaders;
  if (reading && wake != INVALID_SOCKET && lvSocketSelectable(wake)) {
    for (Watcher *w = list; w; w = w->next) {
      if (w->socket == wake && !w->ready) {
        addToSet(turn, wake, set, count);
        break;
      }
    }
  }
  for (Watcher *w = list; w; w = w->next) {
    if (w->ready) {
      turn->timeout = &turn->zeroTimeout;  // dispatchable now: only poll
    } else if (reading && w->socket == wake) {
      // Already in the set.
    } else if (*count < LV_SELECT_SET_LIMIT && lvSocketSelectable(w->socket)) {
      addToSet(turn, w->socket, set, count);
    }
    if (w->priority > turn->highestWatcher) turn->highestWatcher = w->priority;
  }
}

// Phase 3: the first item with the strictly greatest priority, so priority
// 0 never wins and the newest of equals does.
WorkItem *findBestWork(void) {
  WorkItem *best = nullptr;
  DWORD bestPriority = 0;
  for (WorkItem *item = loopWork; item; item = item->next) {
    if (item->priority > bestPriority) {
      best = item;
      bestPriority = item->priority;
    }
  }
  return best;
}

// Phase 4: only the head timer is looked at; the list is ordered by due.
void timeoutFromTimers(Turn *turn) {
  if (!loopTimers || turn->timeout) return;
  int32_t remaining = int32_t(loopTimers->due - tickNow());  // milliseconds
  if (remaining <= 0) {
    turn->timeout = &turn->zeroTimeout;
    return;
  }
  turn->timerTimeout.tv_sec = remaining / 1000;
  turn->timerTimeout.tv_usec = (remaining % 1000) * 1000;
  turn->timeout = &turn->timerTimeout;
}

// Phase 5, the select backend. drvLock is released for exactly the time of
// the select call.
void waitForSockets(Turn *turn) {
  DWORD workPriority = turn->bestWork ? turn->bestWork->priority : 0;
  if (workPriority > turn->highestWatcher) {
    turn->selected = 0;  // the work item outranks every socket: no system call
    return;
  }
  if (turn->bestWork) turn->timeout = &turn->zeroTimeout;
  LeaveCriticalSection(&drvLock);
  turn->selected = select(int(turn->highestSocket) + 1, &turn->readSet, &turn->writeSet,
                          &turn->failSet, turn->timeout);
  EnterCriticalSection(&drvLock);
  turn->bestWork = findBestWork();  // the list may have changed meanwhile
}

// Phase 6: returns the link that points at the best fired timer, or null.
Timer **fireTimers(Turn *turn) {
  if (!loopTimers) return nullptr;
  DWORD now = tickNow();
  Timer **best = nullptr;
  for (Timer **link = &loopTimers; *link; link = &(*link)->next) {
    Timer *t = *link;
    if (int32_t(now - t->due) >= 0) t->fired = 1;
    if (t->fired && t->priority > turn->bestPriority) {
      best = link;
      turn->bestPriority = t->priority;
    }
  }
  return best;
}

// Phase 7 for one list; a socket in set, or in alsoSet when given, is ready.
Watcher *markReady(Turn *turn, Watcher *list, fd_set *set, fd_set *alsoSet, Watcher *best) {
  for (Watcher *w = list; w; w = w->next) {
    if (turn->selected > 0 && lvSocketSelectable(w->socket) &&
        (FD_ISSET(w->socket, set) || (alsoSet && FD_ISSET(w->socket, alsoSet)))) {
      w->ready = 1;
    }
    if (turn->yielding && loopTurns - w->lastTurn <= watcherRun) continue;  // had its run
    if (w->ready && w->priority > turn->bestPriority) {
      best = w;
      turn->bestPriority = w->priority;
    }
  }
  return best;
}

}  // namespace

void loopTurn(void) {
  assert(drvLockHeld());
  Turn turn;
  FD_ZERO(&turn.readSet);
  FD_ZERO(&turn.writeSet);
  turn.readCount = 0;
  turn.writeCount = 0;
  turn.highestSocket = 0;
  turn.highestWatcher = 0;
  turn.zeroTimeout = {0, 0};
  turn.timerTimeout = {0, 0};
  turn.timeout = nullptr;
  turn.selected = 0;
  turn.yielding = watcherRun >= LOOP_WATCHER_BURST;

  collectWatchers(&turn, loopReaders, &turn.readSet, &turn.readCount);
  collectWatchers(&turn, loopWriters, &turn.writeSet, &turn.writeCount);
  turn.failSet = turn.writeSet;
  turn.bestWork = findBestWork();
  timeoutFromTimers(&turn);
  waitForSockets(&turn);

  turn.bestPriority = turn.bestWork ? turn.bestWork->priority : 0;
  Timer **timerLink = fireTimers(&turn);
  Watcher *watcher = markReady(&turn, loopReaders, &turn.readSet, nullptr, nullptr);
  watcher = markReady(&turn, loopWriters, &turn.writeSet, &turn.failSet, watcher);
  if (turn.yielding && !watcher && !timerLink && !turn.bestWork) {
    // Only the watchers of the run are ready: they go on.
    turn.yielding = false;
    turn.selected = 0;  // already marked
    watcher = markReady(&turn, loopReaders, &turn.readSet, nullptr, nullptr);
    watcher = markReady(&turn, loopWriters, &turn.writeSet, &turn.failSet, watcher);
  }

  if (watcher) {
    watcherRun += 1;
    watcher->lastTurn = loopTurns;
  } else {
    watcherRun = 0;
  }
  loopTurns += 1;
  if (watcher) {
    watcher->ready = watcher->callback(watcher->user);
  } else if (timerLink) {
    Timer *t = *timerLink;
    *timerLink = t->next;
    t->next = nullptr;
    t->callback(t->user);
  } else if (turn.bestWork) {
    turn.bestWork->callback(turn.bestWork->user);
  }
}
