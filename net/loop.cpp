// Loop records, their registration, the wake-up pair and the I/O thread.
// The turn itself is in turn.cpp.
#include "net/loop.h"

#include <cassert>

#include "net/lock.h"

SOCKET wakePair[2] = {INVALID_SOCKET, INVALID_SOCKET};
Watcher *loopReaders;
Watcher *loopWriters;
WorkItem *loopWork;
Timer *loopTimers;
DWORD loopTurns;
DWORD ioStop;

// The wake-up watcher drains one datagram per call. 512 bytes is more than a
// wake-up byte needs; several pending bytes keep the socket readable, so
// later turns drain the rest.
static constexpr int WAKE_DRAIN_BYTES = 512;

Watcher *watcherInit(Watcher *w, SOCKET s, WatcherCallback callback, void *user, DWORD priority) {
  w->next = nullptr;
  w->socket = s;
  w->callback = callback;
  w->user = user;
  w->priority = priority;
  w->ready = 0;
  w->lastTurn = loopTurns - 0x80000000u;  // long ago
  return w;
}

static void listPush(Watcher **list, Watcher *w) {
  assert(drvLockHeld());
  w->ready = 0;
  w->next = *list;
  *list = w;
}

static void listUnlink(Watcher **list, Watcher *w) {
  assert(drvLockHeld());
  for (Watcher **link = list; *link; link = &(*link)->next) {
    if (*link == w) {
      *link = w->next;
      return;
    }
  }
}

void loopAddReader(Watcher *w) { listPush(&loopReaders, w); }
void loopAddWriter(Watcher *w) { listPush(&loopWriters, w); }
void loopRemoveReader(Watcher *w) { listUnlink(&loopReaders, w); }
void loopRemoveWriter(Watcher *w) { listUnlink(&loopWriters, w); }

void timerInit(Timer *t, TimerCallback callback, void *user, DWORD priority) {
  t->next = nullptr;
  t->due = 0;
  t->callback = callback;
  t->user = user;
  t->priority = priority;
  t->fired = 0;
}

void timerCancel(Timer *t) {
  assert(drvLockHeld());
  for (Timer **link = &loopTimers; *link; link = &(*link)->next) {
    if (*link == t) {
      *link = t->next;
      t->next = nullptr;
      return;
    }
  }
}

void timerSchedule(Timer *t, DWORD due) {
  timerCancel(t);
  t->due = due;
  t->fired = 0;
  // The list is in unsigned order of due; equal dues keep scheduling order.
  Timer **link = &loopTimers;
  while (*link && (*link)->due <= due) link = &(*link)->next;
  t->next = *link;
  *link = t;
}

void workInit(WorkItem *item, WorkCallback callback, void *user, DWORD priority) {
  item->next = nullptr;
  item->callback = callback;
  item->user = user;
  item->priority = priority;
  item->queued = 0;
}

void workQueue(WorkItem *item) {
  assert(drvLockHeld());
  if (item->queued) return;
  item->next = loopWork;
  loopWork = item;
  item->queued = 1;
}

void workDequeue(WorkItem *item) {
  assert(drvLockHeld());
  if (!item->queued) return;
  item->queued = 0;
  for (WorkItem **link = &loopWork; *link; link = &(*link)->next) {
    if (*link == item) {
      *link = item->next;
      break;
    }
  }
  item->next = nullptr;
}

void loopWake(void) {
  static const char wakeByte = '.';
  send(wakePair[WAKE_SEND], &wakeByte, 1, 0);
}

static int wakeDrain(void *) {
  char buffer[WAKE_DRAIN_BYTES];
  recv(wakePair[WAKE_RECEIVE], buffer, sizeof buffer, 0);
  return 0;
}

// Makes one datagram socket bound to an ephemeral port and returns its
// loopback address in `address`.
static SOCKET wakeSocketCreate(sockaddr_in *address) {
  SOCKET s = lvSocket(SOCK_DGRAM);
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  socklen_t length = sizeof *address;  // 16 bytes
  getsockname(s, reinterpret_cast<sockaddr *>(address), &length);
  address->sin_addr.s_addr = htonl(0x7F000001);  // keep the port, talk on loopback
  return s;
}

int wakePairCreate(SOCKET pair[2]) {
  sockaddr_in address[2];
  pair[WAKE_SEND] = wakeSocketCreate(&address[WAKE_SEND]);
  pair[WAKE_RECEIVE] = INVALID_SOCKET;
  if (pair[WAKE_SEND] != INVALID_SOCKET) pair[WAKE_RECEIVE] = wakeSocketCreate(&address[WAKE_RECEIVE]);
  // A loop without its wake-up socket would fail select every turn and spin,
  // so a half-made pair is closed and reported.
  if (pair[WAKE_RECEIVE] == INVALID_SOCKET || !lvSocketSelectable(pair[WAKE_RECEIVE])) {
    wakePairClose(pair);
    return -1;
  }
  connect(pair[WAKE_SEND], reinterpret_cast<sockaddr *>(&address[WAKE_RECEIVE]), sizeof address[0]);
  connect(pair[WAKE_RECEIVE], reinterpret_cast<sockaddr *>(&address[WAKE_SEND]), sizeof address[0]);
  return 0;
}

void wakePairClose(SOCKET pair[2]) {
  for (int i = WAKE_SEND; i <= WAKE_RECEIVE; i++) {
    if (pair[i] != INVALID_SOCKET) closesocket(pair[i]);
    pair[i] = INVALID_SOCKET;
  }
}

void *memAllocZero(SIZE_T bytes) { return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes); }

DWORD tickNow(void) { return lvTickCount(); }

// The I/O thread. It runs time-critical because it paces the audio
// datagrams; a normal- or idle-class process is raised to high class while
// it lives so that the pacing survives a busy terminal server, and the old
// class is given back when it ends.
DWORD WINAPI ioThreadMain(LPVOID) {
  DWORD oldClass = GetPriorityClass(GetCurrentProcess());
  if (oldClass < HIGH_PRIORITY_CLASS) SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);

  EnterCriticalSection(&drvLock);
  Watcher wake;
  loopAddReader(watcherInit(&wake, wakePair[WAKE_RECEIVE], wakeDrain, nullptr, 1));
  // After a stop request, queued work and pending output still run: the
  // thread ends only when both lists are empty. Readers and timers do not
  // keep it alive.
  while (!ioStop || loopWork || loopWriters) loopTurn();
  loopRemoveReader(&wake);
  LeaveCriticalSection(&drvLock);

  SetPriorityClass(GetCurrentProcess(), oldClass);
  return 0;
}
